#include "app/quitonsignal.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// The handler sees only this: [0] is written by the handler, [1] read by the event loop.
int wakeup[2] = {-1, -1};

#ifdef Q_OS_UNIX
const int caught[] = {SIGTERM, SIGINT};
struct sigaction previous[2];

void handle(int)
{
    const char byte = 1;
    const ssize_t written = ::write(wakeup[0], &byte, 1);
    Q_UNUSED(written) // a full socket holds a wake-up already
}
#endif

} // namespace

QuitOnSignal::QuitOnSignal(QObject *parent) : QObject(parent) {}

QuitOnSignal::~QuitOnSignal()
{
#ifdef Q_OS_UNIX
    if (!installed)
        return;
    for (int i = 0; i < 2; ++i)
        ::sigaction(caught[i], &previous[i], nullptr);
    ::close(wakeup[0]);
    ::close(wakeup[1]);
    wakeup[0] = wakeup[1] = -1;
#endif
}

bool QuitOnSignal::install()
{
#ifdef Q_OS_UNIX
    if (installed || wakeup[0] >= 0)
        return installed;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, wakeup) != 0)
        return false;
    notifier = new QSocketNotifier(wakeup[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &QuitOnSignal::arrived);
    struct sigaction action = {};
    action.sa_handler = handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 2; ++i)
        ::sigaction(caught[i], &action, &previous[i]);
    installed = true;
    return true;
#else
    return false;
#endif
}

void QuitOnSignal::arrived()
{
#ifdef Q_OS_UNIX
    char bytes[16];
    while (::read(wakeup[1], bytes, sizeof bytes) > 0) {
    }
#endif
    QCoreApplication::quit();
}
