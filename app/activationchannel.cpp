#include "app/activationchannel.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QWidget>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {
const QByteArray request = QByteArrayLiteral("activate\n");
const QByteArray answer = QByteArrayLiteral("shown\n");
} // namespace

ActivationChannel::ActivationChannel(const QString &folder, bool userData, QObject *parent)
    : QObject(parent), server(new QLocalServer(this))
{
    const QString canonical = QDir(folder).canonicalPath();
    const QByteArray key =
        (canonical.isEmpty() ? QDir(folder).absolutePath() : canonical).toUtf8() +
        (userData ? "\nuser-data" : "\nfolder");
    // The socket lies in the shared temporary folder: the user id keeps another account's socket
    // of the same folder from standing in the way.
#ifdef Q_OS_UNIX
    const QString user = QString::number(::getuid());
#else
    const QString user = qEnvironmentVariable("USERNAME");
#endif
    name = QStringLiteral("nubotransmission-%1-%2")
               .arg(user,
                    QString::fromLatin1(
                        QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex().left(20)));
    server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server, &QLocalServer::newConnection, this, &ActivationChannel::onNewConnection);
}

bool ActivationChannel::listen()
{
    QLocalServer::removeServer(name);
    return server->listen(name);
}

bool ActivationChannel::askRunningCopy(int timeoutMs) const
{
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(request);
    socket.flush();
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(timeoutMs))
            return false;
    }
    return socket.readLine() == answer;
}

void ActivationChannel::bringToFront(QWidget *window)
{
    window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window->show();
    window->raise();
    window->activateWindow();
}

void ActivationChannel::onNewConnection()
{
    while (QLocalSocket *socket = server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > request.size())
                    socket->abort();
                return;
            }
            if (socket->readLine() == request) {
                emit activationRequested();
                socket->write(answer);
            }
            socket->disconnectFromServer();
        });
    }
}
