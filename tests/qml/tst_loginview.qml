import QtQuick
import QtTest
import Ondaline

TestCase {
    id: testCase
    name: "OLLoginView"
    visible: true
    when: windowShown
    width: 720
    height: 540

    Component { id: loginViewComponent; OLLoginView { anchors.fill: parent } }

    // Hidden, no field keeps the focus and blinks; shown again, the same field
    // has it. A login without it says what is missing there and sends nothing.
    function test_focusAndMissingInput_data() {
        return [
            { tag: "no stored user name", username: "", field: "usernameTextField", message: "Username required" },
            { tag: "stored user name", username: "operator", field: "passwordTextField", message: "Password required" },
        ]
    }
    function test_focusAndMissingInput(data) {
        OLHub.clientUser.username = data.username
        const view = createTemporaryObject(loginViewComponent, testCase)
        const field = findChild(view, data.field), tooltip = findChild(view, "loginTooltip")
        tryCompare(field, "activeFocus", true)
        view.visible = false
        verify(!field.activeFocus && !field.cursorVisible)
        view.visible = true
        verify(field.activeFocus)
        view.login()
        compare(tooltip.text, data.message)
        verify(tooltip.visible && field.activeFocus && !OLHub.clientUser.isProcessingPlayerRequest)
    }

    // The service is a closed port: busy, then the form returns with the error.
    function test_refusedLoginShowsBusyThenError() {
        OLHub.clientUser.username = "operator"
        const view = createTemporaryObject(loginViewComponent, testCase)
        const form = findChild(view, "loginColumn"), tooltip = findChild(view, "loginTooltip")
        findChild(view, "passwordTextField").text = "secret"
        findChild(view, "loginButton").clicked()
        verify(OLHub.clientUser.isProcessingPlayerRequest && !form.visible)
        tryCompare(tooltip, "text", "Authentication error", 10000)
        tryCompare(form, "visible", true)
        verify(tooltip.visible)
    }
}
