#ifndef TERMINALINPUT_H
#define TERMINALINPUT_H

#include <QByteArray>
#include <QObject>

class QSocketNotifier;

// Lines typed on standard input, read as they come through the event loop: a question must never
// hold up a transfer, nor the receiver's countdown that ends an unanswered one.
class TerminalInput : public QObject
{
    Q_OBJECT

public:
    explicit TerminalInput(QObject *parent = nullptr);

signals:
    void lineRead(const QString &line);
    // End of input: nothing more will be answered.
    void closed();

private:
    void readable();

    QSocketNotifier *notifier;
    QByteArray pending;
};

#endif // TERMINALINPUT_H
