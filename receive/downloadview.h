#ifndef DOWNLOADVIEW_H
#define DOWNLOADVIEW_H

#include "receive/receiveprogress.h"

#include <QAbstractSocket>
#include <QFile>
#include <QMap>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <memory>

class QMessageBox;
class QSettings;
class QTcpServer;
class QTcpSocket;

class QUrl;
class UDPSendThread;

namespace Ui {
class DownloadView;
}

// The receive view: announces this machine, listens for one transfer at a time on port 42135,
// asks its user, stores the body in the work file "stream" and unpacks it into the save folder.
class DownloadView : public QWidget
{
    Q_OBJECT

public:
    explicit DownloadView(QWidget *parent = nullptr);
    ~DownloadView() override;

    // (Re)starts the receive session; returns at once.
    void startSession();
    bool sessionActive() const { return active; }

    static QMap<QString, QString> parseHeader(const QString &text);

    // How long a connection may stay silent while a request or a body is expected before it is
    // dropped; tests shorten it.
    void setIdleTimeout(int ms) { idleTimeoutMs = ms; }

signals:
    void changeView(QString viewName);

private slots:
    void on_backPushButton_clicked();
    void newConnection();
    void onClientConnected();
    void onSocketReadyRead();
    void onClientDisconnected();
    void onSocketStateChange(QAbstractSocket::SocketState socketState);
    void question();
    void openFile(const QUrl &url);

private:
    enum class Stage {
        Idle,      // no session
        Header,    // waiting for (the rest of) a request header
        Asking,    // the question is open
        Receiving, // accepted: the body arrives
        Refused    // refused: whatever still arrives is dropped
    };

    void endSession(bool interactive);
    void endTransfer(bool interactive);
    void storeIncoming();
    void refuseConnection(QTcpSocket *socket);
    void reply(const QByteArray &bytes, Stage next);
    bool openWorkFile(const QString &name);
    void unpackStream();
    void appendHtml(const QString &html);
    void reportUnusableSaveDir(const QString &saveDir);
    void dropIdleConnection();

    std::unique_ptr<Ui::DownloadView> ui;
    std::unique_ptr<UDPSendThread> udpThread;
    QPointer<QTcpSocket> tcpSocket;
    QPointer<QTcpServer> tcpServer;
    QFile recvFile;
    QTimer *timer;
    // A peer that connects and then says nothing would hold the one transfer slot for ever.
    QTimer idleTimer;
    int idleTimeoutMs = 60000;
    ReceiveProgress progress;
    std::unique_ptr<QSettings> settings;
    QMessageBox *questionBox;

    bool active = false;
    Stage stage = Stage::Idle;
    qint64 headerBytes = 0;
    bool progressStale = false; // the shown size text is behind the count
    bool bodyLost = false;      // a body byte could not be written to "stream"
    quint64 transferNumber = 0; // changes whenever a connection ends
};

#endif // DOWNLOADVIEW_H
