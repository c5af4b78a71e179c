# Tests of the terminal commands: their options, and the program's exit statuses. The program is
# started inside a namespace of its own, so that nothing it might send leaves the test.
nubo_add_test(tst_clioptions SOURCES tst_clioptions.cpp)
nubo_add_test(tst_commandline SOURCES tst_commandline.cpp NETNS)
target_compile_definitions(tst_commandline PRIVATE NUBO_PROGRAM="$<TARGET_FILE:NuboTransmission>")
add_dependencies(tst_commandline NuboTransmission)
nubo_add_test(tst_transferline SOURCES tst_transferline.cpp)
