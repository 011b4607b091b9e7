# Install rules and packages (CPack): a .deb on Linux. Only the program is
# installed; its QML, images and translations are compiled in. Tests and
# tools stay in the build tree.
#
# Ondaline keeps its settings, lock and daily logs in its working directory,
# so an installed program must not run in the install folder. Started from a
# terminal it runs where the operator is; the menu entry goes through a
# small launcher that changes to the user's own data directory first,
# creating it when missing.
include(GNUInstallDirs)

install(TARGETS ondaline RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(UNIX AND NOT APPLE)
    # The launcher and the menu entry name installed paths, so they are made
    # at install time, when the prefix is known (cpack installs under /usr,
    # whatever the build was configured with).
    set(_generated ${CMAKE_CURRENT_BINARY_DIR}/packaging)
    install(CODE "
        set(ONDALINE_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/ondaline\")
        set(ONDALINE_LAUNCHER \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBEXECDIR}/ondaline/ondaline-launcher\")
        configure_file([[${PROJECT_SOURCE_DIR}/packaging/linux/ondaline-launcher.in]]
                       [[${_generated}/ondaline-launcher]] @ONLY)
        configure_file([[${PROJECT_SOURCE_DIR}/packaging/linux/ondaline.desktop.in]]
                       [[${_generated}/ondaline.desktop]] @ONLY)
    ")
    install(PROGRAMS ${_generated}/ondaline-launcher DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/ondaline)
    install(FILES ${_generated}/ondaline.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${PROJECT_SOURCE_DIR}/images/ondaline.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

set(CPACK_PACKAGE_NAME Ondaline)
set(CPACK_PACKAGE_VENDOR Veltam)
set(CPACK_PACKAGE_CONTACT "Veltam <ondaline@ondaline.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Backup internet broadcasting for a radio station")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Ondaline keeps a radio station on air over the internet when the main\n"
    "chain fails. It plays every stream that the station's web service\n"
    "assigns, plus local recording devices, and sends the first one that is\n"
    "connected and not silent to the output device.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY Ondaline)
set(CPACK_STRIP_FILES ON)

if(UNIX AND NOT APPLE)
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_PACKAGE_NAME ondaline)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION sound)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    # The libraries the executable links come from dpkg-shlibdeps. What Qt
    # loads at run time is listed: the QML modules the interface imports,
    # the SVG image and icon plugins for the logo and the tray icon. The
    # compiled QML uses Qt Qml's private interface, tied to its exact version.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(_qml_modules qtqml qtqml-models qtqml-workerscript qtquick qtquick-window qtquick-controls
        qtquick-templates qtquick-layouts qt-labs-platform)
    list(TRANSFORM _qml_modules PREPEND qml6-module-)
    list(APPEND _qml_modules libqt6svg6 "qt6-declarative-abi (= ${Qt6Qml_VERSION})")
    list(JOIN _qml_modules ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
endif()

include(CPack)
