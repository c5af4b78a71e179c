#ifndef TESTNETWORK_H
#define TESTNETWORK_H

#include <QtTest>

// Tests that start a receive or send session announce on, and listen at, the machine's address.
// They may do so only inside the private namespace that netns.sh makes for them; anywhere else
// they would reach a real network, so they refuse to run.
#define REQUIRE_TEST_NETWORK()                                                                     \
    do {                                                                                           \
        if (!qEnvironmentVariableIsSet("NUBO_NETNS_ADDR"))                                         \
            QSKIP("needs the private test network: run through tests/netns.sh host");             \
    } while (false)

#endif // TESTNETWORK_H
