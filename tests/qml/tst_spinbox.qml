import QtQuick
import QtTest
import Ondaline

TestCase {
    id: testCase
    name: "OLSilenceDetectionSettingsSpinBox"
    // TestCase is an invisible Item by default; the components under test
    // must be shown for focus and visibility to mean anything.
    visible: true
    when: windowShown
    width: 600
    height: 200

    Component {
        id: durationRow
        OLSilenceDetectionSettingsSpinBox {
            width: 600
            text: "Duration"
            from: 100
            to: 1800000
            stepSize: 1000
            valueMultiplier: 1000
        }
    }

    function typeInto(row, text) {
        const spinBox = findChild(row, "spinBox")
        spinBox.contentItem.forceActiveFocus()
        spinBox.contentItem.selectAll()
        for (const c of text)
            keyClick(c)
        keyClick(Qt.Key_Return)
    }

    function test_typedSecondsBecomeMilliseconds_data() {
        // Typed in seconds, kept in milliseconds.
        return [
            { tag: "whole seconds", text: "5", expected: 5000 },
            { tag: "fraction that is not exact in binary", text: "0.29", expected: 290 },
            { tag: "largest", text: "1800", expected: 1800000 },
        ]
    }

    function test_typedSecondsBecomeMilliseconds(data) {
        const row = createTemporaryObject(durationRow, testCase, { value: 60000 })
        typeInto(row, data.text)
        compare(row.value, data.expected)
    }

    function test_textThatIsNoNumberKeepsTheValue() {
        const row = createTemporaryObject(durationRow, testCase, { value: 60000 })
        typeInto(row, "x")
        compare(row.value, 60000)
    }
}
