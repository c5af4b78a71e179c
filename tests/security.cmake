# Tests of the identity, the TLS channel, the pairing code and the TLS relay: nubo_add_test(...) lines.
nubo_add_test(tst_security SOURCES tst_security.cpp)
nubo_add_test(tst_tlsrelay SOURCES tst_tlsrelay.cpp)
