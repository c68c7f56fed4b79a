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
KV830::PortStatus portStatus(const unsigned char data[5])
{
    KV830::PortStatus s;
    s.apPort = data[0];
    s.listNum = data[1];
    s.curPort = data[2];
    s.mousePosition = data[3];
    s.portMask = data[4];
    return s;
}

KV830::MonitorEntry monitorEntry(const unsigned char data[8])
{
    KV830::MonitorEntry e;
    e.port = data[0];
    e.index = data[1];
    e.row = data[2];
    e.col = data[3];
    e.width = word(data[4], data[5]);
    e.height = word(data[6], data[7]);
    return e;
}

KV830::MouseStatus mouseStatus(const unsigned char data[5])
{
    KV830::MouseStatus s;
    s.curPort = data[0];
    s.row = data[1];
    s.col = data[2];
    s.direction = data[3];
    s.percent = data[4];
    return s;
}

KV830::FocusStatus focusStatus(const unsigned char data[2])
{
    // Bits 4 to 6 of the first byte carry nothing for us.
    KV830::FocusStatus s;
    s.highlight = int((data[0] >> 7) & 0x01);
    s.duration = int(data[0] & 0x0F);
    s.cyclicSwitch = data[1];
    return s;
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
    // The upload's own key names: "serialNum" is the port, "portNum" the monitor's number
    // within it, "x" and "y" the row and column.
    static const char *const keys[8] = {"serialNum", "portNum", "x", "y", "w_l", "w_h", "h_l", "h_h"};
    UploadFrames frames;
    frames.announced = cmd_Num;
    for (const QVariantMap &entry : qAsConst(m_info)) {
        std::array<int, 8> v;
        for (int i = 0; i < 8; ++i)
            v[i] = intOf(entry, keys[i]);
        frames.entries.append(v);
    }
    frames.mouse = {intOf(mouse_info, "mouse_info"), intOf(mouse_info, "acceleration"), intOf(mouse_info, "speed"),
        intOf(mouse_info, "position")};
    return sendUpload(frames, {}).outcome == KV830::UploadResult::Done;
}

KV830::UploadResult KV830Data::upload(const QVector<KV830::MonitorEntry> &entries, const KV830::MouseSettings &mouse,
    const std::function<void(int frame, int frames)> &progress)
{
    // The entries and the mouse settings are the lists announced; the mouse list comes last.
    const int lists = entries.size() + 1;
    UploadFrames frames;
    frames.announced = lists;
    for (const KV830::MonitorEntry &e : entries)
        frames.entries.append(
            {e.port, e.index, e.row, e.col, e.width & 0xFF, e.width >> 8, e.height & 0xFF, e.height >> 8});
    frames.mouse = {lists, mouse.acceleration, mouse.speed, mouse.position};
    return sendUpload(frames, progress);
}

KV830::UploadResult KV830Data::sendUpload(const UploadFrames &frames, const std::function<void(int, int)> &progress)
{
    KV830::UploadResult result {KV830::UploadResult::Done, 0, int(frames.entries.size()) + 3};
    int frame = 0;
    // Each frame announced before it goes, and on failure the result says which and how.
    const auto sent = [&](bool ok) {
        if (!ok) {
            result.outcome = m_command.lastRefused() ? KV830::UploadResult::Refused : KV830::UploadResult::Silent;
            result.failedFrame = frame;
        }
        return ok;
    };
    const auto next = [&] {
        if (progress)
            progress(++frame, result.frames);
        else
            ++frame;
    };

    qDebug().nospace() << "sendAllCommand() " << frames.announced;
    next();
    if (!sent(sendListAmountOpen(frames.announced)))
        return result;
    qDebug("sendAllCommand() finish");
    qDebug() << frames.entries.size();

    for (const std::array<int, 8> &v : frames.entries) {
        static const char *const labels[8]
            = {"serialNum= ", "portNum= ", "xCoordinate= ", "yCoordinate= ", "w_l= ", "w_h= ", "h_l= ", "h_h= "};
        for (int i = 0; i < 8; ++i)
            qDebug().nospace() << labels[i] << v[i];
        next();
        if (!sent(sendOneListOfPortNum(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7])))
            return result;
    }

    const int serialNum = frames.mouse[0];
    const int acceleration = frames.mouse[1];
    const int speed = frames.mouse[2];
    const int position = frames.mouse[3];
    qDebug().nospace() << "s_Num= " << serialNum;
    qDebug().nospace() << "acceleration= " << acceleration;
    qDebug().nospace() << "speed= " << speed;
    qDebug().nospace() << "position= " << position;
    next();
    if (!sent(sendOneListOfMouseData(serialNum, acceleration, speed, position)))
        return result;

    next();
    sent(sendListAmountClose());
    return result;
}

int KV830Data::status()
{
    return m_status;
}

std::optional<KV830::PortStatus> KV830Data::getPortStatus()
{
    if (!m_command.getPortStatus())
        return std::nullopt;
    const KV830::PortStatus s = KV830Reply::portStatus(m_command.m_portStatusData);
    // Keys are assigned one by one and the maps never cleared: old keys survive, new ones win.
    m_portStatus[QStringLiteral("apportNum")] = s.apPort;
    m_portStatus[QStringLiteral("listNum")] = s.listNum;
    m_portStatus[QStringLiteral("curportNum")] = s.curPort;
    m_portStatus[QStringLiteral("mouseposition")] = s.mousePosition;
    m_portMask = s.portMask;
    return s;
}

std::optional<KV830::MonitorEntry> KV830Data::getOneListOfPortNum(int index)
{
    if (!m_command.getOneListOfPortNum(lowByte(index)))
        return std::nullopt;
    const KV830::MonitorEntry e = KV830Reply::monitorEntry(m_command.m_portListData);
    m_portList[QStringLiteral("portNum")] = e.port;
    m_portList[QStringLiteral("monitorIndexNum")] = e.index;
    m_portList[QStringLiteral("row")] = e.row;
    m_portList[QStringLiteral("col")] = e.col;
    m_portList[QStringLiteral("width")] = e.width;
    m_portList[QStringLiteral("height")] = e.height;
    return e;
}

std::optional<KV830::MouseStatus> KV830Data::getMouseStatus()
{
    if (!m_command.getMouseStatus())
        return std::nullopt;
    const KV830::MouseStatus s = KV830Reply::mouseStatus(m_command.m_mouseStatusData);
    m_mouseStatus[QStringLiteral("curportNum")] = s.curPort;
    m_mouseStatus[QStringLiteral("portRow")] = s.row;
    m_mouseStatus[QStringLiteral("portCol")] = s.col;
    m_mouseStatus[QStringLiteral("direction")] = s.direction;
    m_mouseStatus[QStringLiteral("percent")] = s.percent;
    return s;
}

bool KV830Data::sendMouseStatus(int switchPortNum, int monRow, int monCol, int direction, int percent)
{
    const unsigned char data[5]
        = {lowByte(switchPortNum), lowByte(monRow), lowByte(monCol), lowByte(direction), lowByte(percent)};
    return m_command.sendMouseStatus(data, 5);
}

std::optional<KV830::FocusStatus> KV830Data::getSwitchingFocusStatus()
{
    if (!m_command.getSwitchingFocusStatus())
        return std::nullopt;
    const KV830::FocusStatus s = KV830Reply::focusStatus(m_command.m_focusStatusData);
    m_focusStatus[QStringLiteral("status")] = s.highlight;
    m_focusStatus[QStringLiteral("duration")] = s.duration;
    m_focusStatus[QStringLiteral("cyclic_switch")] = s.cyclicSwitch;
    return s;
}
