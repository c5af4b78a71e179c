list(APPEND NUBO_SOURCES
    protocol/decimal.h protocol/decimal.cpp
    protocol/itemname.h protocol/itemname.cpp
    protocol/formatsize.h protocol/formatsize.cpp
    protocol/ratemeter.h protocol/ratemeter.cpp
    protocol/transferrequest.h protocol/transferrequest.cpp
    protocol/transferreply.h protocol/transferreply.cpp
    protocol/streamreader.h protocol/streamreader.cpp
    protocol/presencelist.h protocol/presencelist.cpp
    protocol/udpsendthread.h protocol/udpsendthread.cpp
    protocol/contenthash.h protocol/contenthash.cpp
    protocol/manifest.h protocol/manifest.cpp
    protocol/transferplan.h protocol/transferplan.cpp
    protocol/extendedprotocol.h protocol/extendedprotocol.cpp
    protocol/extendedbodyreader.h protocol/extendedbodyreader.cpp
    protocol/socketreset.h protocol/socketreset.cpp
    protocol/handover.h protocol/handover.cpp
)
