#pragma once

#include <QByteArray>
#include <QVector>

#include <functional>

// A stand-in for the KV830 switch: its state and its answer to every request frame. It is
// the executable description of what the agent expects of the device. Each connection
// (one per agent) is attached to a port; requests are answered in its name.
class SwitchModel
{
public:
    static constexpr int PortCount = 8;
    static constexpr char Accepted = 0x00;
    static constexpr char Refused = 0x01;

    struct MonitorEntry {
        int port = 0;
        int monitorIndex = 0;
        int row = 0;
        int col = 0;
        int width = 0;
        int height = 0;
        bool operator==(const MonitorEntry &o) const
        {
            return port == o.port && monitorIndex == o.monitorIndex && row == o.row && col == o.col && width == o.width
                && height == o.height;
        }
    };

    // The last accepted switch request (0x49), which 0x48 reports.
    struct MouseStatus {
        int port = 0;
        int row = 0;
        int col = 0;
        int direction = 0;
        int percent = 0;
    };

    struct MouseSettings {
        int serialNum = 0;
        int acceleration = 0;
        int speed = 0;
        int position = 0;
    };

    // Answers one request frame sent by the agent attached to apport, where the switch serves
    // `agents` agents (the heartbeat answer tells them). Always returns a reply: status 0x01
    // for anything the switch does not accept.
    QByteArray handle(int apport, const QByteArray &request, int agents = 1);

    // Called after the switch has handed keyboard and mouse to a port (0x49 accepted).
    std::function<void(int port)> onSwitched;

    quint8 presentMask = 0x03;
    int currentPort = 1;
    QVector<MonitorEntry> monitors;
    int mousePosition = 0;
    bool highlightOn = true;
    int highlightDuration = 1; // 0 to 15
    int cyclicSwitch = 0;
    MouseStatus mouseStatus;
    MouseSettings mouseSettings;
    unsigned char version[5] = {1, 0, 12, 3, 0};

    bool isPresent(int port) const { return port >= 1 && port <= PortCount && (presentMask >> (port - 1)) & 1; }

    static unsigned char checksum(const QByteArray &frame);
    // The answer frame to a request ID: ID | 0x80, the status, then the data; 11 bytes for
    // a monitor entry, 8 otherwise.
    static QByteArray reply(char requestId, char status, const QByteArray &data = {});

private:
    bool acceptUploadFrame(char requestId, const QByteArray &request);

    // Upload in progress: entries and settings wait here until a close frame with the right count.
    bool m_uploadOpen = false;
    int m_uploadAccepted = 0;
    QVector<MonitorEntry> m_uploadEntries;
    MouseSettings m_uploadSettings;
    bool m_uploadHasSettings = false;
};
