// A coloured dot and a one-line state text beside it.
import QtQuick
import QtQuick.Controls

Item {
    id: root

    property alias text: label.text
    property bool isActive: false
    property color activeColor: "green"
    property color inactiveColor: "red"

    // "1d 1h 1min 1sec"; days only when there are any. The sign is dropped.
    function formatDuration(ms) {
        const value = Math.abs(Number(ms)) || 0
        const days = Math.floor(value / 86400000)
        const hours = Math.floor(value / 3600000) % 24
        const minutes = Math.floor(value / 60000) % 60
        const seconds = Math.floor(value / 1000) % 60
        const dayText = days !== 0 ? days + qsTr("d") + " " : ""
        return dayText + hours + qsTr("h") + " " + minutes + qsTr("min") + " " + seconds + qsTr("sec")
    }

    width: parent ? parent.width : implicitWidth
    implicitWidth: dot.width + 4 + label.implicitWidth
    implicitHeight: Math.max(dot.height, label.implicitHeight)

    Rectangle {
        id: dot
        anchors.left: parent.left
        anchors.verticalCenter: parent.verticalCenter
        width: 12
        height: 12
        radius: 12
        color: root.isActive ? root.activeColor : root.inactiveColor
    }

    Label {
        id: label
        anchors.left: dot.right
        anchors.leftMargin: 4
        anchors.right: parent.right
        anchors.verticalCenter: parent.verticalCenter
        clip: true
        elide: Text.ElideRight
    }
}
