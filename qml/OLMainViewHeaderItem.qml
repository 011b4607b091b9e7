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

            // Only the operator's choice goes to the hub. A combo box resets its
            // index whenever its list is replaced; written back, that reset would
            // switch the station to the default device at every device change.
            onActivated: (index) => { OLHub.outputDeviceIndex = index }

            function showHubChoice() {
                currentIndex = OLHub.outputDeviceIndex
            }

            Connections {
                target: OLHub
                function onOutputDevicesChanged() { Qt.callLater(outputDeviceComboBox.showHubChoice) }
                function onOutputDeviceIndexChanged() { outputDeviceComboBox.showHubChoice() }
            }
        }
    }

    Label {
        Layout.alignment: Qt.AlignHCenter
        Layout.bottomMargin: 10
        text: qsTr("Sources")
        font.bold: true
    }
}
