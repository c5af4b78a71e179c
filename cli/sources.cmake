list(APPEND NUBO_SOURCES
    cli/clioptions.h cli/clioptions.cpp
    cli/commandline.h cli/commandline.cpp
    cli/receivecommand.h cli/receivecommand.cpp
    cli/sendcommand.h cli/sendcommand.cpp
    cli/terminalinput.h cli/terminalinput.cpp
    cli/terminaloutput.h cli/terminaloutput.cpp
    cli/transferline.h cli/transferline.cpp
)
