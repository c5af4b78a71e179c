list(APPEND NUBO_SOURCES
    protocol/transferrequest.h protocol/transferrequest.cpp
    protocol/transferreply.h protocol/transferreply.cpp
    protocol/streamwriter.h protocol/streamwriter.cpp
    protocol/presencelist.h protocol/presencelist.cpp
    protocol/udpsendthread.h protocol/udpsendthread.cpp
)
