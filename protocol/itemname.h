#ifndef ITEMNAME_H
#define ITEMNAME_H

#include <QString>

// What may name an item on the wire, whichever protocol carries it: not empty, no white space at
// either end, no CR, LF or NUL, and not "OVER", which a reader of the item stream takes for its
// end marker. Whether the name is safe to store is the save folder's question, not this one.
class ItemName
{
public:
    static bool isValid(const QString &name);
};

#endif // ITEMNAME_H
