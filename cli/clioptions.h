#ifndef CLIOPTIONS_H
#define CLIOPTIONS_H

#include <QString>
#include <QStringList>

// What `NuboTransmission send|receive ...` was asked to do, read from the arguments before any
// socket is opened, so that a mistyped command never touches the network.
class CliOptions
{
public:
    // The exit statuses of the terminal commands; scripts rely on them, so they never change.
    enum Exit {
        Ok = 0,
        Failed = 1,          // an end the codes below do not name (items not stored)
        BadInput = 2,        // unknown option, unusable path, a name heard twice
        Refused = 3,         // the other side said no or did not answer
        Unconfirmed = 4,     // all was sent, the receiver never said whether it stored it
        Broken = 5,          // the transfer was cut
        NotFound = 6,        // no receiver of that name or address
        Busy = 7,            // another copy holds this working folder
        SaveDirUnusable = 8, // the save folder cannot be written
        NoNetwork = 9,       // no address of our own, or the ports cannot be had
        Interrupted = 10,    // Ctrl-C or SIGTERM during a send
        NotTrusted = 11      // no encrypted connection, another identity, or the codes differ
    };
    enum class Command { None, Send, Receive };
    enum class Accept { Ask, All, Known };

    Command command = Command::None;
    QStringList paths;
    QString to; // a receiver's name or IPv4 address; empty: ask on the terminal
    int waitSeconds = 2;
    bool json = false;
    QString saveDir; // empty: the one config.ini names
    Accept accept = Accept::Ask;
    bool once = false;
    bool help = false;
    QString error; // what is wrong with the arguments; empty when they are fine

    // `arguments` start with the command ("send" or "receive").
    static CliOptions parse(const QStringList &arguments);
    static bool isCommand(const char *argument);
    static QString usage();
    // Why the paths cannot be sent as they are given; empty when they can.
    static QString checkPaths(const QStringList &paths);

private:
    // Takes the option at `arguments[*at]` (and its value); false when it is not one of them.
    bool takeSendOption(const QStringList &arguments, int *at);
    bool takeReceiveOption(const QStringList &arguments, int *at);
    QString valueOf(const QStringList &arguments, int *at);
};

#endif // CLIOPTIONS_H
