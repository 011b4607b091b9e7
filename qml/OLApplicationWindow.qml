// The root window: login or main view, the tray icon with its menu, and the
// dialogs that the tray, the views and the close button open.
pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQml.Models
import Qt.labs.platform as Platform
import Ondaline

ApplicationWindow {
    id: app

    property alias state: appStates.state
    property bool closing: false

    minimumWidth: 640
    minimumHeight: 480
    width: 720
    height: 540
    visible: true
    title: qsTr("Ondaline")
           + (OLHub.clientUser.stationName !== ""
              ? " - " + OLHub.clientUser.stationName + " " + OLHub.clientUser.city
              : "")

    onClosing: function(close) {
        if (app.state === "login") {
            // Closing while logged out ends the program.
            Qt.quit()
            return
        }
        if (app.closing)
            return
        close.accepted = false
        if (OLHub.showKeepRunningDialog)
            keepRunningDialog.open()
        else
            app.hide()
    }

    StateGroup {
        id: appStates
        state: OLHub.clientUser.isLoggedIn ? "main" : "login"
        states: [
            State { name: "login" },
            State { name: "main" }
        ]
    }

    OLLoginView {
        id: loginView
        anchors.fill: parent
        visible: app.state === "login"
    }

    OLMainView {
        id: mainView
        anchors.fill: parent
        visible: app.state === "main"
    }

    Platform.SystemTrayIcon {
        id: mainTray

        readonly property string title:
            OLHub.clientUser.stationName !== "" && OLHub.clientUser.city !== ""
            ? OLHub.clientUser.stationName + " " + OLHub.clientUser.city
            : qsTr("Ondaline")

        visible: true
        icon.source: "qrc:/images/ondaline.svg"
        icon.name: mainTray.title
        tooltip: mainTray.title

        onActivated: {
            app.show()
            app.raise()
            app.requestActivate()
        }

        menu: Platform.Menu {
            Platform.MenuItem {
                text: mainTray.title
                enabled: false
            }

            Platform.Menu {
                id: outputDevicesMenu
                title: qsTr("Output device")
                enabled: app.state === "main" && outputDevicesInstantiator.count > 0

                Instantiator {
                    id: outputDevicesInstantiator
                    model: OLHub.outputDevices
                    delegate: Platform.MenuItem {
                        required property int index
                        required property string modelData

                        text: modelData
                        checkable: true
                        checked: OLHub.outputDeviceIndex === index
                        onTriggered: {
                            OLHub.outputDeviceIndex = index
                            // Triggering toggles the check itself; the hub's
                            // index alone decides it.
                            checked = Qt.binding(() => OLHub.outputDeviceIndex === index)
                        }
                    }
                    onObjectAdded: (index, object) => outputDevicesMenu.insertItem(index, object)
                    onObjectRemoved: (index, object) => outputDevicesMenu.removeItem(object)
                }
            }

            Platform.MenuItem {
                text: qsTr("Silence detection settings")
                enabled: app.state === "main"
                onTriggered: silenceDetectionSettingsDialog.open()
            }

            Platform.MenuSeparator {}

            Platform.MenuItem {
                text: OLHub.clientUser.username !== "" ? OLHub.clientUser.username : qsTr("Username")
                enabled: false
            }

            Platform.MenuItem {
                text: qsTr("Logout")
                enabled: app.state === "main"
                onTriggered: logoutDialog.open()
            }

            Platform.MenuSeparator {}

            Platform.MenuItem {
                text: qsTr("About")
                onTriggered: aboutDialog.open()
            }

            Platform.MenuItem {
                text: qsTr("Close")
                onTriggered: quitDialog.open()
            }
        }
    }

    OLConfirmationDialog {
        id: logoutDialog
        title: qsTr("Logout")
        informationText: qsTr("Are you sure?")
        onAccepted: OLHub.clientUser.logout()
    }

    OLConfirmationDialog {
        id: quitDialog
        title: qsTr("Close")
        informationText: qsTr("Are you sure?")
        onAccepted: {
            app.closing = true
            Qt.quit()
        }
    }

    OLKeepRunningDialog {
        id: keepRunningDialog
        onAccepted: app.hide()
    }

    OLAboutDialog {
        id: aboutDialog
    }

    OLSilenceDetectionSettingsDialog {
        id: silenceDetectionSettingsDialog
    }
}
