list(APPEND ONDALINE_QML_FILES
    qml/OLApplicationWindow.qml
    qml/OLLoginView.qml
    qml/OLMainView.qml
    qml/OLMainViewHeaderItem.qml
    qml/OLSourceDelegateItem.qml
    qml/OLIndicator.qml
    qml/OLLevelIndicatorItem.qml
    qml/OLConfirmationDialog.qml
    qml/OLKeepRunningDialog.qml
    qml/OLAboutDialog.qml
    qml/OLSilenceDetectionSettingsDialog.qml
    qml/OLSilenceDetectionSettingsSpinBox.qml)
