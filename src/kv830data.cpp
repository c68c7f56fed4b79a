#include "kv830data.h"

#include <QDebug>
#include <QMetaType>
#include <QTimer>

namespace
{
// Identifiers given to the last open(); the heartbeat reopens the switch with them.
ushort s_vendorId = 0;
ushort s_productId = 0;

constexpr int s_heartBeatInterval = 3000;

unsigned char lowByte(int value)
{
    return static_cast<unsigned char>(value & 0xFF);
}

int word(unsigned char low, unsigned char high)
{
    return low + 256 * high;
}
} // namespace

namespace KV830Reply
{
void decodePortStatus(const unsigned char data[5], QVariantMap &map, quint8 &portMask)
{
    map[QStringLiteral("apportNum")] = int(data[0]);
    map[QStringLiteral("listNum")] = int(data[1]);
    map[QStringLiteral("curportNum")] = int(data[2]);
    map[QStringLiteral("mouseposition")] = int(data[3]);
    portMask = data[4];
}

void decodePortList(const unsigned char data[8], QVariantMap &map)
{
    map[QStringLiteral("portNum")] = int(data[0]);
    map[QStringLiteral("monitorIndexNum")] = int(data[1]);
    map[QStringLiteral("row")] = int(data[2]);
    map[QStringLiteral("col")] = int(data[3]);
    map[QStringLiteral("width")] = word(data[4], data[5]);
    map[QStringLiteral("height")] = word(data[6], data[7]);
}

void decodeMouseStatus(const unsigned char data[5], QVariantMap &map)
{
    map[QStringLiteral("curportNum")] = int(data[0]);
    map[QStringLiteral("portRow")] = int(data[1]);
    map[QStringLiteral("portCol")] = int(data[2]);
    map[QStringLiteral("direction")] = int(data[3]);
    map[QStringLiteral("percent")] = int(data[4]);
}

void decodeFocusStatus(const unsigned char data[2], QVariantMap &map)
{
    // Bits 4 to 6 of the first byte carry nothing for us.
    map[QStringLiteral("status")] = int((data[0] >> 7) & 0x01);
    map[QStringLiteral("duration")] = int(data[0] & 0x0F);
    map[QStringLiteral("cyclic_switch")] = int(data[1]);
}
} // namespace KV830Reply

KV830Data::KV830Data(QObject *parent)
    : QObject(parent)
{
    // Lets sendAllCommand be invoked by name through the meta-object.
    qRegisterMetaType<QList<QVariantMap>>("QList<QVariantMap>");
}

// Leaves the device and the heartbeat timer as they are; both live as long as the process.
KV830Data::~KV830Data() = default;

bool KV830Data::open(ushort VID, ushort PID)
{
    s_vendorId = VID;
    s_productId = PID;
    m_command.m_version.clear();
    if (!m_command.open(VID, PID))
        return false;
    m_status = 1;
    return true;
}

bool KV830Data::getFWAPProtocolVersion()
{
    const bool ok = m_command.getFWAPProtocolVersion();
    m_versionText = m_command.m_version;
    return ok;
}

bool KV830Data::sendListAmountOpen(int monitorNum)
{
    return m_command.sendListAmountOpen(lowByte(monitorNum));
}

bool KV830Data::sendOneListOfPortNum(int portNum, int monitorNum, int row, int col, int xResolutionL, int xResolutionH,
    int yResolutionL, int yResolutionH)
{
    const unsigned char data[8] = {lowByte(portNum), lowByte(monitorNum), lowByte(row), lowByte(col),
        lowByte(xResolutionL), lowByte(xResolutionH), lowByte(yResolutionL), lowByte(yResolutionH)};
    return m_command.sendOneListOfPortNum(data, 8);
}

bool KV830Data::sendOneListOfMouseData(int serialNum, int mode, int level, int position)
{
    const unsigned char data[4] = {lowByte(serialNum), lowByte(mode), lowByte(level), lowByte(position)};
    return m_command.sendOneListOfMouseData(data, 4);
}

bool KV830Data::sendListAmountClose()
{
    if (!m_command.sendListAmountClose())
        return false;
    emit listUploaded();
    return true;
}

void KV830Data::beginHeartBeat()
{
    // Made without parent and never deleted: it beats for the life of the process.
    m_heartBeatTimer = new QTimer();
    m_heartBeatTimer->setInterval(s_heartBeatInterval);
    m_heartBeatTimer->start();
    connect(m_heartBeatTimer, &QTimer::timeout, this, &KV830Data::heartBeat);
}

bool KV830Data::heartBeat()
{
    if (m_command.heartBeat()) {
        countAgents();
        if (m_status == 0) {
            m_status = 1;
            emit devStatusChanged();
        }
        emit heartBeatAnswered();
        return true;
    }
    // The command lock is free here, so the receiver may talk to the switch itself.
    if (m_status == 1) {
        m_status = 0;
        emit devStatusChanged();
    }
    // A switch that answers right after the reopen counts at once, not a beat later: until
    // then the pointer cannot cross.
    if (!m_command.open(s_vendorId, s_productId) || !m_command.heartBeat())
        return false;
    countAgents();
    m_status = 1;
    emit devStatusChanged();
    emit heartBeatAnswered();
    return true;
}

void KV830Data::countAgents()
{
    const int agents = m_command.m_heartBeatData[0];
    if (agents == m_agentsOnPort)
        return;
    const bool shared = agents > 1 && m_agentsOnPort <= 1;
    m_agentsOnPort = agents;
    if (shared)
        qInfo(
            "The switch has %d agents on this computer's port: another computer's agent is configured for it", agents);
    emit agentsOnPortChanged();
}

bool KV830Data::close()
{
    return m_command.close();
}

bool KV830Data::sendAllCommand(int cmd_Num, QList<QVariantMap> m_info, QVariantMap mouse_info)
{
    // value() gives an invalid QVariant for a missing key, and toInt() gives 0 for that and
    // for anything that does not convert.
    const auto intOf = [](const QVariantMap &map, const char *key) {
        return map.value(QLatin1String(key)).toInt();
    };

    m_lastUpload = {KV830::UploadResult::Done, 0, int(m_info.size()) + 3};
    int frame = 0;
    // Each frame announced before it goes, and on failure the result says which and how.
    const auto sent = [&](bool ok) {
        if (!ok) {
            m_lastUpload.outcome = m_command.lastRefused() ? KV830::UploadResult::Refused : KV830::UploadResult::Silent;
            m_lastUpload.failedFrame = frame;
        }
        return ok;
    };
    const auto next = [&] {
        if (m_uploadProgress)
            m_uploadProgress(++frame, m_lastUpload.frames);
        else
            ++frame;
    };

    qDebug().nospace() << "sendAllCommand() " << cmd_Num;
    next();
    if (!sent(sendListAmountOpen(cmd_Num)))
        return false;
    qDebug("sendAllCommand() finish");
    qDebug() << m_info.size();

    for (const QVariantMap &entry : qAsConst(m_info)) {
        static const char *const keys[8] = {"serialNum", "portNum", "x", "y", "w_l", "w_h", "h_l", "h_h"};
        static const char *const labels[8]
            = {"serialNum= ", "portNum= ", "xCoordinate= ", "yCoordinate= ", "w_l= ", "w_h= ", "h_l= ", "h_h= "};
        int v[8];
        for (int i = 0; i < 8; ++i) {
            v[i] = intOf(entry, keys[i]);
            qDebug().nospace() << labels[i] << v[i];
        }
        next();
        if (!sent(sendOneListOfPortNum(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7])))
            return false;
    }

    const int serialNum = intOf(mouse_info, "mouse_info");
    const int acceleration = intOf(mouse_info, "acceleration");
    const int speed = intOf(mouse_info, "speed");
    const int position = intOf(mouse_info, "position");
    qDebug().nospace() << "s_Num= " << serialNum;
    qDebug().nospace() << "acceleration= " << acceleration;
    qDebug().nospace() << "speed= " << speed;
    qDebug().nospace() << "position= " << position;
    next();
    if (!sent(sendOneListOfMouseData(serialNum, acceleration, speed, position)))
        return false;

    next();
    return sent(sendListAmountClose());
}

int KV830Data::status()
{
    return m_status;
}

bool KV830Data::getPortStatus()
{
    if (!m_command.getPortStatus())
        return false;
    KV830Reply::decodePortStatus(m_command.m_portStatusData, m_portStatus, m_portMask);
    return true;
}

bool KV830Data::getOneListOfPortNum(int index)
{
    if (!m_command.getOneListOfPortNum(lowByte(index)))
        return false;
    KV830Reply::decodePortList(m_command.m_portListData, m_portList);
    return true;
}

bool KV830Data::getMouseStatus()
{
    if (!m_command.getMouseStatus())
        return false;
    KV830Reply::decodeMouseStatus(m_command.m_mouseStatusData, m_mouseStatus);
    return true;
}

bool KV830Data::sendMouseStatus(int switchPortNum, int monRow, int monCol, int direction, int percent)
{
    const unsigned char data[5]
        = {lowByte(switchPortNum), lowByte(monRow), lowByte(monCol), lowByte(direction), lowByte(percent)};
    return m_command.sendMouseStatus(data, 5);
}

bool KV830Data::getSwitchingFocusStatus()
{
    if (!m_command.getSwitchingFocusStatus())
        return false;
    KV830Reply::decodeFocusStatus(m_command.m_focusStatusData, m_focusStatus);
    return true;
}
