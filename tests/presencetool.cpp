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

    UDPSendThread thread;
    fprintf(stderr, "%s: local address %s\n", qPrintable(args.at(1)), qPrintable(thread.localIp));
    if (args.at(1) == "announce") {
        thread.setUserName(args.at(2));
        QTimer::singleShot(milliseconds, &app, &QCoreApplication::quit);
    } else {
        const QString expected = args.at(2);
        thread.setListenMode(true);
        QObject::connect(&thread, &UDPSendThread::userListUpdate, &app,
                         [&](const QStringList &list) {
                             printf("heard %s\n", qPrintable(list.last()));
                             if (list.contains(expected))
                                 app.exit(0);
                         });
        QTimer::singleShot(milliseconds, &app, [&] {
            fprintf(stderr, "not heard within %d ms: %s\n", milliseconds, qPrintable(expected));
            app.exit(1);
        });
    }
    thread.start();
    return app.exec();
}
