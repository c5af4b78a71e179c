list(APPEND NUBO_SOURCES
    receive/downloadview.h receive/downloadview.cpp
)
