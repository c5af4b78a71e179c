list(APPEND NUBO_SOURCES
    send/userlistdialog.h send/userlistdialog.cpp forms/userlistdialog.ui
    send/packprogress.h send/packprogress.cpp
    send/packthread.h send/packthread.cpp
    send/tcpsendthread.h send/tcpsendthread.cpp
    send/sendpacker.h send/sendpacker.cpp
    send/socketwait.h send/socketwait.cpp
    send/uploadview.h send/uploadview.cpp forms/uploadview.ui
)
