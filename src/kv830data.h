#pragma once

#include "HIDCommand/generalcommand.h"
#include "HIDCommand/usbids.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <QVector>

#include <array>
#include <functional>
#include <optional>

class QTimer;

namespace KV830
{
// What the switch's answers say, as the queries return them. The connection also keeps them
// in its maps under the keys the protocol names.

// The port status (request 0x4A).
struct PortStatus {
    int apPort = 0; // the port this computer is attached to
    int listNum = 0; // monitor entries the switch holds, read with indexes 1 to listNum
    int curPort = 0; // the port that has keyboard and mouse now
    int mousePosition = 0; // the parking-point setting
    quint8 portMask = 0; // bit p - 1 set for a present port p
};

// One monitor of the switch's grid, the same fields whether read from the switch or uploaded.
struct MonitorEntry {
    int port = 0; // the port of the computer that drives it
    int index = 0; // its number within that port
    int row = 0;
    int col = 0;
    int width = 0;
    int height = 0;
    bool operator==(const MonitorEntry &o) const
    {
        return port == o.port && index == o.index && row == o.row && col == o.col && width == o.width
            && height == o.height;
    }
    bool operator!=(const MonitorEntry &o) const { return !(*this == o); }
};

// Where the pointer came in (request 0x48): the values of the switch request that moved it.
struct MouseStatus {
    int curPort = 0;
    int row = 0; // the target monitor's cell
    int col = 0;
    int direction = 0; // the side it left through, codes 1 to 8
    int percent = 0; // along that side
};

// The highlight settings (request 0x4B).
struct FocusStatus {
    int highlight = 0; // 0 or 1
    int duration = 0; // 0 to 15
    int cyclicSwitch = 0; // whether the search for a target port wraps around
};

// The mouse settings an upload sends after the monitor entries.
struct MouseSettings {
    int acceleration = 0;
    int speed = 0;
    int position = 0;
};

// How far an upload got. Frames count from 1: the opening frame, one per monitor entry, the
// mouse settings, the closing frame.
struct UploadResult {
    enum Outcome { Done, Refused, Silent }; // Silent: no answer at all
    Outcome outcome = Done;
    int failedFrame = 0; // 0 when done
    int frames = 0;
};
} // namespace KV830

// Turning reply data bytes (reply byte 2 onward) into values.
namespace KV830Reply
{
KV830::PortStatus portStatus(const unsigned char data[5]);
KV830::MonitorEntry monitorEntry(const unsigned char data[8]);
KV830::MouseStatus mouseStatus(const unsigned char data[5]);
KV830::FocusStatus focusStatus(const unsigned char data[2]);
} // namespace KV830Reply

// The connection to the switch: opens it, keeps it alive with a heartbeat that also reopens a
// lost switch, runs the queries, which return what the switch said (none when it did not
// answer or refused) and keep it in maps, and sends the switch request.
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
    std::optional<KV830::PortStatus> getPortStatus();
    std::optional<KV830::MonitorEntry> getOneListOfPortNum(int index);
    std::optional<KV830::MouseStatus> getMouseStatus();
    bool sendMouseStatus(int switchPortNum, int monRow, int monCol, int direction, int percent);
    std::optional<KV830::FocusStatus> getSwitchingFocusStatus();

public:
    // A whole upload as sendAllCommand() makes it, announcing the entries and the mouse
    // settings as lists; `progress` is told each frame before it goes out.
    KV830::UploadResult upload(const QVector<KV830::MonitorEntry> &entries, const KV830::MouseSettings &mouse,
        const std::function<void(int frame, int frames)> &progress = {});

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

private:
    void countAgents();
    // The frames of an upload, each value as sendAllCommand() logs it; the low 8 bits travel.
    struct UploadFrames {
        int announced = 0;
        QVector<std::array<int, 8>> entries;
        std::array<int, 4> mouse {};
    };
    KV830::UploadResult sendUpload(const UploadFrames &frames, const std::function<void(int, int)> &progress);
};
