list(APPEND NUBO_SOURCES
    receive/downloadview.h receive/downloadview.cpp forms/downloadview.ui
    receive/receivehtml.h receive/receivehtml.cpp
    receive/receiveoffer.h
    receive/receiveprogress.h receive/receiveprogress.cpp
    receive/receiveserver.h receive/receiveserver.cpp
    receive/receivesession.h receive/receivesession.cpp
    receive/streamunpacker.h receive/streamunpacker.cpp
)
