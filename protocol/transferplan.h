#ifndef TRANSFERPLAN_H
#define TRANSFERPLAN_H

#include "protocol/manifest.h"

#include <QByteArray>
#include <QVector>

// What the receiver of an extended request already has of each file, sent once its user said yes.
// One line per file that does not come whole, in manifest order:
//
//   "S <index>\n"           identical here: not sent
//   "R <index> <offset>\n"  the first <offset> bytes are here; <offset> is a multiple of
//                           ExtendedProtocol::resumeStep, above 0 and below the file's size
//
// Indexes count the manifest's items from 0, numbers are read by Decimal. Nothing proves the kept
// bytes here: the receiver checks the whole file against the hash that follows its data.
class TransferPlan
{
public:
    enum Action { Whole, Skip, Resume };
    struct Step
    {
        Action action = Whole;
        qint64 offset = 0;
    };

    static constexpr int maxLineBytes = 64;

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
