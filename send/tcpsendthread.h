#ifndef TCPSENDTHREAD_H
#define TCPSENDTHREAD_H

#include <QString>
#include <QThread>

#include <atomic>

// Carries out one transfer: connects to the receiver, writes the request, waits for the
// acceptance and sends the work file "send" in pieces of 1024 bytes, reporting the fraction
// sent after each. The connection is closed at the end of every run. A report of exactly 1
// comes only when every byte was written and the connection was closed cleanly; anything else
// ends in sendFailed().
class TCPSendThread : public QThread
{
    Q_OBJECT

public:
    enum Failure {
        Refused,       // the receiver said no, or gave no acceptance in time
        ConnectFailed, // no connection to the receiver
        SendBroken     // the connection broke, or the work file could not be read
    };
    Q_ENUM(Failure)

    static constexpr qint64 pieceSize = 1024;
    static constexpr int waitMs = 30000;
    // Reports not yet delivered to the user interface, at most; see report().
    static constexpr int maxPendingReports = 65536;

    TCPSendThread();
    ~TCPSendThread() override; // interrupts a running send and waits for it

    void setIp(const QString &ip);
    void setHeader(const QString &header);
    // The receiver's port; only tests use another than the transfer port.
    void setPort(quint16 port);

    // Size of the work file as taken by the last run that got as far as the body.
    qint64 fileSize() const { return sentFileSize.load(); }

signals:
    void updateProgress(float arg);
    // `reason` is a Failure; a plain int crosses the thread boundary without a registered type.
    void sendFailed(int reason);

protected:
    void run() override;

private:
    void report(float fraction);

    QString ip;
    QString header;
    quint16 port;
    std::atomic<qint64> sentFileSize{0};
    std::atomic<int> pendingReports{0};
    std::atomic<int> runsEnded{0};
};

#endif // TCPSENDTHREAD_H
