# Tests of the send part: nubo_add_test(...) lines.
nubo_add_test(tst_userlistdialog SOURCES tst_userlistdialog.cpp)
nubo_add_test(tst_sendsession SOURCES tst_sendsession.cpp testreceiver.h extendedreceiver.h
    fullbacklog.h tempworkdir.h)
nubo_add_test(tst_streamsender SOURCES tst_streamsender.cpp)
nubo_add_test(tst_sendpacker SOURCES tst_sendpacker.cpp)
nubo_add_test(tst_uploadview SOURCES tst_uploadview.cpp senddrop.h)
nubo_add_test(tst_uploadviewsend SOURCES tst_uploadviewsend.cpp senddrop.h testreceiver.h
    extendedreceiver.h testnetwork.h NETNS)
