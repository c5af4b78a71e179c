#ifndef UPLOADVIEW_H
#define UPLOADVIEW_H

#include "protocol/ratemeter.h"
#include "records/knowndevices.h"
#include "send/sendpacker.h"
#include "send/sendresult.h"
#include "send/sendsession.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QList>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <memory>

class QMessageBox;
class QUrl;
class QSettings;
class UDPSendThread;
class UserListDialog;

namespace Ui {
class UploadView;
}

// The send view: listens for receivers while shown, takes one dropped folder or several
// dropped files, has its send session list them while the user picks a receiver, and shows
// what the session reports of the transfer.
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
    void listed(int transfer, const SendPacker &packer);
    void planned(int transfer, int skippedFiles, qint64 skippedBytes,
                 const QList<SendWorker::ResumedFile> &resumed, qint64 total);
    void accepted(int transfer);
    void askUser(int transfer, SendSession::Question question, const QString &code);
    void chooserFinished(int result);
    void updateProgress(int transfer, qint64 sent, qint64 total);
    void sendEnded(int transfer, const SendResult &result);

private:
    // A drop and a pick in a file dialog come here.
    void takePaths(const QStringList &paths);
    // Shows transfer `id` (0: none began) from its start; without a receiver the chooser asks.
    void begin(int id, bool toKnownReceiver);
    void openChooser();
    void closeQuestion();
    SendSession::Receiver receiverAt(const QString &ip) const;
    // How to reach the receiver at `ip`, and where its extended protocol is to be tried.
    SendSession::Protocol protocolFor(const QString &ip, quint16 *extendedPort) const;
    void showHeading(const QString &title, const QString &colour = QStringLiteral("green"));
    void showProgress(const QString &title, qint64 sent, qint64 total);
    void setPickersEnabled(bool enabled);
    QString failureText(const SendResult &result) const;
    void appendLine(const QString &html);
    void appendRedLine(const QString &text);
    void appendAddedLines();

    std::unique_ptr<Ui::UploadView> ui;
    std::unique_ptr<UDPSendThread> udpThread;
    SendSession *session;
    UserListDialog *userListDialog;
    std::unique_ptr<QSettings> settings;
    KnownDevices knownDevices; // for the chooser's marks
    QPointer<QMessageBox> questionBox;
    bool active = false;

    // The transfer under way: from the drop until the session reports its end.
    int transfer = 0;           // the transfer the session's signals must be about
    bool choosing = false;      // the chooser is open for this transfer
    bool chooserCancel = false; // the user closed the chooser without a receiver
    qint64 bodyTotal = 0;       // the length of the body that moves, once known
    RateMeter meter;
    QElapsedTimer clock;
    // "Added" lines go in by the thousand, so that a large drop never holds the window up.
    QStringList addedLines;
    QTimer addedTimer;
    int leftOut = 0; // hidden entries and links the listing did not take
};

#endif // UPLOADVIEW_H
