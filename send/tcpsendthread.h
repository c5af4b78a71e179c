#ifndef TCPSENDTHREAD_H
#define TCPSENDTHREAD_H

#include <QString>
#include <QThread>

#include <memory>

class PackProgress;

// Carries out one transfer: connects to the receiver, writes the request, waits for the
// acceptance and sends the work file "send" as it is being packed, never past what is written.
// After the body it waits for the receiver to end the connection: a receiver that stored
// everything closes it, one that could not resets it.
class TCPSendThread : public QThread
{
    Q_OBJECT

public:
    enum Outcome {
        Delivered,     // the receiver closed the connection after the whole body
        Unconfirmed,   // the whole body went out, but the receiver never said how it ended
        Refused,       // the receiver said no
        Unanswered,    // no answer in time, or the receiver went away without one
        ConnectFailed, // no connection to the receiver
        SendBroken,    // the connection broke during the body, or the work file failed
        NotStored,     // the receiver reset the connection after the body: not all was stored
        Cancelled,     // cancel() or the thread's end was asked for
        PackFailed     // packing stopped, so the body cannot be whole
    };
    Q_ENUM(Outcome)

    static constexpr int waitMs = 30000;
    static constexpr int reportIntervalMs = 250;

    TCPSendThread();
    ~TCPSendThread() override; // interrupts a running send and waits for it

    void setIp(const QString &ip);
    void setHeader(const QString &header);
    // The receiver's port; only tests use another than the transfer port.
    void setPort(quint16 port);
    // The body: `size` bytes of the work file, sent as `progress` says they are written.
    void setBody(std::shared_ptr<PackProgress> progress, qint64 size);
    // How long to wait for the receiver's end beyond the bytes still in flight; tests shorten it.
    void setConfirmSlack(int ms) { confirmSlackMs = ms; }

    void cancel() { requestInterruption(); }

signals:
    // Body bytes sent so far, a few times a second and once at the end of the body.
    void updateProgress(qint64 sent, qint64 total);
    // `outcome` is an Outcome; a plain int crosses the thread boundary without a registered type.
    void sendEnded(int outcome);

protected:
    void run() override;

private:
    int send();

    QString ip;
    QString header;
    quint16 port;
    std::shared_ptr<PackProgress> progress;
    qint64 bodySize = 0;
    int confirmSlackMs = 5000;
};

#endif // TCPSENDTHREAD_H
