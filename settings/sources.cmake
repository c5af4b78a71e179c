list(APPEND NUBO_SOURCES
    settings/settingskeys.h settings/settingskeys.cpp
    settings/devicelist.h settings/devicelist.cpp
    settings/settingdialog.h settings/settingdialog.cpp forms/settingdialog.ui
)
