list(APPEND NUBO_SOURCES
    receive/downloadview.h receive/downloadview.cpp
    receive/streamitem.h receive/streamitem.cpp
    receive/streamunpacker.h receive/streamunpacker.cpp
)
