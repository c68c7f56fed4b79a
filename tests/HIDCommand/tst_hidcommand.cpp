// The switch link's two layers over the in-process switch: hidapi's lifetime and exchanges
// (HidCommand), and the frames, checksums and replies of each command (GeneralCommand).

#include "HIDCommand/generalcommand.h"
#include "messagelog.h"
#include "virtualhid.h"

#include <QtTest>

namespace
{
QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
} // skips the spaces
QByteArray bytes(const unsigned char *data, int n)
{
    return QByteArray(reinterpret_cast<const char *>(data), n);
}
QByteArray lastFrame()
{
    return VirtualHid::sentFrames().value(VirtualHid::sentFrames().size() - 1);
}
QString s(const char *text)
{
    return QString::fromLatin1(text);
}
const unsigned char heartBeat[8] = {0x46, 0, 0, 0, 0, 0, 0, 0x46}, entry[8] = {1, 1, 0, 0, 0x80, 0x07, 0x38, 0x04};
} // namespace

class TestHidCommand : public QObject
{
    Q_OBJECT

    GeneralCommand *m_cmd = nullptr;

private slots:
    void init()
    {
        VirtualHid::reset();
        m_cmd = new GeneralCommand;
        QVERIFY(m_cmd->open(1, 2));
        VirtualHid::clearSentFrames();
    }
    void cleanup()
    {
        m_cmd->close();
        delete m_cmd;
    }

    void openAndClose()
    {
        m_cmd->close();
        VirtualHid::reset();
        MessageLog log;
        HidCommand hid;
        unsigned char buffer[8] = {0xC6};
        // Closed: no library is touched.
        QVERIFY(!hid.sendRequest(heartBeat, 8) && !hid.getReply(buffer, 8) && hid.closedevice());
        QCOMPARE(log.count(s("please open device first !")), 2);
        QCOMPARE(log.count(s("\nclosedev() called")), 1);
        QCOMPARE(VirtualHid::initCalls() + VirtualHid::exitCalls() + VirtualHid::closeCalls(), 0);
        // hid_init failing logs nothing and leaves nothing to shut down.
        VirtualHid::failNextInit();
        QVERIFY(!hid.opendevice(1, 2));
        QCOMPARE(log.lines().size(), 3);
        QCOMPARE(VirtualHid::exitCalls(), 0);
        // No device: hidapi is shut down again, and the next attempt starts with hid_init.
        VirtualHid::unplug();
        QVERIFY(!hid.opendevice(1, 2) && !hid.isOpen());
        QCOMPARE(log.lines().mid(3), QStringList({s("hid_init() ok."), s("unable to open device")}));
        QCOMPARE(VirtualHid::exitCalls(), 1);
        VirtualHid::plug();
        QVERIFY(hid.opendevice(1, 2));
        QCOMPARE(VirtualHid::initCalls(), 3);
        QVERIFY(hid.closedevice());
        VirtualHid::reset();
        // The heartbeat reopens without closing first: each reopen gives the held handle back.
        for (int i = 0; i < 9; ++i)
            QVERIFY(hid.opendevice(1, 2) && hid.isOpen());
        QCOMPARE(VirtualHid::openHandles(), 1);
        QCOMPARE(VirtualHid::initCalls() - VirtualHid::exitCalls(), 1);
        QVERIFY(hid.closedevice() && !hid.isOpen());
        QCOMPARE(VirtualHid::openHandles(), 0);
        // A reopen that finds no switch still gives the old handle back.
        QVERIFY(hid.opendevice(1, 2));
        VirtualHid::unplug();
        QVERIFY(!hid.opendevice(1, 2));
        QCOMPARE(VirtualHid::openHandles(), 0);
        QCOMPARE(VirtualHid::initCalls(), VirtualHid::exitCalls());
    }

    void failedAndShortExchanges()
    {
        MessageLog log;
        HidCommand hid;
        QVERIFY(hid.opendevice(1, 2));
        unsigned char buffer[8] = {0xC6};
        // A failed send or read is logged and the handle is kept for the next exchange.
        VirtualHid::failNextSend();
        QVERIFY(!hid.sendRequest(heartBeat, 8) && hid.sendRequest(heartBeat, 8));
        VirtualHid::failNextRead();
        QVERIFY(!hid.getReply(buffer, 8));
        QVERIFY(
            log.contains(s("Unable to send a feature report.")) && log.contains(s("Unable to get a feature report.")));
        // A short read counts as read; what did not come keeps the caller's bytes.
        for (int n : {0, 1, 7}) {
            unsigned char partial[8] = {0xC6, 0xEE};
            VirtualHid::shortenNextReply(n);
            QVERIFY(hid.sendRequest(heartBeat, 8) && hid.getReply(partial, 8));
            QCOMPARE(partial[1], n < 2 ? 0xEE : 0x00);
        }
    }

    void frames_data()
    {
        QTest::addColumn<int>("command");
        QTest::addColumn<QByteArray>("frame");
        const std::pair<const char *, const char *> rows[]
            = {{"heartBeat", "46 00 00 00 00 00 00 46"}, {"getPortStatus", "4A 00 00 00 00 00 00 4A"},
                {"getOneListOfPortNum", "47 03 00 00 00 00 00 4A"}, {"sendListAmountOpen", "42 02 00 00 00 00 00 44"},
                {"sendOneListOfPortNum", "43 01 01 00 00 80 07 38 04 08"}, // the sum 0x108 cut to its low byte
                {"sendOneListOfMouseData", "44 01 02 03 04 00 00 00 00 4E"},
                {"sendMouseStatus", "49 02 01 03 07 32 00 88"}};
        for (int i = 0; i < int(std::size(rows)); ++i)
            QTest::newRow(rows[i].first) << i << hex(rows[i].second);
    }
    void frames()
    {
        QFETCH(int, command);
        QFETCH(QByteArray, frame);
        VirtualHid::model().monitors = {{1, 1, 0, 0, 1920, 1080}, {2, 1, 0, 1, 1920, 1080}, {2, 2, 0, 2, 1280, 1024}};
        const unsigned char mouse[4] = {1, 2, 3, 4}, sw[5] = {2, 1, 3, 7, 50};
        const bool accepted = command == 0 ? m_cmd->heartBeat()
            : command == 1                 ? m_cmd->getPortStatus()
            : command == 2                 ? m_cmd->getOneListOfPortNum(3)
            : command == 3                 ? m_cmd->sendListAmountOpen(2)
            : command == 4                 ? m_cmd->sendListAmountOpen(1) && m_cmd->sendOneListOfPortNum(entry, 8)
            : command == 5                 ? m_cmd->sendListAmountOpen(1) && m_cmd->sendOneListOfMouseData(mouse, 4)
                                           : m_cmd->sendMouseStatus(sw, 5);
        QVERIFY(accepted);
        QCOMPARE(lastFrame(), frame);
    }

    void buildAndChecksum()
    {
        // 0x200 wraps to 0, and the checksum byte itself is not summed.
        const unsigned char frame[8] = {0xFF, 0xFF, 0x02, 0, 0, 0, 0, 0x99};
        QCOMPARE(GeneralCommand::checksum(frame, 8), 0x00);
        // More bytes than the frame has room for must not spill over the checksum.
        const unsigned char params[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
        unsigned char out[GeneralCommand::ListRequestLength];
        QCOMPARE(GeneralCommand::buildRequest(0x49, params, 12, out), 8);
        QCOMPARE(bytes(out, 8), hex("49 01 02 03 04 05 06 5E"));
        QCOMPARE(GeneralCommand::buildRequest(0x43, params, 12, out), 10);
        QCOMPARE(bytes(out, 10), hex("43 01 02 03 04 05 06 07 08 67"));
        QCOMPARE(GeneralCommand::buildRequest(0x46, params, -3, out), 8);
        QCOMPARE(bytes(out, 8), hex("46 00 00 00 00 00 00 46"));
    }

    void onlyTheStatusByteDecides()
    {
        // A reply with the wrong report ID but status 0x00 is accepted.
        VirtualHid::overrideNextReply(hex("00 00 05 06 07 08 09 00"));
        QVERIFY(m_cmd->getPortStatus());
        QCOMPARE(bytes(m_cmd->m_portStatusData, 5), hex("05 06 07 08 09"));
        // Any non-zero status refuses, as does a failed send or read; the last accepted data stays.
        for (const char *status : {"01", "80", "FF"}) {
            VirtualHid::overrideNextReply(hex("CA") + hex(status) + hex("11 11 11 11 11 00"));
            QVERIFY(!m_cmd->getPortStatus());
        }
        VirtualHid::failNextSend();
        QVERIFY(!m_cmd->getPortStatus());
        VirtualHid::failNextRead();
        QVERIFY(!m_cmd->getPortStatus());
        QCOMPARE(bytes(m_cmd->m_portStatusData, 5), hex("05 06 07 08 09"));
        // The exchange after a failed read is not confused by the reply left behind.
        VirtualHid::model().mousePosition = 4;
        QVERIFY(m_cmd->getPortStatus());
        QCOMPARE(bytes(m_cmd->m_portStatusData, 5), hex("01 00 01 04 03"));
    }

    void listCountingAndVersion()
    {
        const unsigned char mouse[4] = {1, 0, 0, 0};
        QVERIFY(m_cmd->sendListAmountOpen(0) && m_cmd->sendListAmountClose()); // right after open: 0
        QCOMPARE(lastFrame(), hex("45 00 00 00 00 00 00 45"));
        // Only accepted list frames count; a refused one does not.
        QVERIFY(m_cmd->sendListAmountOpen(3) && m_cmd->sendOneListOfPortNum(entry, 8));
        VirtualHid::refuseNext(1);
        QVERIFY(!m_cmd->sendOneListOfPortNum(entry, 8));
        QVERIFY(m_cmd->sendOneListOfMouseData(mouse, 4) && m_cmd->sendListAmountClose());
        QCOMPARE(lastFrame(), hex("45 02 00 00 00 00 00 47"));
        // Closing does not reset; a failed open does.
        QVERIFY(!m_cmd->sendListAmountClose()); // the switch has no upload open any more
        QCOMPARE(lastFrame().at(1), char(2));
        VirtualHid::failNextSend();
        QVERIFY(!m_cmd->sendListAmountOpen(1) && !m_cmd->sendListAmountClose());
        QCOMPARE(lastFrame(), hex("45 00 00 00 00 00 00 45"));

        // The version text accumulates; a refused query leaves it and logs nothing.
        MessageLog log;
        QVERIFY(m_cmd->getFWAPProtocolVersion());
        QVERIFY(log.contains(s("get m_version = 101230")));
        VirtualHid::model().version[2] = 255;
        VirtualHid::refuseNext(1);
        QVERIFY(!m_cmd->getFWAPProtocolVersion() && m_cmd->getFWAPProtocolVersion());
        QCOMPARE(m_cmd->m_version, s("1012301025530"));
        QCOMPARE(log.lines().size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestHidCommand)
#include "tst_hidcommand.moc"
