list(APPEND NUBO_SOURCES
    app/mainview.h app/mainview.cpp forms/mainview.ui
    app/mainwindow.h app/mainwindow.cpp forms/mainwindow.ui
)
