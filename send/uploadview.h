#ifndef UPLOADVIEW_H
#define UPLOADVIEW_H

#include "protocol/ratemeter.h"
#include "send/sendpacker.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QList>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <memory>

class PackProgress;
class QUrl;
class PackThread;
class QSettings;
class TCPSendThread;
class UDPSendThread;
class UserListDialog;

namespace Ui {
class UploadView;
}

// The send view: listens for receivers while shown, takes one dropped folder or several
// dropped files and has them packed while the user picks a receiver; the send thread then
// carries the transfer out while packing goes on, and the view shows how it goes and ends.
class UploadView : public QWidget
{
    Q_OBJECT

public:
    explicit UploadView(QWidget *parent = nullptr);
    ~UploadView() override; // interrupts a running send

    void startSession();
    bool sessionActive() const { return active; }
    // From a drop until the send has ended.
    bool transferRunning() const;
    // Asks the user before a running transfer is given up; true when the view may be left.
    bool confirmLeave();
    // Stops a running transfer.
    void cancelTransfer();

    static QList<QFileInfo> listFolder(const QString &path);

signals:
    void changeView(QString viewName);

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private slots:
    void on_backPushButton_clicked();
    void on_cancelPushButton_clicked();
    void on_chooseFilesPushButton_clicked();
    void on_chooseFolderPushButton_clicked();
    void on_resendPushButton_clicked();
    void linkClicked(const QUrl &url);
    void listed(int job, const SendPacker &packer);
    void packFailed(int job, int error, const QString &item);
    void chooserFinished(int result);
    void updateProgress(qint64 sent, qint64 total);
    void sendEnded(int outcome);

private:
    // A drop, a pick in a file dialog and a resend all come here; with a known receiver the
    // chooser is not asked again.
    void takePaths(const QStringList &paths, const QString &knownReceiver = QString());
    void openChooser();
    void startSend();
    void endTransfer();
    void showProgress(const QString &title, qint64 sent, qint64 total);
    void appendLine(const QString &html);
    void appendRedLine(const QString &text);
    void appendAddedLines();

    std::unique_ptr<Ui::UploadView> ui;
    std::unique_ptr<UDPSendThread> udpThread;
    std::unique_ptr<TCPSendThread> tcpThread;
    std::unique_ptr<PackThread> packThread;
    std::shared_ptr<PackProgress> packProgress;
    UserListDialog *userListDialog;
    std::unique_ptr<QSettings> settings;
    bool active = false;

    // The transfer under way: from the drop until the send has ended.
    bool preparing = false; // from the drop until the send starts or is given up
    bool isListed = false;  // the packer has listed the items
    bool choosing = false;  // the chooser is open for this transfer
    int packJob = 0;        // the packing the signals must come from
    SendPacker list;
    QString receiver;
    QStringList lastPaths; // what the last transfer sent, for "重新发送"
    RateMeter meter;
    QElapsedTimer clock;
    // "Added" lines go in by the thousand, so that a large drop never holds the window up.
    QStringList addedLines;
    QTimer addedTimer;
};

#endif // UPLOADVIEW_H
