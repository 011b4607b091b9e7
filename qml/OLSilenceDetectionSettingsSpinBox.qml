// One labelled row of the silence-detection dialog: an integer spin box in
// internal units that shows and takes value / valueMultiplier.
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

Item {
    id: spinBoxItem

    property alias text: spinBoxLabel.text
    property alias value: spinBox.value
    property alias from: spinBox.from
    property alias to: spinBox.to
    property alias stepSize: spinBox.stepSize
    property int decimals: 2
    property int valueMultiplier: 1000

    Layout.fillWidth: true
    implicitWidth: spinBoxLabel.implicitWidth + spinBox.implicitWidth + 10
    implicitHeight: Math.max(spinBoxLabel.implicitHeight, spinBox.implicitHeight)

    Label {
        id: spinBoxLabel
        anchors.left: parent.left
        anchors.verticalCenter: parent.verticalCenter
    }

    SpinBox {
        id: spinBox
        objectName: "spinBox"
        anchors.right: parent.right
        anchors.verticalCenter: parent.verticalCenter
        width: 150
        editable: true

        validator: DoubleValidator {
            locale: spinBox.locale.name
            bottom: Math.min(spinBox.from, spinBox.to)
            top: Math.max(spinBox.from, spinBox.to)
        }
        textFromValue: function(value, locale) {
            return Number(value / spinBoxItem.valueMultiplier)
                    .toLocaleString(locale, 'f', spinBoxItem.decimals)
        }
        // Rounded, since 0.29 * 1000 is 289.99...; text that is no number
        // leaves the value as it is.
        valueFromText: function(text, locale) {
            try {
                return Math.round(Number.fromLocaleString(locale, text) * spinBoxItem.valueMultiplier)
            } catch (error) {
                return spinBox.value
            }
        }
    }
}
