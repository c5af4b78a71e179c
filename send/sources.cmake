list(APPEND NUBO_SOURCES
    send/userlistdialog.h send/userlistdialog.cpp forms/userlistdialog.ui
    send/receivermark.h send/receivermark.cpp
    send/connector.h send/connector.cpp
    send/filehasher.h send/filehasher.cpp
    send/peerlink.h send/peerlink.cpp
    send/sendpacker.h send/sendpacker.cpp
    send/sendresult.h
    send/sendresulttext.h send/sendresulttext.cpp
    send/sendsession.h send/sendsession.cpp
    send/senderpairing.h send/senderpairing.cpp
    send/sendworker.h send/sendworker.cpp
    send/socketwait.h send/socketwait.cpp
    send/readahead.h send/readahead.cpp
    send/streamsender.h send/streamsender.cpp
    send/uploadview.h send/uploadview.cpp forms/uploadview.ui
)
