#ifndef MODALHELPER_H
#define MODALHELPER_H

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>

// Answers the next modal window from inside its own event loop: polls until a modal widget is
// active, then hands it to `answer`. Gives up after `timeoutMs`, so a test never hangs waiting
// for a person; `answered` tells whether it ran.
class ModalHelper : public QObject
{
public:
    explicit ModalHelper(std::function<void(QWidget *)> answer, int timeoutMs = 10000)
        : answerFn(std::move(answer)), timeout(timeoutMs)
    {
        clock.start();
        QTimer::singleShot(0, this, [this] { poll(); });
    }

    bool answered = false;

private:
    void poll()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (modal && modal->isVisible()) {
            answered = true;
            answerFn(modal);
            return;
        }
        if (clock.elapsed() < timeout)
            QTimer::singleShot(10, this, [this] { poll(); });
    }

    std::function<void(QWidget *)> answerFn;
    int timeout;
    QElapsedTimer clock;
};

#endif // MODALHELPER_H
