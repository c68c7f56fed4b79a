#pragma once

#include "hidcommand.h"

#include <QMutex>
#include <QString>

// The switch's command protocol: builds each request frame with its checksum, runs the
// request/reply exchange under one lock and keeps the data bytes of the last accepted reply
// of each query.
class GeneralCommand
{
public:
    static constexpr int RequestLength = 8;
    static constexpr int ListRequestLength = 10; // 0x43 and 0x44
    static constexpr int ReplyLength = 8;
    static constexpr int EntryReplyLength = 11; // 0xC7
    static constexpr unsigned char ReplyIdOffset = 0x80;
    static constexpr unsigned char StatusAccepted = 0x00;
    // Reads of one exchange, and its time, after which answers with another ID count as a
    // lost exchange.
    static constexpr int MaxReads = 4;
    static constexpr int StallBoundMsec = 200;

    GeneralCommand() = default;
    GeneralCommand(const GeneralCommand &) = delete;
    GeneralCommand &operator=(const GeneralCommand &) = delete;

    bool open(unsigned short vendorId, unsigned short productId);
    bool close();

    // Sum of bytes 0 to length - 2, modulo 256.
    static unsigned char checksum(const unsigned char *frame, int length);
    // Request length of a report ID: 10 for the two list frames, 8 otherwise.
    static int requestLength(unsigned char requestId);
    static int replyLength(unsigned char requestId);
    // Writes the complete request (ID, parameters, zero padding, checksum) into frame, which
    // must hold ListRequestLength bytes; parameters that do not fit are dropped. Returns the length.
    static int buildRequest(unsigned char requestId, const unsigned char *params, int count, unsigned char *frame);

    bool getFWAPProtocolVersion();
    bool sendListAmountOpen(unsigned char monitorNum);
    bool sendOneListOfPortNum(const unsigned char *data, int count);
    bool sendOneListOfMouseData(const unsigned char *data, int count);
    bool sendListAmountClose();
    bool heartBeat();
    bool getOneListOfPortNum(unsigned char index);
    bool getMouseStatus();
    bool sendMouseStatus(const unsigned char *data, int count);
    bool getPortStatus();
    bool getSwitchingFocusStatus();

    // Data bytes of the last accepted reply of each query, from reply byte 2 on.
    QString m_version;
    unsigned char m_portStatusData[5] = {};
    unsigned char m_portListData[8] = {};
    unsigned char m_mouseStatusData[5] = {};
    unsigned char m_focusStatusData[2] = {};
    // Byte 2 of the heartbeat answer: how many agents the switch serves on the asking one's
    // port (0 from a switch that does not count them).
    unsigned char m_heartBeatData[1] = {};

    // Answers dropped for carrying another request's ID, since construction. A change across
    // a series of exchanges means an answer in it may have been another's.
    quint32 strayAnswers() const { return m_strayAnswers; }
    // Whether the last failed exchange got an answer that refused it, rather than no answer.
    bool lastRefused() const { return m_lastRefused; }

private:
    // Sends one request and reads its reply under m_lock. On an accepted reply copies
    // dataCount bytes from reply byte 2 on into data and returns true.
    bool transact(unsigned char requestId, const unsigned char *params, int count, unsigned char *data = nullptr,
        int dataCount = 0);

    HidCommand m_hid;
    int m_sentLists = 0;
    quint32 m_strayAnswers = 0;
    bool m_lastRefused = false;
    QMutex m_lock;
};
