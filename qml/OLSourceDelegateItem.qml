// One row of the source list: what the source plays, its three states with
// their durations, its level and volume, and the buttons that act on it.
import QtQuick
import QtQuick.Controls
import Ondaline

Item {
    id: root

    required property var model
    required property int index

    readonly property bool isRecordDevice: root.model.isRecordDevice === true
    readonly property string streamUrl: String(root.model.streamUrl ?? "")
    // Bound to the hub; tests hand in lists of their own.
    property var recordDevices: OLHub.recordDevices
    property int sourceCount: OLHub.sources.count

    // Levels and durations change many times a second in every source. The
    // row reads them when the owner's shared `tick` changes, so that all
    // rows change in one frame a few times a second and not at all while
    // nothing ticks, and when one of its states changes. Durations are
    // kept to the second they show, so their text changes once a second.
    property int tick: 0
    property real avgLevel: 0
    property real avgLevelDb: -Infinity
    property real activityDurationMs: 0
    property real connectionDurationMs: 0
    property real soundDurationMs: 0

    // Only recording sources may be deleted; the owner asks first.
    signal deleteRequested(int index)

    function wholeSeconds(ms) {
        return Math.trunc((Number(ms) || 0) / 1000) * 1000
    }

    function sample() {
        const source = root.model
        root.avgLevel = Number(source.avgLevel) || 0
        root.avgLevelDb = source.avgLevelDb ?? -Infinity
        root.activityDurationMs = root.wholeSeconds(source.activityDurationMs)
        root.connectionDurationMs = root.wholeSeconds(source.connectionDurationMs)
        root.soundDurationMs = root.wholeSeconds(source.soundDurationMs)
    }

    onTickChanged: root.sample()
    Component.onCompleted: root.sample()

    function play(streamUrl) {
        OLHub.play(root.index, streamUrl)
    }

    function restart() {
        OLHub.restart(root.index)
    }

    // The URL as the operator may see it: without user name and password.
    function maskedUrl(text) {
        if (!text)
            return ""
        let url
        try {
            url = new URL(text)
        } catch (e) {
            return ""
        }
        url.username = ""
        url.password = ""
        // Clearing the user info leaves its "@" behind the "//"; an "@" in
        // the path or query is part of the address and stays.
        return url.toString().replace(/^([A-Za-z][A-Za-z0-9+.-]*:\/\/)@/, "$1")
    }

    function decodedUrl(text) {
        try {
            return decodeURIComponent(text)
        } catch (e) {
            return text
        }
    }

    // Position of the device whose URL is `url`, or -1.
    function deviceIndex(devices, url) {
        if (!devices)
            return -1
        for (let i = 0; i < devices.length; ++i) {
            if (devices[i].streamUrl === url)
                return i
        }
        return -1
    }

    width: ListView.view ? ListView.view.width : implicitWidth
    height: 100

    Column {
        anchors.left: parent.left
        anchors.leftMargin: 15
        anchors.right: sourceButtons.left
        anchors.rightMargin: 10
        anchors.verticalCenter: parent.verticalCenter
        spacing: 4

        TextField {
            objectName: "urlField"
            width: parent.width
            visible: !root.isRecordDevice
            readOnly: true
            text: root.maskedUrl(root.streamUrl)
        }

        ComboBox {
            id: recordDeviceComboBox
            objectName: "recordDeviceComboBox"

            readonly property string currentUrl: root.decodedUrl(root.streamUrl)
            // The selection kept while the list is replaced (which resets
            // the combo box) and the row's device is not in the new list.
            property int keptIndex: -1

            function selectCurrentDevice() {
                const found = root.deviceIndex(root.recordDevices, currentUrl)
                if (found >= 0)
                    currentIndex = found
                else if (keptIndex >= 0 && keptIndex < count && currentIndex !== keptIndex)
                    currentIndex = keptIndex
                keptIndex = currentIndex
            }

            width: parent.width
            visible: root.isRecordDevice
            model: root.recordDevices
            textRole: "name"
            valueRole: "streamUrl"

            onCurrentUrlChanged: selectCurrentDevice()
            onCountChanged: selectCurrentDevice()
            onModelChanged: selectCurrentDevice()
            Component.onCompleted: selectCurrentDevice()
            onActivated: index => {
                keptIndex = index
                root.play(valueAt(index))
            }
        }

        OLIndicator {
            objectName: "activityIndicator"
            isActive: root.model.isActive === true
            inactiveColor: "gray"
            text: (isActive ? qsTr("Playing") : qsTr("Not playing")) + " "
                  + formatDuration(root.activityDurationMs)
            onIsActiveChanged: root.sample()
        }

        OLIndicator {
            objectName: "connectionIndicator"
            isActive: root.model.isConnected === true
            text: (isActive ? qsTr("Conected") : qsTr("Disconnected")) + " "
                  + formatDuration(root.connectionDurationMs)
            onIsActiveChanged: root.sample()
        }

        OLIndicator {
            objectName: "soundIndicator"
            isActive: root.model.isSilentSound !== true
            text: (isActive ? qsTr("Sound") : qsTr("Silent")) + " "
                  + formatDuration(root.soundDurationMs)
            onIsActiveChanged: root.sample()
        }
    }

    Column {
        id: sourceButtons
        anchors.right: volumePart.left
        anchors.rightMargin: 10
        anchors.verticalCenter: parent.verticalCenter
        spacing: 20

        RoundButton {
            objectName: "restartButton"
            width: 40
            height: 40
            text: "\u23F5"
            onClicked: {
                forceActiveFocus()
                root.restart()
            }
        }

        RoundButton {
            objectName: "deleteButton"
            width: 40
            height: 40
            text: "\u232B"
            palette.button: "#fce1e4"
            enabled: root.isRecordDevice
            onClicked: root.deleteRequested(root.index)
        }
    }

    Item {
        id: volumePart
        anchors.right: moveButtons.left
        anchors.rightMargin: 10
        anchors.top: parent.top
        anchors.bottom: parent.bottom
        width: volumeSpinBox.width

        OLLevelIndicatorItem {
            objectName: "levelIndicator"
            anchors.top: parent.top
            width: parent.width
            height: 30
            isConnected: root.model.isConnected === true
            isActive: root.model.isActive === true
            isStalled: root.model.isStalled === true
            isSilentSoundByLevel: root.model.isSilentSoundByLevel === true
            avgLevel: root.avgLevel
            avgLevelDb: root.avgLevelDb
        }

        Column {
            anchors.bottom: parent.bottom
            anchors.horizontalCenter: parent.horizontalCenter
            spacing: 4

            Label {
                anchors.horizontalCenter: parent.horizontalCenter
                text: qsTr("Volume level %")
                color: "gray"
            }

            SpinBox {
                id: volumeSpinBox
                objectName: "volumeSpinBox"
                editable: true
                from: 0
                to: 200
                value: Math.round(root.model.volumeLevel * 100)
            }
        }
    }

    Column {
        id: moveButtons
        anchors.right: parent.right
        anchors.rightMargin: 15
        anchors.verticalCenter: parent.verticalCenter
        spacing: 20

        RoundButton {
            objectName: "upButton"
            width: 40
            height: 40
            text: "\u2191"
            enabled: root.index !== 0
            onClicked: OLHub.moveSource(root.index, root.index - 1)
        }

        RoundButton {
            objectName: "downButton"
            width: 40
            height: 40
            text: "\u2193"
            enabled: root.index < root.sourceCount - 1
            onClicked: OLHub.moveSource(root.index, root.index + 1)
        }
    }

    // Also writes back at once a stored level that the spin box rounded or
    // clamped.
    Binding {
        target: root.model
        property: "volumeLevel"
        value: volumeSpinBox.value / 100
        restoreMode: Binding.RestoreNone
    }
}
