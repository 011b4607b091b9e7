// The form shown while nobody is logged in.
import QtQuick
import QtQuick.Controls
import Ondaline

Item {
    id: loginView

    function login() {
        loginButton.forceActiveFocus()
        if (usernameTextField.text === "") {
            showMessage(qsTr("Username required"))
            usernameTextField.forceActiveFocus()
            return
        }
        if (passwordTextField.text === "" && OLHub.clientUser.sid === "") {
            showMessage(qsTr("Password required"))
            passwordTextField.forceActiveFocus()
            return
        }
        OLHub.clientUser.login(usernameTextField.text, passwordTextField.text)
    }

    function showMessage(message) {
        loginTooltip.text = message
        loginTooltip.open()
    }

    function escapeHtml(text) {
        return String(text).replace(/&/g, "&amp;").replace(/</g, "&lt;")
                           .replace(/>/g, "&gt;").replace(/"/g, "&quot;")
    }

    function focusInput() {
        if (OLHub.clientUser.username === "")
            usernameTextField.forceActiveFocus()
        else
            passwordTextField.forceActiveFocus()
    }

    Component.onCompleted: focusInput()
    // A hidden field that keeps the focus blinks its cursor, and so keeps
    // the window drawing, for as long as the operator is logged in.
    onVisibleChanged: {
        if (visible) {
            focusInput()
        } else {
            usernameTextField.focus = false
            passwordTextField.focus = false
        }
    }

    Connections {
        target: OLHub.clientUser
        function onAuthError() {
            loginView.showMessage(qsTr("Authentication error"))
        }
    }

    Column {
        anchors.centerIn: parent

        Image {
            anchors.horizontalCenter: parent.horizontalCenter
            width: 100
            height: 120
            sourceSize.width: 200
            sourceSize.height: 240
            fillMode: Image.PreserveAspectFit
            source: "qrc:/images/ondaline.svg"
        }

        BusyIndicator {
            anchors.horizontalCenter: parent.horizontalCenter
            height: loginColumn.height
            width: height
            visible: OLHub.clientUser.isProcessingPlayerRequest
            running: visible
        }

        Column {
            id: loginColumn
            objectName: "loginColumn"
            visible: !OLHub.clientUser.isProcessingPlayerRequest
            spacing: 4

            Label {
                text: qsTr("Username")
                font.pixelSize: 14
            }

            TextField {
                id: usernameTextField
                objectName: "usernameTextField"
                width: 260
                text: OLHub.clientUser.username
                onAccepted: loginView.login()
            }

            Label {
                text: qsTr("Password")
                font.pixelSize: 14
            }

            TextField {
                id: passwordTextField
                objectName: "passwordTextField"
                width: 260
                echoMode: TextInput.Password
                onAccepted: loginView.login()
            }

            Item {
                anchors.horizontalCenter: parent.horizontalCenter
                width: 10
                height: 32

                ToolTip {
                    id: loginTooltip
                    objectName: "loginTooltip"
                    x: (parent.width - width) / 2
                    y: (parent.height - height) / 2
                    timeout: 3000
                    background: Item {}
                    contentItem: Text {
                        text: loginTooltip.text
                        font: loginTooltip.font
                        color: "red"
                    }
                }
            }

            Button {
                id: loginButton
                objectName: "loginButton"
                anchors.horizontalCenter: parent.horizontalCenter
                text: qsTr("Login")
                onClicked: loginView.login()
            }
        }
    }

    // Every edit of the field goes to the client at once.
    Binding {
        target: OLHub.clientUser
        property: "username"
        value: usernameTextField.text
    }

    Column {
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        anchors.margins: 10
        spacing: 8

        Label {
            anchors.right: parent.right
            visible: OLHub.clientUser.newVersionUrl !== ""
            textFormat: Text.RichText
            text: "<a href=\"" + loginView.escapeHtml(OLHub.clientUser.newVersionUrl) + "\">"
                  + qsTr("Download new version") + " v"
                  + loginView.escapeHtml(OLHub.clientUser.newVersion) + "</a>"
            onLinkActivated: link => Qt.openUrlExternally(link)
        }

        Label {
            anchors.right: parent.right
            text: "v" + Qt.application.version
            color: "gray"
        }
    }
}
