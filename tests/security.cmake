# Tests of the identity, the TLS channel and the pairing code: nubo_add_test(...) lines.
nubo_add_test(tst_security SOURCES tst_security.cpp)
