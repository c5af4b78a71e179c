#include "cli/terminalinput.h"

#include <QSocketNotifier>

#include <unistd.h>

TerminalInput::TerminalInput(QObject *parent)
    : QObject(parent), notifier(new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this))
{
    connect(notifier, &QSocketNotifier::activated, this, &TerminalInput::readable);
}

void TerminalInput::readable()
{
    char bytes[4096];
    const ssize_t got = ::read(STDIN_FILENO, bytes, sizeof bytes);
    if (got <= 0) {
        notifier->setEnabled(false);
        emit closed();
        return;
    }
    pending.append(bytes, int(got));
    int end;
    while ((end = pending.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(pending.left(end)).trimmed();
        pending.remove(0, end + 1);
        emit lineRead(line);
    }
}
