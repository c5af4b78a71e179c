#ifndef DOWNLOADVIEW_H
#define DOWNLOADVIEW_H

#include "protocol/ratemeter.h"
#include "receive/receivedlinks.h"
#include "receive/receiveoffer.h"
#include "receive/receiveprogress.h"
#include "receive/storedentry.h"
#include "records/partialregistry.h"

#include <QElapsedTimer>
#include <QMap>
#include <QTimer>
#include <QWidget>

#include <memory>

class QMessageBox;
class QSettings;
class QUrl;
class ReceiveSession;
class UDPSendThread;

namespace Ui {
class DownloadView;
}

// The receive view: announces this machine while its receive session listens on port 42135,
// asks its user about each offer and shows what the session reports.
class DownloadView : public QWidget
{
    Q_OBJECT

public:
    explicit DownloadView(QWidget *parent = nullptr);
    ~DownloadView() override;

    // (Re)starts the receive session; returns at once.
    void startSession();
    bool sessionActive() const { return active; }
    bool transferRunning() const;
    // Asks the user before a running transfer is given up; true when the view may be left.
    bool confirmLeave();
    // Stops announcing and listening, cancelling a transfer that still runs.
    void endSession();

    static QMap<QString, QString> parseHeader(const QString &text);
    // The facts the question box shows about an offer; the terminal asks with the same words.
    static QString describeOffer(const ReceiveOffer &offer);

    // How long a connection may stay silent, and how long the user has to answer; tests
    // shorten them.
    void setTimeouts(int idleMs, int answerMs);

public slots:
    // Takes a new name and save folder at once: announced from the next datagram on, and said
    // in the view.
    void applySettings();

signals:
    void changeView(QString viewName);

private slots:
    void on_backPushButton_clicked();
    void on_cancelPushButton_clicked();
    void listening(bool ok, const QString &error, quint16 extendedPort);
    void partialsKept(const QList<PartialRegistry::Entry> &entries);
    void offered(quint64 transfer, const ReceiveOffer &offer);
    void updateProgress(quint64 transfer, qint64 received, qint64 total);
    void itemsStored(quint64 transfer, const QList<StoredEntry> &entries, int unchanged);
    void ended(quint64 transfer, int outcome, const QString &reason);
    void busyRefused(const QString &sender, const QString &address);
    void answered(int button);
    void openFile(const QUrl &link);

private:
    void showProgress(const QString &title);
    void appendHtml(const QString &html);
    // True when it said that `saveDir` cannot be used.
    bool reportUnusableSaveDir(const QString &saveDir);
    void handSaveFolder();
    void updateCountdown();
    void showWaiting();
    void showEndHeading(int outcome);
    void appendStored();
    void appendLinks(const QList<StoredEntry> &links);
    QString linkedPath(const QString &address, int position) const;
    bool eventFilter(QObject *watched, QEvent *event) override;
    bool isLate(quint64 id) const;

    std::unique_ptr<Ui::DownloadView> ui;
    std::unique_ptr<UDPSendThread> udpThread;
    ReceiveSession *session;
    std::unique_ptr<QSettings> settings;
    QMessageBox *questionBox;
    QString questionText;
    QTimer countdown;
    int secondsLeft = 0;
    bool asking = false;
    bool receiving = false; // accepted, so the heading has counts of this transfer
    ReceiveProgress progress;
    RateMeter meter;
    QElapsedTimer clock;
    // Links go in by the few hundred, so that a burst of small files never holds the window up.
    QList<StoredEntry> storedEntries;
    ReceivedLinks itemLinks;
    int unchangedFiles = 0; // of this transfer, told at its end
    QTimer storedTimer;
    bool active = false;
    QString listenAddress; // empty while not listening
    QString shownName;     // as the view last said them
    QString shownSaveDir;
    QString askedAddress; // the address being listened on, until the session says it is
    quint64 transfer = 0; // the latest transfer the session told of
    bool extendedOffer = false;
    QString skippedLine; // said once the user accepts
    int offeredItems = 0;
    int skippedFiles = 0;
    bool failedHeading = false; // the heading tells of a failure
    int storedItems = 0;
};

#endif // DOWNLOADVIEW_H
