#ifndef RECEIVEOFFER_H
#define RECEIVEOFFER_H

#include <QMetaType>
#include <QString>

// What a sender offers, as its request says it, and what the receiving user is asked about.
struct ReceiveOffer
{
    QString sender;          // the sender's display name
    QString target;          // name of the offered folder or file
    bool isFile = false;     // a single file rather than a folder or several files
    qint64 size = 0;         // bytes of file contents announced
    int items = 0;           // records announced
    int files = 0;           // dropped items the sender took (Files-Number); 0 when not given
    bool overwrites = false; // an item of the target's name is in the save folder already
    int answerMs = 0;        // time the user has to answer
};

Q_DECLARE_METATYPE(ReceiveOffer)

#endif // RECEIVEOFFER_H
