# The driver that uses the program through its widgets, and the end-to-end transfers between two
# test hosts that it carries out.
add_executable(nubo-drive drive/nubodrive.cpp)
target_include_directories(nubo-drive PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(nubo-drive PRIVATE nubo Qt::Test)

foreach(case folder-tree several-files refusal two-in-a-row typed-address save-blocked large-file
             ext-skip-unchanged ext-changed-file ext-rewritten-in-place ext-resume ext-hash-mismatch ext-over-4gib
             ext-mitm ext-identity-changed ext-downgrade ext-capture
             plain-exact-bytes)
    add_test(NAME e2e_${case}
             COMMAND ${NUBO_NETNS} pair ${CMAKE_CURRENT_SOURCE_DIR}/e2e/e2e.sh
                     $<TARGET_FILE:nubo-drive> ${case})
    set_tests_properties(e2e_${case} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300 RUN_SERIAL TRUE
                         LABELS netns
                         ENVIRONMENT "${NUBO_SANITIZER_ENV}")
endforeach()

# The terminal commands against the window: one sends from a terminal, one receives in one.
foreach(case cli-send cli-receive cli-receive-known cli-name-twice service cli-send-plain cli-receive-plain
             cli-receive-ask cli-receive-ask-plain)
    add_test(NAME e2e_${case}
             COMMAND ${NUBO_NETNS} pair ${CMAKE_CURRENT_SOURCE_DIR}/e2e/e2e.sh
                     $<TARGET_FILE:nubo-drive> ${case} $<TARGET_FILE:NuboTransmission>)
    set_tests_properties(e2e_${case} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300 RUN_SERIAL TRUE
                         LABELS netns
                         ENVIRONMENT "${NUBO_SANITIZER_ENV}")
endforeach()
