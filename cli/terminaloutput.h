#ifndef TERMINALOUTPUT_H
#define TERMINALOUTPUT_H

#include <QJsonObject>
#include <QString>

// Where the terminal commands write: words for people on standard error, so that standard output
// carries only the summary, or with --json only one JSON object per event for scripts. The
// progress line rewrites itself, and only on a terminal: in a log it would be thousands of lines.
class TerminalOutput
{
public:
    explicit TerminalOutput(bool json);

    bool json() const { return jsonMode; }
    // A line for people; a progress line shown is ended first.
    void say(const QString &line);
    // The summary at the end: on standard output unless that carries JSON.
    void summary(const QString &line);
    // One event for scripts, with its name in "event"; nothing without --json.
    void event(const QString &name, QJsonObject fields = QJsonObject());
    void progress(const QString &line);
    void endProgress();

private:
    void write(int fd, const QString &text);

    const bool jsonMode;
    const bool terminal; // standard error is one
    bool progressShown = false;
};

#endif // TERMINALOUTPUT_H
