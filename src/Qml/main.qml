import QtQuick 2.9
import QtQuick.Window 2.0
import QtQuick.Controls 1.4
import QtQuick.Controls.Styles 1.4
import QtQuick.Dialogs 1.2
import Qt.labs.platform 1.1
import Qt.Quick.Monitor 1.0
import vorn.trayicon 1.0

Item {
    id: main
    width: flash_width
    height: flash_height

    property bool isconnected: false
    property int flash_enable: 0
    property int flash_duration: 3
    property int flash_width: 1
    property int flash_height: 1
    property int count: 1

    SystemTray {
        id: trayIcon
        menu: menu
        visible: true
        icon: isconnected === true ? "../Images/kv830mt.ico" : "../Images/offline.ico"
        toolTip: ["Spanlink", mouse_monitor.sessionNote, mouse_monitor.portNote].filter(line => line !== "").join("\n")
        onTrigger: {
        }

        MyMenu {
            id: menu

            MyAction {
                text: "Quit"
                onTriggered: quitAp()
            }
        }
    }

    Monitor {
        id: mouse_monitor
    }

    Connections {
        target: mouse_monitor
        function onStatusChanged() {
            if (mouse_monitor.devstatus === 1) {
                trayIcon.icon = "../Images/kv830mt.ico"
                readHighlightSettings()
            } else {
                trayIcon.icon = "../Images/offline.ico"
                frame_rec.visible = false
                timer.stop()
                count = 1
            }
        }
        function onMonitorChanged() {
            timer.stop()
            frame_rec.visible = false
            if (mouse_monitor.devstatus === 1 && flash_enable !== 0) {
                var switchport = mouse_monitor.frameInfo["switchport"]
                // 0: the pointer arrived on a monitor of this computer; anything else means
                // keyboard and mouse went to another port.
                if (switchport === 0) {
                    flash_width = mouse_monitor.frameInfo["width"]
                    flash_height = mouse_monitor.frameInfo["height"] - 1
                    mainwindow.setX(mouse_monitor.frameInfo["x"])
                    mainwindow.setY(mouse_monitor.frameInfo["y"])
                    frame_rec.visible = true
                    count = 1
                    timer.start()
                } else {
                    // Keyboard and mouse went to another port: nobody waits on this computer,
                    // so its scene collects its garbage (each read of frameInfo makes a new
                    // object) rather than piling it up until the engine's own threshold; not at
                    // once, while the crossing is still under way on the other computer.
                    collector.restart()
                }
            }
        }
    }

    Timer {
        id: collector
        interval: 1000
        onTriggered: gc()
    }

    Rectangle {
        id: frame_rec
        objectName: "frame_rec"
        width: parent.width
        height: parent.height
        color: "transparent"
        visible: false
        border.color: "#33FF33"
        border.width: 15
        radius: 5
        opacity: 0.8
    }

    Timer {
        id: timer
        repeat: true
        running: false
        interval: 500
        onTriggered: {
            if (flash_duration !== 0) {
                if (count >= flash_duration * 2) {
                    frame_rec.visible = false
                    timer.stop()
                    count = 1
                } else {
                    frame_rec.visible = !frame_rec.visible
                    count = count + 1
                }
            } else {
                frame_rec.visible = !frame_rec.visible
            }
        }
    }

    // Highlight on or off and how long it blinks, as the switch holds them.
    function readHighlightSettings() {
        var settings = mouse_monitor.getMouseHighlightData()
        if (settings !== undefined) {
            flash_enable = settings["status"]
            var duration = settings["duration"]
            if (duration === 0)
                flash_duration = 0
            else if (duration === 1)
                flash_duration = 3
            else if (duration === 2)
                flash_duration = 5
            else if (duration === 3)
                flash_duration = 10
            else
                flash_duration = 3
        }
    }

    function quitAp() {
        mouse_monitor.uninstallHook()
        mainwindow.close()
    }

    Component.onCompleted: {
        isconnected = mouse_monitor.connectDevice()
        if (isconnected)
            readHighlightSettings()
    }
}
