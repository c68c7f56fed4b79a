import QtQuick 2.12
import QtQuick.Controls 2.12
import QtQuick.Dialogs 1.3
import QtQuick.Layouts 1.12
import QtQuick.Window 2.12

ApplicationWindow {
    id: window
    title: "Spanlink Setup"
    visible: true
    width: grid.width + side.width + 40
    height: grid.height + 40

    readonly property int cell: 48
    readonly property var portColours: ["#4e79a7", "#f28e2b", "#59a14f", "#b07aa1",
                                        "#76b7b2", "#edc948", "#ff9da7", "#9c755f"]
    property string message: startMessage
    property int selected: -1

    function tileColour(port) {
        if (port < 1 || port > 8 || !layoutModel.portPresent(port))
            return "#9e9e9e"
        return portColours[port - 1]
    }

    Shortcut { sequences: [StandardKey.Undo]; onActivated: layoutModel.undo() }
    Shortcut { sequences: [StandardKey.Redo]; onActivated: layoutModel.redo() }
    Shortcut { sequences: [StandardKey.Save]; onActivated: saveAs() }
    Shortcut { sequence: "Ctrl+U"; onActivated: upload() }

    function upload() {
        if (!layoutModel.valid) {
            message = "Not uploaded: " + layoutModel.problems[0]
            return
        }
        message = "Uploading…"
        report(layoutModel.upload(), "Uploaded; the switch reports the same layout back.")
    }

    function saveAs() {
        if (layoutModel.fileName !== "")
            report(layoutModel.save(layoutModel.fileName), "Saved " + layoutModel.fileName + ".")
        else
            saveDialog.open()
    }
    function select(entry, w, h) {
        selected = entry
        widthBox.value = w
        heightBox.value = h
    }
    function report(error, done) { message = error !== "" ? error : done }
    function pathOf(url) { return decodeURIComponent(url.toString().replace(/^file:\/\//, "")) }

    FileDialog {
        id: openDialog
        title: "Open a layout"
        nameFilters: ["Layouts (*.json)", "All files (*)"]
        onAccepted: window.report(layoutModel.open(window.pathOf(fileUrl)), "Opened " + window.pathOf(fileUrl) + ".")
    }
    FileDialog {
        id: saveDialog
        title: "Save the layout"
        selectExisting: false
        nameFilters: ["Layouts (*.json)"]
        onAccepted: window.report(layoutModel.save(window.pathOf(fileUrl)), "Saved " + window.pathOf(fileUrl) + ".")
    }
    Component.onCompleted: if (!layoutModel.connected && layoutModel.fileName === "" && layoutModel.rowCount() === 0)
                               openDialog.open()

    // The grid: 16 x 16 cells, the tiles on top of them.
    Rectangle {
        id: grid
        objectName: "grid"
        x: 20; y: 20
        width: layoutModel.gridSize * window.cell + 1
        height: width
        color: "#fafafa"
        border.color: "#bdbdbd"

        Repeater {
            model: layoutModel.gridSize * layoutModel.gridSize
            Rectangle {
                x: (index % layoutModel.gridSize) * window.cell
                y: Math.floor(index / layoutModel.gridSize) * window.cell
                width: window.cell + 1; height: window.cell + 1
                color: "transparent"
                border.color: "#e0e0e0"
            }
        }

        Repeater {
            model: layoutModel
            delegate: Rectangle {
                id: tile
                readonly property int entry: index
                readonly property bool inGrid: model.row >= 1 && model.row <= layoutModel.gridSize
                                               && model.col >= 1 && model.col <= layoutModel.gridSize
                function home() {
                    x = Qt.binding(function() { return (Math.min(Math.max(model.col, 1), layoutModel.gridSize) - 1) * window.cell + 2 + 6 * model.stack })
                    y = Qt.binding(function() { return (Math.min(Math.max(model.row, 1), layoutModel.gridSize) - 1) * window.cell + 2 + 6 * model.stack })
                }
                Component.onCompleted: home()
                width: window.cell - 3; height: window.cell - 3
                z: drag.drag.active ? 2 : 1
                radius: 4
                color: window.tileColour(model.port)
                opacity: inGrid ? 1 : 0.5
                border.width: activeFocus || window.selected === index ? 3 : (model.problem !== "" ? 3 : 1)
                border.color: model.problem !== "" ? "#d50000" : (activeFocus || window.selected === index ? "black" : "#424242")

                activeFocusOnTab: true
                Accessible.role: Accessible.Button
                Accessible.name: model.accessibleName
                onActiveFocusChanged: if (activeFocus) window.select(index, model.width, model.height)

                Keys.onPressed: {
                    var r = model.row, c = model.col
                    if (event.key === Qt.Key_Left) c--
                    else if (event.key === Qt.Key_Right) c++
                    else if (event.key === Qt.Key_Up) r--
                    else if (event.key === Qt.Key_Down) r++
                    else if (event.key === Qt.Key_Delete) {
                        window.selected = -1
                        layoutModel.removeMonitor(index)
                        event.accepted = true
                        return
                    }
                    else return
                    layoutModel.moveTo(index, r, c)
                    event.accepted = true
                }

                Text {
                    anchors.fill: parent
                    anchors.margins: 2
                    horizontalAlignment: Text.AlignHCenter
                    verticalAlignment: Text.AlignVCenter
                    font.pixelSize: 9
                    // Three lines in a cell whatever the font's own spacing.
                    lineHeightMode: Text.FixedHeight
                    lineHeight: 11
                    clip: true
                    color: "white"
                    text: (model.port === layoutModel.thisPort && layoutModel.connected ? "\u2605" : "")
                          + model.port + "\u00b7" + model.monitorIndex + "\n" + model.width + "\n" + model.height
                }
                ToolTip.visible: dragArea.containsMouse && !dragArea.drag.active
                ToolTip.delay: 500
                ToolTip.text: model.accessibleName.replace(/; problem: /g, "\n")

                property alias drag: dragArea
                MouseArea {
                    id: dragArea
                    anchors.fill: parent
                    hoverEnabled: true
                    drag.target: tile
                    onPressed: tile.forceActiveFocus()
                    onCanceled: tile.home()
                    onReleased: {
                        var c = Math.floor((tile.x + tile.width / 2) / window.cell) + 1
                        var r = Math.floor((tile.y + tile.height / 2) / window.cell) + 1
                        var moved = layoutModel.moveTo(tile.entry, r, c)
                        tile.home()
                        if (moved)
                            window.message = "Moved to row " + r + " column " + c + "."
                    }
                }
            }
        }
    }

    // Beside the grid: the switch's settings, the selected monitor, the file and the upload.
    ColumnLayout {
        id: side
        x: grid.x + grid.width + 16; y: 12
        width: 340
        spacing: 6

        Label {
            Layout.fillWidth: true
            wrapMode: Text.Wrap
            font.bold: true
            text: layoutModel.connected ? "Switch: this computer is port " + layoutModel.thisPort
                                        : "No switch: editing a file"
        }
        RowLayout {
            Label { text: "Mouse position" }
            SpinBox {
                id: mousePosition
                objectName: "mousePosition"
                from: 0; to: 5
                value: layoutModel.mousePosition
                onValueModified: layoutModel.mousePosition = value
                Accessible.name: "Mouse position"
            }
        }
        Label {
            text: "Cyclic switching: " + (layoutModel.wrapAround ? "on" : "off")
                  + "\nHighlight: " + (layoutModel.highlight ? "on, duration " + layoutModel.highlightDuration : "off")
            visible: layoutModel.connected
        }

        GroupBox {
            title: window.selected >= 0 ? "Selected monitor" : "No monitor selected"
            Layout.fillWidth: true
            ColumnLayout {
                anchors.fill: parent
                RowLayout {
                    SpinBox { id: widthBox; from: layoutModel.minWidth; to: 65535; editable: true; value: 1920; locale: Qt.locale("C"); Layout.preferredWidth: 120; Accessible.name: "Width" }
                    Label { text: "\u00d7" }
                    SpinBox { id: heightBox; from: layoutModel.minHeight; to: 65535; editable: true; value: 1080; locale: Qt.locale("C"); Layout.preferredWidth: 120; Accessible.name: "Height" }
                }
                RowLayout {
                    Button {
                        text: "Set size"
                        enabled: window.selected >= 0
                        onClicked: layoutModel.resize(window.selected, widthBox.value, heightBox.value)
                    }
                    Button {
                        text: "Remove"
                        enabled: window.selected >= 0
                        onClicked: { layoutModel.removeMonitor(window.selected); window.selected = -1 }
                    }
                }
                RowLayout {
                    Label { text: "Port" }
                    SpinBox { id: portBox; from: 1; to: 8; value: Math.max(1, layoutModel.thisPort); Accessible.name: "Port" }
                    Button {
                        text: "Add monitor"
                        onClicked: {
                            var free = layoutModel.freeCell()
                            if (free === 0) { window.message = "The grid is full."; return }
                            layoutModel.addMonitor(portBox.value, Math.floor(free / 100), free % 100,
                                                   widthBox.value, heightBox.value)
                        }
                    }
                }
                RowLayout {
                    Label { text: "Row, column" }
                    SpinBox { id: rowBox; from: 1; to: 16; value: 1; Layout.preferredWidth: 100; Accessible.name: "Row" }
                    SpinBox { id: colBox; from: 1; to: 16; value: 1; Layout.preferredWidth: 100; Accessible.name: "Column" }
                }
                Button {
                    text: "Detect this computer"
                    onClicked: window.report(layoutModel.detect(portBox.value, rowBox.value, colBox.value),
                                             "This computer's screens are port " + portBox.value + "'s monitors.")
                }
            }
        }

        RowLayout {
            Button { text: "Undo"; enabled: layoutModel.canUndo; onClicked: layoutModel.undo(); ToolTip.text: layoutModel.undoText; ToolTip.visible: hovered }
            Button { text: "Redo"; enabled: layoutModel.canRedo; onClicked: layoutModel.redo(); ToolTip.text: layoutModel.redoText; ToolTip.visible: hovered }
        }
        RowLayout {
            Button { text: "Open\u2026"; onClicked: openDialog.open() }
            Button { text: "Save"; onClicked: window.saveAs() }
            Button { text: "Read switch"; onClicked: window.report(layoutModel.readSwitch(), "Read the switch.") }
        }
        Button {
            objectName: "upload"
            text: "Upload (Ctrl+U)"
            visible: layoutModel.valid
            enabled: layoutModel.valid
            onClicked: window.upload()
        }
        ProgressBar {
            objectName: "uploadProgress"
            Layout.fillWidth: true
            visible: layoutModel.uploadFrames > 0
            from: 0; to: Math.max(1, layoutModel.uploadFrames)
            value: layoutModel.uploadFrame
            Accessible.name: "Upload, frame " + layoutModel.uploadFrame + " of " + layoutModel.uploadFrames
        }
        Label {
            visible: layoutModel.uploadFrames > 0
            text: "Frame " + layoutModel.uploadFrame + " of " + layoutModel.uploadFrames
        }
        Label {
            Layout.fillWidth: true
            wrapMode: Text.Wrap
            color: "#d50000"
            visible: !layoutModel.valid
            text: "Not ready to upload:\n\u2022 " + layoutModel.problems.join("\n\u2022 ")
        }
        Label {
            id: status
            objectName: "message"
            Layout.fillWidth: true
            wrapMode: Text.Wrap
            text: window.message
        }
    }
}
