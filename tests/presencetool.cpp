// Runs the presence thread for the two-host test:
//   presencetool announce NAME MILLISECONDS  announces as NAME for that long
//   presencetool listen TEXT MILLISECONDS    exits 0 as soon as TEXT is heard, 1 if not in time
#include "protocol/udpsendthread.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    bool ok = false;
    const int milliseconds = args.value(3).toInt(&ok);
    if (args.size() != 4 || !ok || (args.at(1) != "announce" && args.at(1) != "listen")) {
        fprintf(stderr,
                "usage: presencetool announce NAME MILLISECONDS | listen TEXT MILLISECONDS\n");
        return 2;
    }

    const QString nameOrText = args.at(2);
    UDPSendThread thread;
    fprintf(stderr, "%s: local address %s\n", qPrintable(args.at(1)), qPrintable(thread.localIp));
    if (args.at(1) == "announce") {
        thread.setUserName(nameOrText);
        QTimer::singleShot(milliseconds, &app, &QCoreApplication::quit);
    } else {
        thread.setListenMode(true);
        // Polled rather than signalled, so that nothing but the thread's own lock is involved
        // when the suite runs under ThreadSanitizer.
        auto *poll = new QTimer(&app);
        QObject::connect(poll, &QTimer::timeout, &app, [&] {
            if (thread.userList().contains(nameOrText)) {
                printf("heard %s\n", qPrintable(nameOrText));
                app.exit(0);
            }
        });
        poll->start(50);
        QTimer::singleShot(milliseconds, &app, [&] {
            fprintf(stderr, "not heard within %d ms: %s\n", milliseconds, qPrintable(nameOrText));
            app.exit(1);
        });
    }
    thread.start();
    return app.exec();
}
