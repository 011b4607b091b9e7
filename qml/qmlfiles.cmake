list(APPEND ONDALINE_QML_FILES
    qml/OLApplicationWindow.qml
    qml/OLLoginView.qml
    qml/OLConfirmationDialog.qml
    qml/OLKeepRunningDialog.qml
    qml/OLAboutDialog.qml
    qml/OLSilenceDetectionSettingsDialog.qml
    qml/OLSilenceDetectionSettingsSpinBox.qml)
