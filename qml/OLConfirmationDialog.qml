// A Yes/No question; the user of the component sets the title and handles
// acceptance and rejection.
import QtQuick
import QtQuick.Controls

Dialog {
    id: root

    property alias informationText: informationLabel.text

    parent: Overlay.overlay
    x: (parent.width - width) / 2
    y: (parent.height - height) / 2
    modal: true
    standardButtons: Dialog.Yes | Dialog.No

    Label {
        id: informationLabel
    }
}
