import QtQuick
import QtTest
import Ondaline

// The dialogs write the hub's values back in range; durations are typed in
// seconds and kept in milliseconds.
TestCase {
    id: testCase
    name: "Dialogs"
    visible: true
    when: windowShown
    width: 720
    height: 540

    Component { id: silenceDialog; OLSilenceDetectionSettingsDialog {} }
    Component { id: aboutDialog; OLAboutDialog {} }
    Component {
        id: durationRow
        OLSilenceDetectionSettingsSpinBox { width: 600; text: "Duration"; from: 100; to: 1800000; stepSize: 1000; valueMultiplier: 1000 }
    }

    function test_silenceSettingsAreWrittenBackInRange_data() {
        return [
            { tag: "two decimals stay", db: -40.55, dbIn: -40.55, ms: 7000, msIn: 7000 },
            { tag: "more decimals are cut toward zero", db: -40.559, dbIn: -40.55, ms: 7000, msIn: 7000 },
            { tag: "below the ranges", db: -150, dbIn: -100, ms: 5, msIn: 100 },
            { tag: "above the ranges", db: 3, dbIn: 0, ms: 2000000, msIn: 1800000 },
        ]
    }
    function test_silenceSettingsAreWrittenBackInRange(data) {
        OLHub.silenceDetectionLevelDb = data.db
        OLHub.silenceDetectionStartMs = data.ms
        OLHub.silenceDetectionEndMs = data.ms
        createTemporaryObject(silenceDialog, testCase)
        compare([OLHub.silenceDetectionLevelDb, OLHub.silenceDetectionStartMs, OLHub.silenceDetectionEndMs],
                [data.dbIn, data.msIn, data.msIn])
    }

    // An offered language is selected, another selects nothing.
    function test_aboutDialog() {
        for (const [language, index] of [["en", 2], ["fr", -1]]) {
            OLHub.language = language
            OLHub.logsStoreDays = 400
            const dialog = createTemporaryObject(aboutDialog, testCase)
            compare(findChild(dialog.contentItem, "languageComboBox").currentIndex, index, language)
            compare([OLHub.language, OLHub.logsStoreDays], [language, 365])
        }
    }

    // Seconds typed, kept in ms; a fraction not exact in binary; no number keeps the value.
    function test_typedSeconds() {
        const row = createTemporaryObject(durationRow, testCase), spinBox = findChild(row, "spinBox")
        for (const [text, value] of [["5", 5000], ["0.29", 290], ["1800", 1800000], ["x", 60000]]) {
            row.value = 60000
            spinBox.contentItem.forceActiveFocus()
            spinBox.contentItem.selectAll()
            for (const c of text)
                keyClick(c)
            keyClick(Qt.Key_Return)
            compare(row.value, value, text)
        }
    }
}
