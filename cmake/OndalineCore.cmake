# The program's classes, its QML module and its resources, as one static
# library shared by the executable and the tests. Each subsystem lists its
# own files in src/<subsystem>/sources.cmake.
set(ONDALINE_CORE_SOURCES)
set(ONDALINE_QML_FILES)
foreach(part app hub source client models player)
    include(${CMAKE_CURRENT_SOURCE_DIR}/src/${part}/sources.cmake)
endforeach()
include(${CMAKE_CURRENT_SOURCE_DIR}/qml/qmlfiles.cmake)

# The version is written once, in project(); the build identity header, the
# Windows resource script and the manifest are made from it.
math(EXPR ONDALINE_VERSION_CODE
     "${PROJECT_VERSION_MAJOR} * 100000 + ${PROJECT_VERSION_MINOR} * 1000 + ${PROJECT_VERSION_PATCH} * 10")
set(ONDALINE_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
set(ONDALINE_ICON ${CMAKE_CURRENT_SOURCE_DIR}/src/app/ondaline.ico)
foreach(file buildidentity.h ondaline.rc ondaline.manifest)
    configure_file(src/app/${file}.in ${ONDALINE_GENERATED_DIR}/${file} @ONLY)
endforeach()
list(APPEND ONDALINE_CORE_SOURCES ${ONDALINE_GENERATED_DIR}/buildidentity.h)

qt_add_library(ondaline_core STATIC ${ONDALINE_CORE_SOURCES})
target_include_directories(ondaline_core PUBLIC
    ${ONDALINE_GENERATED_DIR}
    ${CMAKE_CURRENT_SOURCE_DIR}/src
    ${CMAKE_CURRENT_SOURCE_DIR}/src/app
    ${CMAKE_CURRENT_SOURCE_DIR}/src/hub
    ${CMAKE_CURRENT_SOURCE_DIR}/src/source
    ${CMAKE_CURRENT_SOURCE_DIR}/src/client
    ${CMAKE_CURRENT_SOURCE_DIR}/src/models
    ${CMAKE_CURRENT_SOURCE_DIR}/src/player)
target_compile_definitions(ondaline_core PUBLIC
    ONDALINE_VERSION="${PROJECT_VERSION}"
    ONDALINE_SERVICE_URL="${ONDALINE_SERVICE_URL}"
    QT_NO_MESSAGELOGCONTEXT
    QT_NO_URL_CAST_FROM_STRING
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT)
target_link_libraries(ondaline_core PUBLIC
    Qt6::Core Qt6::Gui Qt6::Widgets Qt6::Network Qt6::Qml Qt6::Quick
    Qt6::QuickControls2 Qt6::Multimedia PkgConfig::FFMPEG)

qt_add_qml_module(ondaline_core
    URI Ondaline
    VERSION 1.0
    RESOURCE_PREFIX /qt/qml
    OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/Ondaline
    QML_FILES ${ONDALINE_QML_FILES}
)

set_source_files_properties(qml/qtquickcontrols2.conf PROPERTIES QT_RESOURCE_ALIAS qtquickcontrols2.conf)
qt_add_resources(ondaline_core "ondaline_assets"
    PREFIX "/"
    FILES images/ondaline.svg qml/qtquickcontrols2.conf)

set(ONDALINE_TS_FILES)
foreach(lang en ru)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/translations/ondaline_${lang}.ts)
        list(APPEND ONDALINE_TS_FILES translations/ondaline_${lang}.ts)
    endif()
endforeach()
if(ONDALINE_TS_FILES)
    qt_add_translations(ondaline_core
        TS_FILES ${ONDALINE_TS_FILES}
        RESOURCE_PREFIX /translations
        LUPDATE_OPTIONS -no-obsolete -locations none)
endif()
