list(APPEND ONDALINE_QML_FILES
    qml/OLApplicationWindow.qml)
