#ifndef QUITONSIGNAL_H
#define QUITONSIGNAL_H

#include <QObject>

class QSocketNotifier;

// Ends the program through its event loop on SIGTERM and SIGINT, as closing its window would: a
// copy stopped by a logout, `kill` or Ctrl+C then ends its transfers normally and the partial
// files they leave are recorded. A handler may do next to nothing, so it only writes a byte to a
// socket whose other end the event loop watches.
class QuitOnSignal : public QObject
{
    Q_OBJECT

public:
    explicit QuitOnSignal(QObject *parent = nullptr);
    // The signals' earlier handlers are put back.
    ~QuitOnSignal() override;

    // False where the signals cannot be caught; the program then ends as the system decides.
    bool install();

private:
    void arrived();

    QSocketNotifier *notifier = nullptr;
    bool installed = false;
};

#endif // QUITONSIGNAL_H
