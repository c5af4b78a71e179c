list(APPEND NUBO_SOURCES
    settings/settingskeys.h settings/settingskeys.cpp
    settings/settingdialog.h settings/settingdialog.cpp forms/settingdialog.ui
)
