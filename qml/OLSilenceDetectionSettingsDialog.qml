// Threshold and durations of the silence detection; every value is written
// to the hub as soon as it changes.
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Ondaline

Dialog {
    id: root

    // Hundredths of a decibel, cut toward zero. The epsilon keeps a value
    // with two decimals (-40.55 * 100 = -4054.999...) from losing one.
    function toHundredths(db) {
        const x = db * 100
        return Math.trunc(x + (x < 0 ? -1e-6 : 1e-6))
    }

    parent: Overlay.overlay
    x: (parent.width - width) / 2
    y: (parent.height - height) / 2
    modal: true
    title: qsTr("Silence detection settings")
    standardButtons: Dialog.Ok
    contentWidth: rows.implicitWidth + 40
    contentHeight: rows.implicitHeight + 40

    ColumnLayout {
        id: rows
        anchors.fill: parent
        anchors.margins: 20
        spacing: 10

        OLSilenceDetectionSettingsSpinBox {
            id: silenceDetectionLevelDbSpinbox
            objectName: "silenceDetectionLevelDbSpinbox"
            text: qsTr("Silence detection level (decibels)")
            from: OLHub.settingRanges.silenceDetectionLevelDb.from * 100
            to: OLHub.settingRanges.silenceDetectionLevelDb.to * 100
            stepSize: 100
            valueMultiplier: 100
            value: root.toHundredths(OLHub.silenceDetectionLevelDb)
        }

        OLSilenceDetectionSettingsSpinBox {
            id: silenceDetectionStartMsSpinbox
            objectName: "silenceDetectionStartMsSpinbox"
            text: qsTr("The duration of silence for detection (seconds)")
            from: OLHub.settingRanges.silenceDetectionStartMs.from
            to: OLHub.settingRanges.silenceDetectionStartMs.to
            stepSize: 1000
            valueMultiplier: 1000
            value: OLHub.silenceDetectionStartMs
        }

        OLSilenceDetectionSettingsSpinBox {
            id: silenceDetectionEndMsSpinbox
            objectName: "silenceDetectionEndMsSpinbox"
            text: qsTr("The duration of sound for detection (seconds)")
            from: OLHub.settingRanges.silenceDetectionEndMs.from
            to: OLHub.settingRanges.silenceDetectionEndMs.to
            stepSize: 1000
            valueMultiplier: 1000
            value: OLHub.silenceDetectionEndMs
        }
    }

    Binding {
        target: OLHub
        property: "silenceDetectionLevelDb"
        value: silenceDetectionLevelDbSpinbox.value / 100
    }

    Binding {
        target: OLHub
        property: "silenceDetectionStartMs"
        value: silenceDetectionStartMsSpinbox.value
    }

    Binding {
        target: OLHub
        property: "silenceDetectionEndMs"
        value: silenceDetectionEndMsSpinbox.value
    }
}
