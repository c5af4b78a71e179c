#ifndef TRANSFERPLAN_H
#define TRANSFERPLAN_H

#include "protocol/contenthash.h"
#include "protocol/manifest.h"

#include <QByteArray>
#include <QVector>

// What the receiver of an extended request already has of each file, sent once its user said yes.
// One line per file that does not come whole, in manifest order:
//
//   "S <index>\n"                           identical here: not sent
//   "R <index> <offset> <32 hex digits>\n"  the first <offset> bytes are here, with that hash
//
// Indexes count the manifest's items from 0. The sender may still send a resumed file whole, when
// its own first bytes hash otherwise.
class TransferPlan
{
public:
    enum Action { Whole, Skip, Resume };
    struct Step
    {
        Action action = Whole;
        qint64 offset = 0;
        ContentHash::Value prefix;
    };

    static constexpr int maxLineBytes = 128;

    // One step per manifest item; folders always come whole.
    QVector<Step> steps;

    explicit TransferPlan(int items = 0) : steps(items) {}

    QByteArray toBytes() const;
    // False for anything but lines as above, naming files of `manifest` in rising order, with an
    // offset inside the file.
    static bool parse(const QByteArray &bytes, const Manifest &manifest, TransferPlan *plan);

    int skippedFiles() const;
    qint64 skippedBytes(const Manifest &manifest) const;
    // The bytes that move when every resumed file continues where the plan says.
    qint64 bytesToSend(const Manifest &manifest) const;
};

#endif // TRANSFERPLAN_H
