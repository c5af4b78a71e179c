list(APPEND NUBO_SOURCES
    send/userlistdialog.h send/userlistdialog.cpp forms/userlistdialog.ui
    send/tcpsendthread.h send/tcpsendthread.cpp
    send/sendpacker.h send/sendpacker.cpp
    send/uploadview.h send/uploadview.cpp forms/uploadview.ui
)
