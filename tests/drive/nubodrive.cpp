// nubo-drive: uses the real program the way a person does, through its widgets only, so that two
// copies of it in two test hosts can carry a transfer from one end to the other.
//
//   nubo-drive receive [--answer yes|no] [--transfers N] [--timeout SECONDS] [--screenshot PNG]
//                      [--code-file FILE]
//   nubo-drive send --to NAME|--to-address IP [--timeout SECONDS] [--screenshot PNG]
//                   [--code-file FILE] [--unencrypted yes|no] PATH...
//
// A pairing code in the receiver's question is written to the code file; the sender says the
// codes match when its own is the one in the file (it waits for the file), or at once without
// one. The sender answers the question whether to send in the clear as --unencrypted (no).
// receive: exit 0 when "接收完成！" was shown for every transfer, 1 for a refused or incomplete
// one, 2 on timeout. send: 0 when "传输完成！" was shown, 1 on refusal or failure, 2 on timeout.
// Both print the text browser's final text and monotonic times in milliseconds.

#include "app/mainview.h"
#include "app/mainwindow.h"
#include "receive/downloadview.h"
#include "send/uploadview.h"
#include "testnetwork.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QtTest>

#include <cstdio>
#include <functional>

namespace {

enum ExitCode { Success = 0, Failed = 1, TimedOut = 2, BadUsage = 64 };

qint64 now()
{
    QElapsedTimer clock;
    clock.start();
    return clock.msecsSinceReference();
}

template <typename View> View *findView()
{
    for (QWidget *widget : QApplication::allWidgets()) {
        if (auto *view = qobject_cast<View *>(widget))
            return view;
    }
    return nullptr;
}

QMessageBox *activeBox(const QString &title)
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    return box && box->isVisible() && box->windowTitle() == title ? box : nullptr;
}

// What the shown text says. Only blocks added since the last look are read: the views list
// thousands of items, and reading the whole document at every poll would stall the very window
// whose stalls are measured.
class TextWatch
{
public:
    bool failure = false; // red paragraphs are the views' failure lines
    bool unconfirmed = false;

    void look(const QTextBrowser *browser)
    {
        const QTextDocument *document = browser->document();
        if (document != watched || document->blockCount() < seenBlocks) {
            // A new transfer starts from a clean text area.
            watched = document;
            seenBlocks = 0;
            failure = false;
            unconfirmed = false;
        }
        QTextBlock block = document->findBlockByNumber(qMax(seenBlocks - 1, 0));
        for (; block.isValid(); block = block.next()) {
            for (auto it = block.begin(); !it.atEnd(); ++it) {
                if (it.fragment().charFormat().foreground().color() == QColor(Qt::red))
                    failure = true;
            }
            if (block.text().contains(QString::fromUtf8("对方未确认")))
                unconfirmed = true;
        }
        seenBlocks = document->blockCount();
    }

private:
    const QTextDocument *watched = nullptr;
    int seenBlocks = 0;
};

class Driver : public QObject
{
public:
    Driver(QString mode, QStringList args) : mode(std::move(mode)), args(std::move(args)) {}

    int start()
    {
        if (!parse())
            return BadUsage;
        window.show();
        auto *home = qobject_cast<MainView *>(window.centralWidget());
        if (!home)
            return finish(Failed, "the home view is not shown");
        const char *button = mode == QLatin1String("send") ? "toolButtonS" : "toolButtonR";
        times.insert("entered", now());
        home->findChild<QToolButton *>(button)->click();
        QTimer::singleShot(timeoutSeconds * 1000, this, [this] { finish(TimedOut, "timeout"); });
        // The poller doubles as the probe of the window's responsiveness: the longest gap between
        // two of its 10 ms runs is how long the event loop was held up.
        poller.setInterval(10);
        connect(&poller, &QTimer::timeout, this, [this] {
            const qint64 t = now();
            if (lastPoll > 0 && t - lastPoll > maxGap) {
                maxGap = t - lastPoll;
                times.insert("gap", t); // when the longest gap so far ended
            }
            lastPoll = t;
            mode == "send" ? pollSend() : pollReceive();
        });
        poller.start();
        // A box is looked at as soon as it shows: the poller's delay would count as the
        // program's time.
        qApp->installEventFilter(this);
        if (mode == QLatin1String("send"))
            QTimer::singleShot(0, this, [this] { drop(); });
        return -1;
    }

private:
    bool parse()
    {
        for (int i = 0; i < args.size(); ++i) {
            const QString &arg = args.at(i);
            const QString next = i + 1 < args.size() ? args.at(i + 1) : QString();
            if (arg == "--timeout") {
                timeoutSeconds = next.toInt();
                ++i;
            } else if (arg == "--answer" && mode == "receive") {
                answerYes = next == "yes";
                if (next != "yes" && next != "no")
                    return false;
                ++i;
            } else if (arg == "--code-file") {
                codeFile = next;
                ++i;
            } else if (arg == "--unencrypted" && mode == "send") {
                sendInTheClear = next == "yes";
                ++i;
            } else if (arg == "--transfers" && mode == "receive") {
                transfers = next.toInt();
                ++i;
            } else if (arg == "--screenshot") {
                screenshot = next;
                ++i;
            } else if (arg == "--to" && mode == "send") {
                receiverName = next;
                ++i;
            } else if (arg == "--to-address" && mode == "send") {
                receiverAddress = next;
                ++i;
            } else if (mode == "send" && !arg.startsWith("--")) {
                paths << QFileInfo(arg).absoluteFilePath();
            } else {
                return false;
            }
        }
        if (timeoutSeconds <= 0 || transfers <= 0)
            return false;
        return mode == "receive" ||
               (mode == "send" && (!receiverName.isEmpty() || !receiverAddress.isEmpty()) &&
                !paths.isEmpty());
    }

    QTextBrowser *browser() const
    {
        QWidget *view = window.centralWidget();
        return view ? view->findChild<QTextBrowser *>("textBrowser") : nullptr;
    }

    bool progressShows(const char *title) const
    {
        QWidget *view = window.centralWidget();
        auto *label = view ? view->findChild<QLabel *>("progressLabel") : nullptr;
        return label && label->text().contains(QString::fromUtf8(title));
    }

    void drop()
    {
        auto *view = findView<UploadView>();
        QList<QUrl> urls;
        for (const QString &path : paths)
            urls << QUrl::fromLocalFile(path);
        QMimeData data;
        data.setUrls(urls);
        const QPoint centre = view->rect().center();
        QDragEnterEvent enter(centre, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view, &enter);
        if (!enter.isAccepted()) {
            finish(Failed, "the send view refused the drag");
            return;
        }
        times.insert("drop", now());
        QDropEvent dropEvent(centre, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view, &dropEvent);
        dropHandled = true;
    }

    void pollSend()
    {
        if (auto *chooser = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
            auto *edit = chooser->findChild<QLineEdit *>("ipLineEdit");
            if (edit && !receiverAddress.isEmpty()) {
                // Typed as a person would, for a receiver that discovery does not reach.
                edit->clear();
                QTest::keyClicks(edit, receiverAddress);
                auto *ok = chooser->findChild<QPushButton *>("pushButton");
                if (ok->isEnabled()) {
                    ok->click();
                    times.insert("chosen", now());
                }
                return;
            }
            if (auto *list = chooser->findChild<QListWidget *>("listWidget")) {
                const QString prefix = QString::fromUtf8("用户名：") + receiverName + "\n";
                for (int row = 0; row < list->count(); ++row) {
                    if (list->item(row)->text().startsWith(prefix)) {
                        list->setCurrentRow(row);
                        chooser->findChild<QPushButton *>("pushButton")->click();
                        times.insert("chosen", now());
                        return;
                    }
                }
                return;
            }
        }
        if (answerSenderQuestion())
            return;
        QTextBrowser *text = browser();
        if (text)
            watch.look(text);
        if (!times.contains("progress") && progressShows("正在发送"))
            times.insert("progress", now());
        if (QMessageBox *box = activeBox(QString::fromUtf8("提示"))) {
            const bool done = box->text() == QString::fromUtf8("传输完成！");
            box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->accept();
            finish(done ? Success : Failed, done ? "sent" : "unexpected notice");
            return;
        }
        if (dropHandled && text && watch.failure)
            finish(Failed, "the send view shows a failure");
        else if (dropHandled && text && watch.unconfirmed)
            finish(Failed, "delivery was not confirmed");
    }

    void pollReceive()
    {
        QTextBrowser *text = browser();
        if (text)
            watch.look(text);
        if (QMessageBox *question = activeBox(QString::fromUtf8("是否接收文件？"))) {
            times.insert(QString("question%1").arg(finished), now());
            noteCode(question->text());
            question->button(answerYes ? QMessageBox::Yes : QMessageBox::No)->click();
            times.insert(QString("answered%1").arg(finished), now());
            if (!answerYes)
                refused = true;
            return;
        }
        if (!times.contains(QString("progress%1").arg(finished)) && progressShows("正在接收"))
            times.insert(QString("progress%1").arg(finished), now());
        if (QMessageBox *box = activeBox(QString::fromUtf8("提示"))) {
            const bool done = box->text() == QString::fromUtf8("接收完成！");
            box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->accept();
            times.insert(QString("end%1").arg(finished), now());
            if (text)
                watch.look(text);
            if (!done || watch.failure) {
                finish(Failed, "the transfer did not arrive whole");
                return;
            }
            if (++finished == transfers)
                finish(Success, "received");
            return;
        }
        if (refused && text && watch.failure) {
            // Give the refusal reply time to leave before the process ends.
            refused = false;
            QTimer::singleShot(1000, this, [this] { finish(Failed, "refused"); });
        } else if (!refused && answeredOnce() && text && watch.failure && !transferShown()) {
            // Once the view is done with the transfer, so that its last lines are read too.
            finish(Failed, "the transfer did not arrive whole");
        }
    }

    // The receive view shows 取消 while a transfer runs.
    bool transferShown() const
    {
        QWidget *view = window.centralWidget();
        auto *cancel = view ? view->findChild<QPushButton *>("cancelPushButton") : nullptr;
        return cancel && cancel->isVisible();
    }

    // The six digits after "配对码为 " in the receiver's question, for the sender's driver.
    void noteCode(const QString &question)
    {
        const int at = question.indexOf(QString::fromUtf8("配对码为 "));
        if (at < 0 || codeFile.isEmpty())
            return;
        const QString code = question.mid(at + 5, 6);
        std::printf("code %s\n", qPrintable(code));
        QFile file(codeFile);
        if (file.open(QIODevice::WriteOnly))
            file.write(code.toUtf8());
    }

    // True while the sender's question is up and not answered yet.
    bool answerSenderQuestion()
    {
        if (QMessageBox *box = activeBox(QString::fromUtf8("未加密"))) {
            times.insert("unencrypted", now());
            box->button(sendInTheClear ? QMessageBox::Yes : QMessageBox::No)->click();
            return true;
        }
        QMessageBox *box = activeBox(QString::fromUtf8("配对"));
        if (!box)
            return false;
        const QString text = box->text();
        const QString mine = text.mid(text.indexOf(QString::fromUtf8("：\n\n")) + 3, 6);
        QFile file(codeFile);
        if (!codeFile.isEmpty() && !(file.open(QIODevice::ReadOnly) && file.size() == 6))
            return true; // the other screen has not shown its code yet
        const QString theirs = codeFile.isEmpty() ? mine : QString::fromUtf8(file.readAll());
        std::printf("code %s, receiver shows %s\n", qPrintable(mine), qPrintable(theirs));
        times.insert("paired", now());
        box->button(mine == theirs ? QMessageBox::Yes : QMessageBox::No)->click();
        return true;
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show && qobject_cast<QMessageBox *>(watched))
            QTimer::singleShot(0, this, [this] {
                if (!done)
                    mode == "send" ? pollSend() : pollReceive();
            });
        return false;
    }

    bool answeredOnce() const { return times.contains(QString("answered%1").arg(finished)); }

    int finish(int code, const char *why)
    {
        if (done)
            return code;
        done = true;
        poller.stop();
        times.insert("exit", now());
        QTextBrowser *text = browser();
        std::printf("result: %s (exit %d)\n", why, code);
        // Block by block: a copy of a whole long list would be counted as the program's growth.
        std::printf("text:\n");
        for (QTextBlock block = text ? text->document()->begin() : QTextBlock(); block.isValid();
             block = block.next())
            std::printf("%s\n", block.text()
                                    .replace(QChar::LineSeparator, QLatin1Char('\n'))
                                    .replace(QChar::Nbsp, QLatin1Char(' '))
                                    .toUtf8()
                                    .constData());
        std::printf("maxgap %lld\n", static_cast<long long>(maxGap));
        for (auto it = times.cbegin(); it != times.cend(); ++it)
            std::printf("time %s %lld\n", qPrintable(it.key()), static_cast<long long>(it.value()));
        std::fflush(stdout);
        if (!screenshot.isEmpty())
            window.grab().save(screenshot);
        // Close whatever modal loop is open so that the event loops unwind.
        if (QWidget *modal = QApplication::activeModalWidget())
            modal->close();
        QTimer::singleShot(0, qApp, [code] { QCoreApplication::exit(code); });
        return code;
    }

    QString mode;
    QStringList args;
    int timeoutSeconds = 120;
    bool answerYes = true;
    int transfers = 1;
    QString receiverName;
    QString receiverAddress;
    QString screenshot;
    QString codeFile;
    bool sendInTheClear = false;
    QStringList paths;

    MainWindow window;
    QTimer poller;
    TextWatch watch;
    QMap<QString, qint64> times;
    qint64 lastPoll = 0;
    qint64 maxGap = 0;
    bool dropHandled = false;
    bool refused = false;
    bool done = false;
    int finished = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty() || (args.first() != "receive" && args.first() != "send")) {
        std::fprintf(stderr, "usage: nubo-drive receive [--answer yes|no] [--transfers N] "
                             "[--timeout SECONDS] [--screenshot PNG]\n"
                             "       nubo-drive send --to NAME [--timeout SECONDS] "
                             "[--screenshot PNG] PATH...\n");
        return BadUsage;
    }
    if (!insideTestHost()) {
        std::fprintf(stderr, "nubo-drive runs only inside a test host (tests/netns.sh)\n");
        return BadUsage;
    }
    Driver driver(args.first(), args.mid(1));
    const int early = driver.start();
    if (early >= 0)
        return early;
    return app.exec();
}
