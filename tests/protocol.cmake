# Tests of the protocol part: nubo_add_test(...) lines.
nubo_add_test(tst_transferrequest SOURCES tst_transferrequest.cpp)
nubo_add_test(tst_transferreply SOURCES tst_transferreply.cpp)
nubo_add_test(tst_streamwriter SOURCES tst_streamwriter.cpp)
nubo_add_test(tst_streamunpacker SOURCES tst_streamunpacker.cpp)
nubo_add_test(tst_udpsendthread SOURCES tst_udpsendthread.cpp NETNS TIMEOUT 120)

if(NUBO_FUZZ)
    add_subdirectory(fuzz)
endif()
