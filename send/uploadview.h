#ifndef UPLOADVIEW_H
#define UPLOADVIEW_H

#include "send/tcpsendthread.h"

#include <QFileInfo>
#include <QList>
#include <QWidget>

#include <memory>

class QSettings;
class UDPSendThread;
class UserListDialog;

namespace Ui {
class UploadView;
}

// The send view: listens for receivers while shown, takes one dropped folder or several
// dropped files, packs them into the work file "send", lets the user pick a receiver and has
// the send thread carry the transfer out, showing its progress and how it ended.
class UploadView : public QWidget
{
    Q_OBJECT

public:
    explicit UploadView(QWidget *parent = nullptr);
    ~UploadView() override; // interrupts a running send

    void startSession();
    bool sessionActive() const { return active; }

    static QList<QFileInfo> listFolder(const QString &path);

signals:
    void changeView(QString viewName);

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private slots:
    void on_backPushButton_clicked();
    void updateProgress(float arg);
    void sendFailed(int reason);

private:
    void appendLine(const QString &html);
    void appendRedLine(const QString &text);

    std::unique_ptr<Ui::UploadView> ui;
    std::unique_ptr<UDPSendThread> udpThread;
    std::unique_ptr<TCPSendThread> tcpThread;
    UserListDialog *userListDialog;
    qint64 totalSize = 0;
    int itemsNumber = 0;
    int filesNumber = 0;
    QString fileName;
    QString fileType;
    std::unique_ptr<QSettings> settings;
    bool active = false;
    // The progress text last shown, so that a report that would show the same is not redrawn.
    QString shownProgress;
    // A line that must stay under the progress while a send runs (a refused drop).
    QString notice;
};

#endif // UPLOADVIEW_H
