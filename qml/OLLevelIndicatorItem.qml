// The level bar of a source: its running mean level, red while it counts as
// silent, and a busy strip instead while it is not connected.
import QtQuick
import QtQuick.Controls

Rectangle {
    id: root

    property bool isConnected: false
    property bool isActive: false
    property bool isStalled: false
    property bool isSilentSoundByLevel: false
    property real avgLevel: 0
    property real avgLevelDb: -Infinity

    // A stalled source has no level worth calling silence.
    readonly property bool showsSilence: !root.isStalled && root.isSilentSoundByLevel

    // Above full scale (volume over 100 %) the bar is simply full.
    function fillFraction(level) {
        return Math.max(0, Math.min(Number(level) || 0, 1.0))
    }

    function levelText(db) {
        return isFinite(db) ? Number(db).toFixed(2) + " " + qsTr("dB") : ""
    }

    border.color: "black"
    border.width: 1

    Rectangle {
        id: bar
        objectName: "levelBar"
        x: 1
        y: 1
        // Whole pixels: a change of a fraction of one is not seen, and
        // would still cost a frame.
        width: Math.round((root.width - 2) * root.fillFraction(root.avgLevel))
        height: root.height - 2
        color: root.showsSilence ? "red" : root.isActive ? "#0064fa" : "gray"
    }

    ProgressBar {
        objectName: "connectingBar"
        anchors.fill: parent
        anchors.margins: 1
        indeterminate: true
        visible: !root.isConnected
    }

    Label {
        objectName: "levelLabel"
        anchors.centerIn: parent
        visible: root.isConnected
        text: root.levelText(root.avgLevelDb)
        color: root.showsSilence ? "red" : "black"
        font.bold: root.showsSilence
    }
}
