#ifndef RECEIVECOMMAND_H
#define RECEIVECOMMAND_H

#include "cli/clioptions.h"
#include "cli/transferline.h"
#include "protocol/ratemeter.h"
#include "receive/receiveoffer.h"
#include "receive/storedentry.h"
#include "records/partialregistry.h"

#include <QElapsedTimer>
#include <QObject>

#include <memory>

class QSettings;
class ReceiveSession;
class TerminalInput;
class TerminalOutput;
class UDPSendThread;

// `NuboTransmission receive`: announces this machine and receives as the receive view does, with
// the same session, checks and name-clash rule, asking on the terminal or taking every offer.
// finished() tells the exit status once --once has had its transfer or the session cannot run;
// otherwise it runs until the program is told to end.
class ReceiveCommand : public QObject
{
    Q_OBJECT

public:
    ReceiveCommand(const CliOptions &options, TerminalOutput &out, QObject *parent = nullptr);
    ~ReceiveCommand() override;

    // Checks the save folder; false (with the exit status in *exitCode) when it cannot be used.
    bool prepare(int *exitCode);
    void start();
    // After the event loop: ends the session, keeping what a cut transfer leaves, and lists the
    // partial files kept in the save folder. Returns the exit status.
    int finish();

signals:
    void finished(int exitCode);

private:
    void listening(bool ok, const QString &error, quint16 extendedPort);
    void offered(quint64 id, const ReceiveOffer &offer);
    void answered(const QString &line);
    void progress(quint64 id, qint64 received, qint64 total);
    void itemsStored(quint64 id, const QList<StoredEntry> &entries, int unchanged);
    void ended(quint64 id, int outcome, const QString &reason);
    void sayEnd(int outcome, const QString &reason);
    // Words about a transfer that only a terminal gets: a log gets its one line at the end.
    void tell(const QString &text);
    void listPartials(const QList<PartialRegistry::Entry> &entries, bool quiet = false);
    void stop(int exitCode);
    static int exitFor(int outcome);

    const CliOptions options;
    TerminalOutput &out;
    // Unattended, its output a log or a pipe: one line per transfer, whoever reads it later.
    const bool oneLine;
    TransferLine line;
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<ReceiveSession> session;
    std::unique_ptr<UDPSendThread> presence;
    TerminalInput *input = nullptr;
    QString saveDir;
    quint64 transfer = 0;
    quint64 offeredId = 0; // a request refused before it was offered ends with another id
    bool asking = false;
    bool inputEnded = false; // standard input is closed: every offer is refused
    bool running = false;    // a transfer is under way: an end now cuts it
    qint64 receivedBytes = 0;
    qint64 totalBytes = 0;
    RateMeter meter;
    QElapsedTimer clock;
    qint64 lastEventMs = -1;
    int exitCode = CliOptions::Ok;
};

#endif // RECEIVECOMMAND_H
