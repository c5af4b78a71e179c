list(APPEND NUBO_SOURCES
    receive/downloadview.h receive/downloadview.cpp forms/downloadview.ui
    receive/receivehtml.h receive/receivehtml.cpp
    receive/receiveprogress.h receive/receiveprogress.cpp
    receive/streamitem.h receive/streamitem.cpp
    receive/streamunpacker.h receive/streamunpacker.cpp
)
