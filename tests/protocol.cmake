# Tests of the protocol part: nubo_add_test(...) lines.
nubo_add_test(tst_transferrequest SOURCES tst_transferrequest.cpp)
nubo_add_test(tst_transferreply SOURCES tst_transferreply.cpp)
nubo_add_test(tst_ratemeter SOURCES tst_ratemeter.cpp)
nubo_add_test(tst_extendedprotocol SOURCES tst_extendedprotocol.cpp)
nubo_add_test(tst_handover SOURCES tst_handover.cpp)
nubo_add_test(tst_udpsendthread SOURCES tst_udpsendthread.cpp NETNS TIMEOUT 120)

# Two hosts joined by a link, each running the presence thread of a small tool.
add_executable(presencetool presencetool.cpp)
target_link_libraries(presencetool PRIVATE nubo)
add_test(NAME tst_presencepair
         COMMAND ${NUBO_NETNS} pair ${CMAKE_CURRENT_SOURCE_DIR}/tst_presencepair.sh
                 $<TARGET_FILE:presencetool>)
set_tests_properties(tst_presencepair PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 60 LABELS netns
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LC_ALL=C.UTF-8;${NUBO_SANITIZER_ENV}")

if(NUBO_FUZZ)
    add_subdirectory(fuzz)
endif()
