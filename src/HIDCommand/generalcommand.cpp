#include "generalcommand.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QMutexLocker>

#include <algorithm>
#include <cstring>

namespace
{
constexpr unsigned char s_getVersion = 0x41;
constexpr unsigned char s_listAmountOpen = 0x42;
constexpr unsigned char s_oneListOfPortNum = 0x43;
constexpr unsigned char s_oneListOfMouseData = 0x44;
constexpr unsigned char s_listAmountClose = 0x45;
constexpr unsigned char s_heartBeat = 0x46;
constexpr unsigned char s_getOneListOfPortNum = 0x47;
constexpr unsigned char s_getMouseStatus = 0x48;
constexpr unsigned char s_sendMouseStatus = 0x49;
constexpr unsigned char s_getPortStatus = 0x4A;
constexpr unsigned char s_getFocusStatus = 0x4B;
} // namespace

bool GeneralCommand::open(unsigned short vendorId, unsigned short productId)
{
    return m_hid.opendevice(vendorId, productId);
}

bool GeneralCommand::close()
{
    return m_hid.closedevice();
}

unsigned char GeneralCommand::checksum(const unsigned char *frame, int length)
{
    unsigned int sum = 0;
    for (int i = 0; i < length - 1; ++i)
        sum += frame[i];
    return static_cast<unsigned char>(sum & 0xFF);
}

int GeneralCommand::requestLength(unsigned char requestId)
{
    return (requestId == s_oneListOfPortNum || requestId == s_oneListOfMouseData) ? ListRequestLength : RequestLength;
}

int GeneralCommand::replyLength(unsigned char requestId)
{
    return requestId == s_getOneListOfPortNum ? EntryReplyLength : ReplyLength;
}

int GeneralCommand::buildRequest(unsigned char requestId, const unsigned char *params, int count, unsigned char *frame)
{
    const int length = requestLength(requestId);
    std::memset(frame, 0, length);
    frame[0] = requestId;
    // Byte 0 is the ID and the last byte the checksum; the parameters go in between.
    const int room = length - 2;
    const int n = params ? std::clamp(count, 0, room) : 0;
    if (n > 0)
        std::memcpy(frame + 1, params, n);
    frame[length - 1] = checksum(frame, length);
    return length;
}

bool GeneralCommand::transact(
    unsigned char requestId, const unsigned char *params, int count, unsigned char *data, int dataCount)
{
    unsigned char request[ListRequestLength];
    if (count > requestLength(requestId) - 2)
        qDebug("request 0x%02X takes at most %d parameter bytes, %d given; the rest is dropped", requestId,
            requestLength(requestId) - 2, count);
    const int requestLen = buildRequest(requestId, params, count, request);

    unsigned char reply[EntryReplyLength] = {};
    const int replyLen = replyLength(requestId);
    const auto replyId = static_cast<unsigned char>(requestId | ReplyIdOffset);
    m_lastRefused = false;

    {
        QMutexLocker locker(&m_lock);
        if (!m_hid.sendRequest(request, requestLen))
            return false;
        // An answer that carries another ID belongs to an earlier request (a switch that answered
        // twice, or late): it is read past, within a few reads and the stall bound, so that one
        // stray answer does not shift every later one.
        QElapsedTimer waited;
        waited.start();
        qint64 longestRead = 0;
        for (int reads = 1;; ++reads) {
            std::memset(reply, 0, sizeof reply);
            reply[0] = replyId;
            const qint64 before = waited.elapsed();
            if (!m_hid.getReply(reply, replyLen))
                return false;
            longestRead = qMax(longestRead, waited.elapsed() - before);
            if (reply[0] == replyId)
                break;
            ++m_strayAnswers;
            qDebug("dropped an answer with ID 0x%02X while waiting for 0x%02X", reply[0], replyId);
            // No read that would end past the bound, as far as the reads so far tell.
            if (reads >= MaxReads || waited.elapsed() + longestRead > StallBoundMsec) {
                qDebug("no answer with ID 0x%02X in %d reads, %lld ms", replyId, reads, qint64(waited.elapsed()));
                return false;
            }
        }
    }

    // The switch refuses with a non-zero status byte; nothing is logged for it.
    if (reply[1] != StatusAccepted) {
        m_lastRefused = true;
        return false;
    }
    if (data && dataCount > 0)
        std::memcpy(data, reply + 2, std::min(dataCount, replyLen - 2));
    return true;
}

bool GeneralCommand::getFWAPProtocolVersion()
{
    unsigned char numbers[5];
    if (!transact(s_getVersion, nullptr, 0, numbers, sizeof numbers))
        return false;
    for (unsigned char n : numbers)
        m_version += QString::number(n);
    qDebug().noquote().nospace() << "get m_version = " << m_version;
    return true;
}

bool GeneralCommand::sendListAmountOpen(unsigned char monitorNum)
{
    // Reset before the exchange: a failed open still starts a new count.
    m_sentLists = 0;
    return transact(s_listAmountOpen, &monitorNum, 1);
}

bool GeneralCommand::sendOneListOfPortNum(const unsigned char *data, int count)
{
    if (!transact(s_oneListOfPortNum, data, count))
        return false;
    ++m_sentLists;
    return true;
}

bool GeneralCommand::sendOneListOfMouseData(const unsigned char *data, int count)
{
    if (!transact(s_oneListOfMouseData, data, count))
        return false;
    ++m_sentLists;
    return true;
}

bool GeneralCommand::sendListAmountClose()
{
    const unsigned char sent = static_cast<unsigned char>(m_sentLists & 0xFF);
    return transact(s_listAmountClose, &sent, 1);
}

bool GeneralCommand::heartBeat()
{
    return transact(s_heartBeat, nullptr, 0, m_heartBeatData, sizeof m_heartBeatData);
}

bool GeneralCommand::getOneListOfPortNum(unsigned char index)
{
    return transact(s_getOneListOfPortNum, &index, 1, m_portListData, sizeof m_portListData);
}

bool GeneralCommand::getMouseStatus()
{
    return transact(s_getMouseStatus, nullptr, 0, m_mouseStatusData, sizeof m_mouseStatusData);
}

bool GeneralCommand::sendMouseStatus(const unsigned char *data, int count)
{
    return transact(s_sendMouseStatus, data, count);
}

bool GeneralCommand::getPortStatus()
{
    return transact(s_getPortStatus, nullptr, 0, m_portStatusData, sizeof m_portStatusData);
}

bool GeneralCommand::getSwitchingFocusStatus()
{
    return transact(s_getFocusStatus, nullptr, 0, m_focusStatusData, sizeof m_focusStatusData);
}
