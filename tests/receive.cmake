# Tests of the receive part: nubo_add_test(...) lines.
nubo_add_test(tst_receivehtml SOURCES tst_receivehtml.cpp)
nubo_add_test(tst_plainitemstream SOURCES tst_plainitemstream.cpp)
nubo_add_test(tst_savefolder SOURCES tst_savefolder.cpp)
nubo_add_test(tst_receivesession SOURCES tst_receivesession.cpp)
nubo_add_test(tst_extendedreceive SOURCES tst_extendedreceive.cpp)
# The view announces itself and listens on the machine's address: inside a namespace only.
nubo_add_test(tst_downloadview SOURCES tst_downloadview.cpp NETNS TIMEOUT 180)
