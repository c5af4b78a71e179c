list(APPEND NUBO_SOURCES
    send/userlistdialog.h send/userlistdialog.cpp forms/userlistdialog.ui
    send/tcpsendthread.h send/tcpsendthread.cpp
    send/sendpacker.h send/sendpacker.cpp
    send/sendsession.h send/sendsession.cpp
    send/socketwait.h send/socketwait.cpp
    send/streamsender.h send/streamsender.cpp
    send/uploadview.h send/uploadview.cpp forms/uploadview.ui
)
