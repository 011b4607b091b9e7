import QtQuick
import QtQuick.Controls
import Ondaline

ApplicationWindow {
    id: app
    width: 720
    height: 540
    visible: true
    title: "Ondaline"
    Label { text: OLHub.language }
}
