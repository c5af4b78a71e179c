list(APPEND NUBO_SOURCES
    send/userlistdialog.h send/userlistdialog.cpp forms/userlistdialog.ui
    send/uploadview.h send/uploadview.cpp
)
