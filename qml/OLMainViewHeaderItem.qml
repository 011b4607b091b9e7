// Above the source rows: the output device choice and the list's caption.
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Ondaline

ColumnLayout {
    id: root

    spacing: 10

    RowLayout {
        Layout.fillWidth: true
        Layout.leftMargin: 15
        Layout.rightMargin: 15
        Layout.topMargin: 10
        spacing: 20

        Label {
            text: qsTr("Output device")
        }

        ComboBox {
            id: outputDeviceComboBox
            objectName: "outputDeviceComboBox"
            Layout.fillWidth: true
            model: OLHub.outputDevices
            currentIndex: OLHub.outputDeviceIndex
        }
    }

    Label {
        Layout.alignment: Qt.AlignHCenter
        Layout.bottomMargin: 10
        text: qsTr("Sources")
        font.bold: true
    }

    // The combo box passes through -1 while its model is replaced; the hub
    // would take that for an unplugged device and switch to another one.
    Binding {
        target: OLHub
        property: "outputDeviceIndex"
        value: outputDeviceComboBox.currentIndex
        when: outputDeviceComboBox.currentIndex >= 0
        restoreMode: Binding.RestoreNone
    }
}
