list(APPEND NUBO_SOURCES
    receive/downloadview.h receive/downloadview.cpp forms/downloadview.ui
    receive/extendedunpacker.h receive/extendedunpacker.cpp
    receive/receivehtml.h receive/receivehtml.cpp
    receive/receiveoffer.h
    receive/receiveplanner.h receive/receiveplanner.cpp
    receive/receiveprogress.h receive/receiveprogress.cpp
    receive/receiveserver.h receive/receiveserver.cpp
    receive/receivesession.h receive/receivesession.cpp
    receive/storedentry.h
    receive/streamunpacker.h receive/streamunpacker.cpp
)
