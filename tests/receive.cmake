# Tests of the receive part: nubo_add_test(...) lines.
nubo_add_test(tst_receivehtml SOURCES tst_receivehtml.cpp)
