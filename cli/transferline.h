#ifndef TRANSFERLINE_H
#define TRANSFERLINE_H

#include "receive/receiveoffer.h"
#include "receive/storedentry.h"

#include <QCoreApplication>
#include <QList>
#include <QString>

// What the terminal receiver learns of one transfer, counted as it goes, and the one line that
// tells it once it has ended: who sent what from which address, and how it ended. An unattended
// receiver writes nothing else of a transfer, so that its log holds one line for each.
class TransferLine
{
    Q_DECLARE_TR_FUNCTIONS(TransferLine)

public:
    // Not a ReceiveOutcome: the transfer was cut because this copy ended.
    static constexpr int cutHere = -1;

    // Starts the count of a new transfer.
    void offered(const ReceiveOffer &offer);
    // Why this copy refused it, where the outcome alone does not tell.
    void refusedBecause(const QString &why) { refusal = why; }
    void stored(const QList<StoredEntry> &entries, int unchanged);

    // `outcome` is a ReceiveOutcome::Outcome or cutHere; `reason` as the session gave it.
    QString text(int outcome, const QString &reason, qint64 receivedBytes, qint64 elapsedMs) const;
    // What became of the items of a transfer cut short.
    QString keptText() const;
    int unchanged() const { return unchangedFiles; }

private:
    QString heading(int outcome) const;
    QString origin() const;

    ReceiveOffer offer;
    QString refusal;
    int storedItems = 0;
    int unchangedFiles = 0;
    int failedItems = 0;
};

#endif // TRANSFERLINE_H
