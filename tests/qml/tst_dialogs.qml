import QtQuick
import QtTest
import Ondaline

// The dialogs exist, closed, from the window's creation on; their spin boxes
// hold the hub's values in range and write the corrected value back.
TestCase {
    id: testCase
    name: "Dialogs"
    // TestCase is an invisible Item by default; the components under test
    // must be shown for focus and visibility to mean anything.
    visible: true
    when: windowShown
    width: 720
    height: 540

    Component {
        id: silenceDialog
        OLSilenceDetectionSettingsDialog {}
    }

    Component {
        id: aboutDialog
        OLAboutDialog {}
    }

    function test_silenceLevelIsWrittenBackInRange_data() {
        return [
            { tag: "two decimals stay", stored: -40.55, expected: -40.55 },
            { tag: "more decimals are cut toward zero", stored: -40.559, expected: -40.55 },
            { tag: "below -100 dB", stored: -150, expected: -100 },
            { tag: "above 0 dB", stored: 3, expected: 0 },
        ]
    }

    function test_silenceLevelIsWrittenBackInRange(data) {
        OLHub.silenceDetectionLevelDb = data.stored
        createTemporaryObject(silenceDialog, testCase)
        compare(OLHub.silenceDetectionLevelDb, data.expected)
    }

    function test_silenceDurationsAreWrittenBackInRange_data() {
        return [
            { tag: "too short", stored: 5, expected: 100 },
            { tag: "too long", stored: 2000000, expected: 1800000 },
            { tag: "in range", stored: 7000, expected: 7000 },
        ]
    }

    function test_silenceDurationsAreWrittenBackInRange(data) {
        OLHub.silenceDetectionStartMs = data.stored
        OLHub.silenceDetectionEndMs = data.stored
        createTemporaryObject(silenceDialog, testCase)
        compare(OLHub.silenceDetectionStartMs, data.expected)
        compare(OLHub.silenceDetectionEndMs, data.expected)
    }

    function test_logsStoreDaysAboveTheRangeIsClamped() {
        OLHub.logsStoreDays = 400
        createTemporaryObject(aboutDialog, testCase)
        compare(OLHub.logsStoreDays, 365)
    }

    function test_languageSelection_data() {
        return [
            { tag: "offered code", stored: "en", index: 2 },
            { tag: "unknown code selects nothing", stored: "fr", index: -1 },
        ]
    }

    function test_languageSelection(data) {
        OLHub.language = data.stored
        const dialog = createTemporaryObject(aboutDialog, testCase)
        compare(findChild(dialog.contentItem, "languageComboBox").currentIndex, data.index)
        compare(OLHub.language, data.stored)
    }
}
