list(APPEND NUBO_SOURCES
    receive/downloadview.h receive/downloadview.cpp forms/downloadview.ui
    receive/extendedunpacker.h receive/extendedunpacker.cpp
    receive/incomingtransfer.h receive/incomingtransfer.cpp
    receive/partialregistry.h receive/partialregistry.cpp
    receive/planpool.h receive/planpool.cpp
    receive/receivehtml.h receive/receivehtml.cpp
    receive/receivelistener.h receive/receivelistener.cpp
    receive/receiveoffer.h
    receive/receiveoutcome.h
    receive/receiveplanner.h receive/receiveplanner.cpp
    receive/receiveprogress.h receive/receiveprogress.cpp
    receive/receivesession.h receive/receivesession.cpp
    receive/receivesettings.h
    receive/storedentry.h
    receive/streamunpacker.h receive/streamunpacker.cpp
    receive/unpackersink.h receive/unpackersink.cpp
)
