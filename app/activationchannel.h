#ifndef ACTIVATIONCHANNEL_H
#define ACTIVATIONCHANNEL_H

#include <QObject>
#include <QString>

class QLocalServer;
class QWidget;

// A second start from the menu cannot be told to use another folder, so instead of refusing it
// shows the copy that runs. The copy that holds a folder's lock listens on a local socket named
// after that folder and the way it was started; a second copy started the same way finds it there
// and asks it to come to the front.
class ActivationChannel : public QObject
{
    Q_OBJECT

public:
    ActivationChannel(const QString &folder, bool userData, QObject *parent = nullptr);

    // For the copy that holds the lock. A socket left by a copy that died is taken over: nobody
    // else can hold that name while the folder is locked.
    bool listen();
    // For a second copy: true once the running copy has answered that it comes to the front.
    bool askRunningCopy(int timeoutMs = 5000) const;

    QString serverName() const { return name; }

    static void bringToFront(QWidget *window);

signals:
    void activationRequested();

private slots:
    void onNewConnection();

private:
    QString name;
    QLocalServer *server;
};

#endif // ACTIVATIONCHANNEL_H
