// What the operator sees while logged in: the station and the global
// actions on the left, the sources on the right. The window provides the
// dialogs logoutDialog, silenceDetectionSettingsDialog and aboutDialog.
import QtQuick
import QtQuick.Controls
import Ondaline

Item {
    id: root

    // Counts the beats of rowTicker below.
    property int tick: 0

    function escapeHtml(text) {
        return String(text).replace(/&/g, "&amp;").replace(/</g, "&lt;")
                           .replace(/>/g, "&gt;").replace(/"/g, "&quot;")
    }

    // The rows' shared beat: a few times a second while the operator can
    // see the list, never while the view is hidden or the window is closed
    // to the tray or minimised. It beats at once when it starts again.
    Timer {
        id: rowTicker
        objectName: "rowTicker"
        interval: 250
        repeat: true
        triggeredOnStart: true
        running: root.visible && root.Window.visibility !== Window.Hidden
                 && root.Window.visibility !== Window.Minimized
        onTriggered: root.tick++
    }

    OLConfirmationDialog {
        id: deleteSourceDialog
        objectName: "deleteSourceDialog"

        property int deleteSourceIndex: 0

        title: qsTr("Delete source")
        informationText: qsTr("Are you sure?")
        onAccepted: OLHub.deleteSource(deleteSourceIndex)
        onRejected: close()
    }

    Rectangle {
        id: sidePanel
        anchors.left: parent.left
        anchors.top: parent.top
        anchors.bottom: parent.bottom
        width: 200
        color: "#f5f5f5"

        Item {
            id: logos
            anchors.top: parent.top
            anchors.topMargin: 10
            anchors.horizontalCenter: parent.horizontalCenter
            width: 100
            height: 100

            Image {
                objectName: "defaultLogo"
                anchors.fill: parent
                sourceSize.width: 200
                sourceSize.height: 200
                fillMode: Image.PreserveAspectFit
                source: "qrc:/images/ondaline.svg"
                opacity: stationLogo.status === Image.Ready ? 0 : 1
                Behavior on opacity { NumberAnimation { duration: 500 } }
            }

            Image {
                id: stationLogo
                objectName: "stationLogo"
                anchors.fill: parent
                sourceSize.width: 200
                sourceSize.height: 200
                fillMode: Image.PreserveAspectFit
                source: OLHub.clientUser.stationLogoUrl
                opacity: status === Image.Ready ? 1 : 0
                Behavior on opacity { NumberAnimation { duration: 500 } }
            }
        }

        Column {
            anchors.top: logos.bottom
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.margins: 10
            spacing: 2

            Label {
                width: parent.width
                horizontalAlignment: Text.AlignHCenter
                font.bold: true
                text: qsTr("Station")
            }
            Label {
                width: parent.width
                horizontalAlignment: Text.AlignHCenter
                elide: Text.ElideRight
                text: OLHub.clientUser.stationName
            }
            Item { width: 1; height: 8 }
            Label {
                width: parent.width
                horizontalAlignment: Text.AlignHCenter
                font.bold: true
                text: qsTr("City")
            }
            Label {
                width: parent.width
                horizontalAlignment: Text.AlignHCenter
                elide: Text.ElideRight
                text: OLHub.clientUser.city
            }
            Item { width: 1; height: 8 }
            Label {
                width: parent.width
                horizontalAlignment: Text.AlignHCenter
                font.bold: true
                text: qsTr("Username")
            }
            Label {
                width: parent.width
                horizontalAlignment: Text.AlignHCenter
                elide: Text.ElideRight
                text: OLHub.clientUser.username
            }
            Item { width: 1; height: 8 }
            Button {
                objectName: "logoutButton"
                width: parent.width
                text: qsTr("Logout")
                palette.button: "#fce1e4"
                onClicked: logoutDialog.open()
            }
        }

        Column {
            anchors.bottom: parent.bottom
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.margins: 10
            spacing: 4

            Label {
                objectName: "newVersionLabel"
                width: parent.width
                height: 24
                horizontalAlignment: Text.AlignHCenter
                verticalAlignment: Text.AlignVCenter
                visible: OLHub.clientUser.newVersionUrl !== ""
                textFormat: Text.RichText
                text: "<a href=\"" + root.escapeHtml(OLHub.clientUser.newVersionUrl) + "\">"
                      + qsTr("Download new version") + " v"
                      + root.escapeHtml(OLHub.clientUser.newVersion) + "</a>"
                onLinkActivated: link => Qt.openUrlExternally(link)
            }
            Button {
                objectName: "addRecordSourceButton"
                width: parent.width
                text: qsTr("Add recording source")
                palette.button: "#ddedea"
                onClicked: OLHub.addNewRecordSource()
            }
            Button {
                width: parent.width
                text: qsTr("Silence detection settings")
                onClicked: silenceDetectionSettingsDialog.open()
            }
            Button {
                width: parent.width
                text: qsTr("About")
                onClicked: aboutDialog.open()
            }
        }
    }

    ListView {
        id: sourcesView
        objectName: "sourcesView"
        anchors.left: sidePanel.right
        anchors.right: parent.right
        anchors.top: parent.top
        anchors.bottom: parent.bottom
        boundsBehavior: Flickable.StopAtBounds
        spacing: 20
        clip: true
        ScrollBar.vertical: ScrollBar {}
        model: OLHub.sources

        header: OLMainViewHeaderItem {
            width: ListView.view.width
        }
        delegate: OLSourceDelegateItem {
            tick: root.tick
            onDeleteRequested: index => {
                deleteSourceDialog.deleteSourceIndex = index
                deleteSourceDialog.open()
            }
        }
        footer: Item {
            width: ListView.view.width
            height: 15
        }
    }
}
