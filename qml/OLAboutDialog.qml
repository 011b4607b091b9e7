// Program identity, a newer build if offered, and the log retention and
// language settings.
import QtQuick
import QtQuick.Controls
import Ondaline

Dialog {
    id: root

    function escapeHtml(text) {
        return String(text).replace(/&/g, "&amp;").replace(/</g, "&lt;")
                           .replace(/>/g, "&gt;").replace(/"/g, "&quot;")
    }

    parent: Overlay.overlay
    x: (parent.width - width) / 2
    y: (parent.height - height) / 2
    modal: true
    title: qsTr("About")
    standardButtons: Dialog.Ok

    Column {
        anchors.centerIn: parent
        spacing: 12

        Image {
            anchors.horizontalCenter: parent.horizontalCenter
            width: 100
            height: 100
            sourceSize.width: 200
            sourceSize.height: 200
            fillMode: Image.PreserveAspectFit
            source: "qrc:/images/ondaline.svg"
        }

        Label {
            anchors.horizontalCenter: parent.horizontalCenter
            text: qsTr("Ondaline") + " v" + Qt.application.version
            font.pixelSize: 16
            font.bold: true
        }

        Label {
            anchors.horizontalCenter: parent.horizontalCenter
            visible: OLHub.clientUser.newVersionUrl !== ""
            textFormat: Text.RichText
            text: "<a href=\"" + root.escapeHtml(OLHub.clientUser.newVersionUrl) + "\">"
                  + qsTr("Download new version") + " v"
                  + root.escapeHtml(OLHub.clientUser.newVersion) + "</a>"
            onLinkActivated: link => Qt.openUrlExternally(link)
        }

        Label {
            anchors.horizontalCenter: parent.horizontalCenter
            width: 340
            wrapMode: Text.WordWrap
            horizontalAlignment: Text.AlignHCenter
            text: qsTr("Application for organizing backup Internet broadcasting of radio stations of the Veltamedia")
        }

        Row {
            anchors.right: parent.right
            spacing: 10

            Label {
                anchors.verticalCenter: parent.verticalCenter
                text: qsTr("Logs storage period (days)")
            }

            SpinBox {
                id: logsStoreDaysSpinBox
                objectName: "logsStoreDaysSpinBox"
                editable: true
                from: OLHub.settingRanges.logsStoreDays.from
                to: OLHub.settingRanges.logsStoreDays.to
                value: OLHub.logsStoreDays
            }
        }

        Row {
            anchors.right: parent.right
            spacing: 10

            Label {
                anchors.verticalCenter: parent.verticalCenter
                text: qsTr("Language")
            }

            ComboBox {
                id: languageComboBox
                objectName: "languageComboBox"
                model: ["system", "ru", "en"]
                Component.onCompleted: currentIndex = find(OLHub.language)
                onActivated: OLHub.language = currentText
            }
        }

        Label {
            height: 28
            verticalAlignment: Text.AlignVCenter
            font.pixelSize: 14
            textFormat: Text.RichText
            text: qsTr("Developed by order of: <a href=\"https://veltamedia.example/\">Вельтамедиа</a>")
            onLinkActivated: link => Qt.openUrlExternally(link)
        }

        Label {
            height: 28
            verticalAlignment: Text.AlignVCenter
            font.pixelSize: 14
            textFormat: Text.RichText
            text: qsTr("Developer: <a href=\"https://tarnwell.example/\">Tarnwell</a>")
            onLinkActivated: link => Qt.openUrlExternally(link)
        }
    }

    // Also writes back the clamped value of an out-of-range stored setting.
    Binding {
        target: OLHub
        property: "logsStoreDays"
        value: logsStoreDaysSpinBox.value
    }
}
