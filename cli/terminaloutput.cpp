#include "cli/terminaloutput.h"

#include <QJsonDocument>

#include <unistd.h>

TerminalOutput::TerminalOutput(bool json) : jsonMode(json), terminal(::isatty(STDERR_FILENO) == 1)
{
}

void TerminalOutput::say(const QString &line)
{
    endProgress();
    write(STDERR_FILENO, line + QLatin1Char('\n'));
}

void TerminalOutput::summary(const QString &line)
{
    endProgress();
    write(jsonMode ? STDERR_FILENO : STDOUT_FILENO, line + QLatin1Char('\n'));
}

void TerminalOutput::event(const QString &name, QJsonObject fields)
{
    if (!jsonMode)
        return;
    fields.insert(QStringLiteral("event"), name);
    write(STDOUT_FILENO, QString::fromUtf8(QJsonDocument(fields).toJson(QJsonDocument::Compact)) +
                             QLatin1Char('\n'));
}

void TerminalOutput::progress(const QString &line)
{
    if (!terminal)
        return;
    // Back to the start of the line, the new text, and the rest of the old one erased.
    write(STDERR_FILENO, QLatin1Char('\r') + line + QStringLiteral("\x1b[K"));
    progressShown = true;
}

void TerminalOutput::endProgress()
{
    if (!progressShown)
        return;
    progressShown = false;
    write(STDERR_FILENO, QStringLiteral("\n"));
}

void TerminalOutput::write(int fd, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (written <= 0)
            return; // a closed pipe: nobody reads any more
        done += written;
    }
}
