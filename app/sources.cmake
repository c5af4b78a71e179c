list(APPEND NUBO_SOURCES
    app/activationchannel.h app/activationchannel.cpp
    app/instancelock.h app/instancelock.cpp
    app/mainview.h app/mainview.cpp forms/mainview.ui
    app/mainwindow.h app/mainwindow.cpp forms/mainwindow.ui
    app/quitonsignal.h app/quitonsignal.cpp
    app/startup.h app/startup.cpp
)
