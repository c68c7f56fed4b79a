#pragma once

#include "HIDCommand/generalcommand.h"
#include "HIDCommand/usbids.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>

class QTimer;

namespace KV830
{
// How far the last sendAllCommand() got. Frames count from 1: the opening frame, one per
// monitor entry, the mouse settings, the closing frame.
struct UploadResult {
    enum Outcome { Done, Refused, Silent }; // Silent: no answer at all
    Outcome outcome = Done;
    int failedFrame = 0; // 0 when done
    int frames = 0;
};
} // namespace KV830

// Turning reply data bytes (reply byte 2 onward) into the connection's maps. Keys are
// assigned one by one and the maps are never cleared, so old keys survive and new ones win.
namespace KV830Reply
{
void decodePortStatus(const unsigned char data[5], QVariantMap &map, quint8 &portMask);
void decodePortList(const unsigned char data[8], QVariantMap &map);
void decodeMouseStatus(const unsigned char data[5], QVariantMap &map);
void decodeFocusStatus(const unsigned char data[2], QVariantMap &map);
} // namespace KV830Reply

// The connection to the switch: opens it, keeps it alive with a heartbeat that also reopens a
// lost switch, runs the queries and turns their replies into maps, and sends the switch request.
class KV830Data : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString version READ version)

public:
    explicit KV830Data(QObject *parent = nullptr);
    ~KV830Data() override;

    QString version() const { return m_versionText; }

signals:
    void devStatusChanged();
    // The heartbeat found a new count of agents on this computer's port (m_agentsOnPort).
    void agentsOnPortChanged();
    // A heartbeat was accepted: the switch answers and may be asked whether its layout changed.
    void heartBeatAnswered();
    // The switch accepted the close of an upload made through this connection.
    void listUploaded();

public slots:
    bool open(ushort VID, ushort PID);
    bool getFWAPProtocolVersion();
    bool sendListAmountOpen(int monitorNum);
    bool sendOneListOfPortNum(int portNum, int monitorNum, int row, int col, int xResolutionL, int xResolutionH,
        int yResolutionL, int yResolutionH);
    bool sendOneListOfMouseData(int serialNum, int mode, int level, int position);
    bool sendListAmountClose();
    void beginHeartBeat();
    bool heartBeat();
    bool close();
    bool sendAllCommand(int cmd_Num, QList<QVariantMap> m_info, QVariantMap mouse_info);
    int status();
    bool getPortStatus();
    bool getOneListOfPortNum(int index);
    bool getMouseStatus();
    bool sendMouseStatus(int switchPortNum, int monRow, int monCol, int direction, int percent);
    bool getSwitchingFocusStatus();

public:
    GeneralCommand m_command;
    QString m_versionText;
    QTimer *m_heartBeatTimer = nullptr;
    int m_status = 0;
    QVariantMap m_portStatus;
    QVariantMap m_portList;
    QVariantMap m_mouseStatus;
    quint8 m_portMask = 0;
    QVariantMap m_focusStatus;
    // Agents the switch serves on this computer's port, as its heartbeat answer says; 0 from a
    // switch that does not count them.
    int m_agentsOnPort = 0;
    // The last sendAllCommand(): done, or the frame that was refused or got no answer.
    KV830::UploadResult m_lastUpload;
    // Called before each frame of sendAllCommand() goes out, with its number and the total.
    std::function<void(int frame, int frames)> m_uploadProgress;

private:
    void countAgents();
};
