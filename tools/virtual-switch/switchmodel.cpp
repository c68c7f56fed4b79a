#include "switchmodel.h"

namespace
{
int byteAt(const QByteArray &frame, int i)
{
    return static_cast<unsigned char>(frame.at(i));
}

int expectedLength(int requestId)
{
    return (requestId == 0x43 || requestId == 0x44) ? 10 : 8;
}
} // namespace

unsigned char SwitchModel::checksum(const QByteArray &frame)
{
    unsigned int sum = 0;
    for (int i = 0; i < frame.size() - 1; ++i)
        sum += static_cast<unsigned char>(frame.at(i));
    return static_cast<unsigned char>(sum);
}

QByteArray SwitchModel::reply(char requestId, char status, const QByteArray &data)
{
    // The monitor-entry reply is 11 bytes, every other one 8; the tail stays zero.
    QByteArray r(requestId == 0x47 ? 11 : 8, '\0');
    r[0] = static_cast<char>(static_cast<unsigned char>(requestId) | 0x80);
    r[1] = status;
    for (int i = 0; i < data.size() && 2 + i < r.size(); ++i)
        r[2 + i] = data.at(i);
    return r;
}

QByteArray SwitchModel::handle(int apport, const QByteArray &request, int agents)
{
    if (request.isEmpty())
        return reply(0, Refused);
    const char id = request.at(0);
    const int code = byteAt(request, 0);
    if (code < 0x41 || code > 0x4B || request.size() != expectedLength(code)
        || checksum(request) != static_cast<unsigned char>(request.back()))
        return reply(id, Refused);

    switch (code) {
    case 0x41:
        return reply(id, Accepted, QByteArray(reinterpret_cast<const char *>(version), 5));
    case 0x42:
    case 0x43:
    case 0x44:
    case 0x45:
        return reply(id, acceptUploadFrame(id, request) ? Accepted : Refused);
    case 0x46:
        // Byte 2: agents on the asking one's port; more than one is a configuration fault.
        return reply(id, Accepted, QByteArray(1, char(qBound(0, agents, 255))));
    case 0x47: {
        const int index = byteAt(request, 1);
        if (index < 1 || index > monitors.size())
            return reply(id, Refused);
        const MonitorEntry &m = monitors.at(index - 1);
        const char data[8] = {char(m.port), char(m.monitorIndex), char(m.row), char(m.col), char(m.width & 0xFF),
            char(m.width >> 8), char(m.height & 0xFF), char(m.height >> 8)};
        return reply(id, Accepted, QByteArray(data, 8));
    }
    case 0x48: {
        const MouseStatus &s = mouseStatus;
        const char data[5] = {char(s.port), char(s.row), char(s.col), char(s.direction), char(s.percent)};
        return reply(id, Accepted, QByteArray(data, 5));
    }
    case 0x49: {
        const int port = byteAt(request, 1);
        if (!isPresent(port))
            return reply(id, Refused);
        mouseStatus = {port, byteAt(request, 2), byteAt(request, 3), byteAt(request, 4), byteAt(request, 5)};
        currentPort = port;
        if (onSwitched)
            onSwitched(port);
        return reply(id, Accepted);
    }
    case 0x4A: {
        const char data[5] = {
            char(apport), char(qMin(monitors.size(), 255)), char(currentPort), char(mousePosition), char(presentMask)};
        return reply(id, Accepted, QByteArray(data, 5));
    }
    case 0x4B: {
        const char data[2] = {char((highlightOn ? 0x80 : 0x00) | (highlightDuration & 0x0F)), char(cyclicSwitch)};
        return reply(id, Accepted, QByteArray(data, 2));
    }
    }
    return reply(id, Refused);
}

bool SwitchModel::acceptUploadFrame(char requestId, const QByteArray &request)
{
    switch (requestId) {
    case 0x42:
        // The announced number is not checked: the close frame's count is what counts.
        m_uploadOpen = true;
        m_uploadAccepted = 0;
        m_uploadEntries.clear();
        m_uploadHasSettings = false;
        return true;
    case 0x43: {
        // listNum travels in one byte, so a list holds at most 255 entries.
        const int port = byteAt(request, 1);
        if (!m_uploadOpen || port < 1 || port > PortCount || m_uploadEntries.size() >= 255)
            return false;
        m_uploadEntries.append({port, byteAt(request, 2), byteAt(request, 3), byteAt(request, 4),
            byteAt(request, 5) | byteAt(request, 6) << 8, byteAt(request, 7) | byteAt(request, 8) << 8});
        ++m_uploadAccepted;
        return true;
    }
    case 0x44:
        if (!m_uploadOpen)
            return false;
        m_uploadSettings = {byteAt(request, 1), byteAt(request, 2), byteAt(request, 3), byteAt(request, 4)};
        m_uploadHasSettings = true;
        ++m_uploadAccepted;
        return true;
    case 0x45: {
        const bool complete = m_uploadOpen && byteAt(request, 1) == (m_uploadAccepted & 0xFF);
        if (complete) {
            monitors = m_uploadEntries;
            if (m_uploadHasSettings) {
                mouseSettings = m_uploadSettings;
                mousePosition = m_uploadSettings.position;
            }
        }
        // Either way the upload is over; a wrong count throws away what came.
        m_uploadOpen = false;
        m_uploadEntries.clear();
        m_uploadHasSettings = false;
        return complete;
    }
    }
    return false;
}
