import QtQuick 2.9
import QtQuick.Window 2.0
import QtQuick.Controls 1.4
import QtQuick.Controls.Styles 1.4
import QtQuick.Dialogs 1.2
import Qt.labs.platform 1.1

Item {
    id: alert
    width: 380
    height: 200
    visible: true

    function quitAp() {
        mainwindow.close()
    }

    Rectangle {
        width: 380
        height: 200
        z: 5
        anchors.verticalCenter: parent.verticalCenter
        anchors.horizontalCenter: parent.horizontalCenter

        Rectangle {
            id: title
            width: 380
            height: 25
            color: "#084576"
            anchors.top: parent.top
            anchors.horizontalCenter: parent.horizontalCenter

            Text {
                id: title_text
                text: ""
                font.family: "Arial"
                font.bold: false
                font.pixelSize: 13
                color: "white"
                lineHeight: 1
                elide: Text.ElideRight
                wrapMode: Text.WordWrap
                anchors.left: parent.left
                anchors.leftMargin: 10
                anchors.verticalCenter: parent.verticalCenter
            }
        }

        Image {
            id: close_btn
            source: "../Images/close.png"
            width: 10
            height: 10
            anchors.top: parent.top
            anchors.topMargin: 7
            anchors.right: parent.right
            anchors.rightMargin: 10

            MouseArea {
                anchors.fill: parent
                cursorShape: Qt.PointingHandCursor
                onClicked: quitAp()
            }
        }

        Rectangle {
            id: content_rec
            width: 380
            height: 175
            border.width: 1
            border.color: "#084576"
            color: "#F1F1F1"
            anchors.top: title.bottom
            anchors.horizontalCenter: parent.horizontalCenter

            Image {
                id: success_img
                source: "../Images/img-fail.png"
                width: 45
                height: 45
                visible: true
                anchors.left: parent.left
                anchors.leftMargin: 25
                anchors.top: parent.top
                anchors.topMargin: 30
            }

            Text {
                id: message
                height: 120
                width: 250
                text: "The driver ap is running."
                font.family: "Arial"
                font.bold: false
                font.pixelSize: 14
                color: "#084576"
                lineHeight: 1.4
                elide: Text.ElideRight
                wrapMode: Text.WrapAtWordBoundaryOrAnywhere
                verticalAlignment: Text.AlignTop
                horizontalAlignment: Text.AlignLeft
                anchors.left: success_img.right
                anchors.leftMargin: 20
                anchors.top: parent.top
                anchors.topMargin: 30
            }

            Rectangle {
                id: ok_btn
                width: 65
                height: 30
                color: "#F1F1F1"
                border.color: "#084576"
                border.width: 1
                radius: 10
                anchors.right: parent.right
                anchors.rightMargin: 15
                anchors.bottom: parent.bottom
                anchors.bottomMargin: 15

                Label {
                    id: ok_label
                    text: qsTr("OK")
                    color: "#084576"
                    font.pixelSize: 14
                    font.family: "Arial"
                    font.bold: true
                    anchors.verticalCenter: parent.verticalCenter
                    anchors.horizontalCenter: parent.horizontalCenter
                }

                MouseArea {
                    anchors.fill: parent
                    hoverEnabled: true
                    cursorShape: Qt.PointingHandCursor
                    onEntered: ok_label.color = "#449ABE"
                    onExited: ok_label.color = "#084576"
                    onClicked: quitAp()
                }
            }
        }
    }
}
