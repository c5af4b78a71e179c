list(APPEND NUBO_SOURCES
    receive/downloadview.h receive/downloadview.cpp forms/downloadview.ui
    receive/extendedparts.h receive/extendedparts.cpp
    receive/filewriter.h receive/filewriter.cpp
    receive/handed.h
    receive/incomingtransfer.h receive/incomingtransfer.cpp
    receive/itemstorage.h receive/itemstorage.cpp
    receive/plainitemstream.h receive/plainitemstream.cpp
    receive/planpool.h receive/planpool.cpp
    receive/receivedlinks.h receive/receivedlinks.cpp
    receive/receivehtml.h receive/receivehtml.cpp
    receive/receivelistener.h receive/receivelistener.cpp
    receive/receiveoffer.h
    receive/receiveoutcome.h
    receive/receiveplanner.h receive/receiveplanner.cpp
    receive/receiveprogress.h receive/receiveprogress.cpp
    receive/receivesession.h receive/receivesession.cpp
    receive/receivesettings.h
    receive/savefolder.h receive/savefolder.cpp
    receive/storedentry.h
    receive/transferstore.h
)
