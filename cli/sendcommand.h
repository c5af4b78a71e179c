#ifndef SENDCOMMAND_H
#define SENDCOMMAND_H

#include "cli/clioptions.h"
#include "protocol/ratemeter.h"
#include "send/sendsession.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <memory>

class QSettings;
class TerminalInput;
class TerminalOutput;
class UDPSendThread;

// `NuboTransmission send`: listens for receivers as the send view does, picks one by the name or
// address given or by asking on the terminal, and has a SendSession carry the transfer. Tells the
// end once, by finished(), with the exit status that says how it went.
class SendCommand : public QObject
{
    Q_OBJECT

public:
    SendCommand(const CliOptions &options, TerminalOutput &out, QObject *parent = nullptr);
    ~SendCommand() override; // stops the presence listener and a running transfer

    void start();
    // The program was told to end before the transfer did: says so, once.
    void interrupted();

signals:
    void finished(int exitCode);

private:
    void lookForName();
    void showChoice();
    void chosen(const QString &line);
    void sendTo(const QString &ip);
    // The receivers heard: address and name, in the order first heard.
    QList<QPair<QString, QString>> heard() const;
    SendSession::Receiver receiverAt(const QString &ip) const;
    QString protocolText(const QString &ip) const;
    void end(int exitCode, const QString &why);

    void listed(int id, const SendPacker &packer);
    void planned(int id, int skippedFiles, qint64 skippedBytes,
                 const QList<SendWorker::ResumedFile> &resumed, qint64 total);
    void accepted(int id);
    void askUser(int id, SendSession::Question question, const QString &code);
    void answered(const QString &line);
    void progress(int id, qint64 sent, qint64 total);
    void ended(int id, const SendResult &result);
    static QString outcomeName(SendResult::Outcome outcome);
    static int exitFor(SendResult::Outcome outcome);

    const CliOptions options;
    TerminalOutput &out;
    std::unique_ptr<UDPSendThread> presence;
    std::unique_ptr<QSettings> settings;
    SendSession *session;
    TerminalInput *input = nullptr;
    QTimer lookTimer;
    QElapsedTimer looking;
    qint64 firstHeardMs = -1;
    QList<QPair<QString, QString>> choices;
    QString target;
    int transfer = 0;
    qint64 bodyTotal = 0;
    RateMeter meter;
    QElapsedTimer clock;
    qint64 lastEventMs = -1;
    bool over = false;
};

#endif // SENDCOMMAND_H
