#ifndef READAHEAD_H
#define READAHEAD_H

#include <QString>

#include <functional>

// Asks the system to read the next files of a list before their turn comes, so that sending many
// small files keeps the disk busy instead of waiting for each in turn. Only a hint: nothing is
// read here, and a file that cannot be opened is simply left to its turn.
class ReadAhead
{
public:
    static constexpr int window = 64;            // files asked for ahead of the one being sent
    static constexpr qint64 headBytes = 1 << 20; // of each: a larger file is read ahead anyway

    // `pathOf` gives the path of the file at an index, or nothing for a folder.
    ReadAhead(int count, std::function<QString(int)> pathOf);

    // The file at `index` is the one being sent now.
    void reached(int index);

private:
    const int count;
    const std::function<QString(int)> pathOf;
    int asked = 0; // files before this index were asked for
};

#endif // READAHEAD_H
