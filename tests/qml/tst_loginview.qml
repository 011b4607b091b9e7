import QtQuick
import QtTest
import Ondaline

TestCase {
    id: testCase
    name: "OLLoginView"
    // TestCase is an invisible Item by default; the components under test
    // must be shown for focus and visibility to mean anything.
    visible: true
    when: windowShown
    width: 720
    height: 540

    Component {
        id: loginViewComponent
        OLLoginView {
            anchors.fill: parent
        }
    }

    function createView(username) {
        OLHub.clientUser.username = username
        return createTemporaryObject(loginViewComponent, testCase)
    }

    function test_startFocus_data() {
        return [
            { tag: "no stored user name", username: "", field: "usernameTextField" },
            { tag: "stored user name", username: "operator", field: "passwordTextField" },
        ]
    }

    // Hidden (logged in), no field keeps the focus and its blinking cursor;
    // shown again (logged out), the same field has it.
    function test_startFocus(data) {
        const view = createView(data.username)
        const field = findChild(view, data.field)
        tryCompare(field, "activeFocus", true)
        view.visible = false
        verify(!field.activeFocus)
        verify(!field.cursorVisible)
        view.visible = true
        verify(field.activeFocus)
    }

    function test_missingInputIsReportedWithoutRequest_data() {
        return [
            { tag: "both empty", username: "", password: "",
              message: "Username required", field: "usernameTextField" },
            { tag: "password empty without session", username: "operator", password: "",
              message: "Password required", field: "passwordTextField" },
        ]
    }

    function test_missingInputIsReportedWithoutRequest(data) {
        compare(OLHub.clientUser.sid, "")
        const view = createView(data.username)
        findChild(view, "passwordTextField").text = data.password
        view.login()
        const tooltip = findChild(view, "loginTooltip")
        compare(tooltip.text, data.message)
        verify(tooltip.visible)
        verify(findChild(view, data.field).activeFocus)
        verify(!OLHub.clientUser.isProcessingPlayerRequest)
    }

    function test_editingTheUserNameWritesTheClient() {
        const view = createView("")
        const field = findChild(view, "usernameTextField")
        field.forceActiveFocus()
        keyClick("a")
        keyClick("b")
        compare(OLHub.clientUser.username, "ab")
    }

    SignalSpy {
        id: authErrorSpy
        target: OLHub.clientUser
        signalName: "authError"
    }

    // The service is a closed port: the request fails, and the form
    // returns with the error.
    function test_refusedLoginShowsBusyThenError() {
        authErrorSpy.clear()
        const view = createView("operator")
        findChild(view, "passwordTextField").text = "secret"
        const form = findChild(view, "loginColumn")
        findChild(view, "loginButton").clicked()
        verify(OLHub.clientUser.isProcessingPlayerRequest)
        verify(!form.visible)
        authErrorSpy.wait(10000)
        tryCompare(form, "visible", true)
        const tooltip = findChild(view, "loginTooltip")
        compare(tooltip.text, "Authentication error")
        verify(tooltip.visible)
    }
}
