# What `cmake --install` puts where, and the Debian package CPack makes of the same files:
#   cmake --install build --prefix ~/.local        or        cd build && cpack -G DEB
include(GNUInstallDirs)

# Names the menu entry, the icon and the AppStream component alike.
set(NUBO_APP_ID io.github.nubotransmission.NuboTransmission)
# Wayland matches the window to its menu entry, and so to its icon, by this name.
target_compile_definitions(NuboTransmission PRIVATE NUBO_APP_ID="${NUBO_APP_ID}")

install(TARGETS NuboTransmission RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/${NUBO_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/${NUBO_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

set(NUBO_PACKAGE_CONTACT "NuboTransmission maintainers <maintainers@nubotransmission.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

# The licence, the changelog and the manual page, where Debian looks for them. The changelog is
# signed by the package's maintainer; both are compressed without a time stamp, so that building
# twice gives the same files.
set(NUBO_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/nubotransmission)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION ${NUBO_DOC_DIR})
if(UNIX)
    find_program(NUBO_GZIP gzip)
    if(NOT NUBO_GZIP)
        message(FATAL_ERROR "gzip is needed to compress the changelog and the manual page")
    endif()
    set(NUBO_DIST_BUILD_DIR ${CMAKE_BINARY_DIR}/dist)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${NUBO_DIST_BUILD_DIR}/changelog @ONLY)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/NuboTransmission.1.in
                   ${NUBO_DIST_BUILD_DIR}/NuboTransmission.1 @ONLY)
    foreach(doc changelog NuboTransmission.1)
        add_custom_command(OUTPUT ${NUBO_DIST_BUILD_DIR}/${doc}.gz
                           COMMAND ${NUBO_GZIP} -9 -n -k -f ${NUBO_DIST_BUILD_DIR}/${doc}
                           DEPENDS ${NUBO_DIST_BUILD_DIR}/${doc} VERBATIM)
    endforeach()
    add_custom_target(nubo_docs ALL DEPENDS ${NUBO_DIST_BUILD_DIR}/changelog.gz
                                            ${NUBO_DIST_BUILD_DIR}/NuboTransmission.1.gz)
    install(FILES ${NUBO_DIST_BUILD_DIR}/changelog.gz DESTINATION ${NUBO_DOC_DIR})
    install(FILES ${NUBO_DIST_BUILD_DIR}/NuboTransmission.1.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The unattended receiver, a user unit: systemctl --user enable --now nubotransmission-receive.
# Its command is found on systemd's own search path, wherever the prefix put it.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/nubotransmission-receive.service
        DESTINATION lib/systemd/user)

# Loads the kernel's TLS at boot where it is a module, as Debian's kernel has it; without it the
# program encrypts in user space.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/nubotransmission.conf DESTINATION lib/modules-load.d)

# resources/render-icons.sh renders the program icon to these sizes.
file(GLOB NUBO_ICONS ${CMAKE_SOURCE_DIR}/resources/hicolor/lumo-*.png)
foreach(icon ${NUBO_ICONS})
    string(REGEX REPLACE ".*lumo-([0-9]+)\\.png$" "\\1" size ${icon})
    install(FILES ${icon} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME ${NUBO_APP_ID}.png)
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/resources/svg/lumo.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps RENAME ${NUBO_APP_ID}.svg)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nubotransmission)
set(CPACK_PACKAGE_CONTACT ${NUBO_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "send folders and files to a computer on the local network")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Nubo文件传输助手 sends folders and files between computers \
on one local network,\nwith no server and no internet connection. Its user interface is in Chinese.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Not linked, so not found by the library scan: a font with Chinese glyphs for the forms, Qt's own
# translations for its dialogs and menus, and the SQLite driver that the records are kept with.
if(NUBO_QT_MAJOR EQUAL 6)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-noto-cjk, qt6-translations-l10n, libqt6sql6-sqlite")
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-noto-cjk, qttranslations5-l10n, libqt5sql5-sqlite")
endif()
set(CPACK_STRIP_FILES ON)
include(CPack)
