list(APPEND NUBO_SOURCES
    send/uploadview.h send/uploadview.cpp
)
