// Tells the operator that closing the window leaves the program running.
import QtQuick
import QtQuick.Controls
import Ondaline

Dialog {
    id: root

    parent: Overlay.overlay
    x: (parent.width - width) / 2
    y: (parent.height - height) / 2
    modal: true
    title: qsTr("Information")
    standardButtons: Dialog.Ok

    Column {
        spacing: 12

        Label {
            id: informationLabel
            text: qsTr("Ondaline will keep running in background")
        }

        CheckBox {
            id: showKeepRunningDialog
            text: qsTr("Do not show again")
            checked: !OLHub.showKeepRunningDialog
        }
    }

    // Stored at once, before the notice is confirmed.
    Binding {
        target: OLHub
        property: "showKeepRunningDialog"
        value: !showKeepRunningDialog.checked
    }
}
