#ifndef TESTNETWORK_H
#define TESTNETWORK_H

#include <QNetworkInterface>
#include <QtTest>

// Receive and send sessions announce on, and listen at, the machine's address. Tests and the
// driver may start them only inside a test host made by tests/netns.sh, whose one link is
// "nubo0"; anywhere else they would reach a real network.
inline bool insideTestHost()
{
    for (const QNetworkInterface &link : QNetworkInterface::allInterfaces()) {
        const auto flags = link.flags();
        if ((flags & QNetworkInterface::IsUp) && !(flags & QNetworkInterface::IsLoopBack)
            && link.name() != QLatin1String("nubo0"))
            return false;
    }
    return true;
}

#define REQUIRE_TEST_NETWORK()                                                                     \
    do {                                                                                           \
        if (!insideTestHost())                                                                     \
            QSKIP("needs a private test host: run through tests/netns.sh");                        \
    } while (false)

#endif // TESTNETWORK_H
