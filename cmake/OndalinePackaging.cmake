# Install rules and packages (CPack): a .deb on Linux, a ZIP and an NSIS
# installer on Windows. Only the program is installed; its QML, images and
# translations are compiled in. Tests and tools stay in the build tree.
#
# Ondaline keeps its settings, lock and daily logs in its working directory,
# so an installed program must not run in the install folder. Started from a
# terminal it runs where the operator is; the menu entry (Linux) and the
# Start-menu shortcut (Windows) go through a small launcher that changes to
# the user's own data directory first, creating it when missing.
include(GNUInstallDirs)

if(WIN32)
    install(TARGETS ondaline RUNTIME_DEPENDENCY_SET ondaline_dlls RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
else()
    install(TARGETS ondaline RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

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

if(WIN32)
    add_executable(ondaline_start WIN32 packaging/windows/ondaline-start.cpp)
    set_target_properties(ondaline_start PROPERTIES OUTPUT_NAME OndalineStart)
    target_link_libraries(ondaline_start PRIVATE shell32 ole32 uuid user32)
    install(TARGETS ondaline_start RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

    set(CMAKE_INSTALL_SYSTEM_RUNTIME_DESTINATION ${CMAKE_INSTALL_BINDIR})
    include(InstallRequiredSystemLibraries)

    # Qt's own libraries, plugins and QML modules (windeployqt). The script
    # needs Qt 6.5; Debian 12's Qt 6.4 never gets here.
    if(Qt6_VERSION VERSION_GREATER_EQUAL 6.5)
        # Our QML module is linked in statically: scan its sources for the
        # Qt modules it imports.
        set_property(TARGET ondaline PROPERTY QT_QML_ROOT_PATH ${PROJECT_SOURCE_DIR}/qml)
        qt_generate_deploy_qml_app_script(
            TARGET ondaline
            OUTPUT_SCRIPT _ondaline_deploy_script
            NO_UNSUPPORTED_PLATFORM_ERROR)
        install(SCRIPT ${_ondaline_deploy_script})
    else()
        message(WARNING "Deploying on Windows needs Qt 6.5 or later: the install tree lacks Qt")
    endif()

    # FFmpeg's DLLs and what they need, after Qt's: where Qt Multimedia
    # brings FFmpeg DLLs of the same names, ours (with https) must win.
    set(_ffmpeg_dll_dirs)
    foreach(dir IN LISTS FFMPEG_LIBRARY_DIRS)
        list(APPEND _ffmpeg_dll_dirs "${dir}/../bin")
    endforeach()
    install(RUNTIME_DEPENDENCY_SET ondaline_dlls
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        DIRECTORIES ${_ffmpeg_dll_dirs}
        PRE_EXCLUDE_REGEXES "^[Aa][Pp][Ii]-[Mm][Ss]-" "^[Ee][Xx][Tt]-[Mm][Ss]-" "^[Qq][Tt]6"
        POST_EXCLUDE_REGEXES ".*[Ss][Yy][Ss][Tt][Ee][Mm]32/.*")
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
# What is set here is what the generators get: no second round of escaping
# for the NSIS commands below.
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_STRIP_FILES ON)

if(WIN32)
    set(CPACK_GENERATOR ZIP NSIS)
    set(CPACK_NSIS_PACKAGE_NAME Ondaline)
    set(CPACK_NSIS_DISPLAY_NAME Ondaline)
    set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/src/app/ondaline.ico)
    set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/src/app/ondaline.ico)
    set(CPACK_NSIS_INSTALLED_ICON_NAME "bin\\Ondaline.exe")
    set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
    # No CPACK_PACKAGE_EXECUTABLES: its shortcut would start the program in
    # the install folder. Ours starts the launcher, with the program's icon.
    set(CPACK_NSIS_CREATE_ICONS_EXTRA
        "CreateShortCut \"$SMPROGRAMS\\$STARTMENU_FOLDER\\Ondaline.lnk\" \"$INSTDIR\\bin\\OndalineStart.exe\" \"\" \"$INSTDIR\\bin\\Ondaline.exe\" 0")
    set(CPACK_NSIS_DELETE_ICONS_EXTRA "Delete \"$SMPROGRAMS\\$MUI_TEMP\\Ondaline.lnk\"")
else()
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
    # The source rows' play mark (U+23F5) is in few fonts; apt installs
    # recommended packages unless told otherwise.
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-symbola)
endif()

include(CPack)
