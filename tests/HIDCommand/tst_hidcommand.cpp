// The switch link's two layers over the in-process switch: hidapi's handle, and each command's frames and replies.

#include "HIDCommand/generalcommand.h"
#include "messagelog.h"
#include "virtualhid.h"

#include <QtTest>

namespace
{
const unsigned char heartBeat[8] = {0x46, 0, 0, 0, 0, 0, 0, 0x46}, entry[8] = {1, 1, 0, 0, 0x80, 0x07, 0x38, 0x04};
QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}
} // namespace

class TestHidCommand : public QObject
{
    Q_OBJECT

    GeneralCommand m_cmd;

private slots:
    void init()
    {
        VirtualHid::reset();
        QVERIFY(m_cmd.open(1, 2));
    }

    void openCloseAndShortReads()
    {
        m_cmd.close();
        VirtualHid::reset();
        HidCommand hid;
        unsigned char buffer[8] = {0xC6, 0xEE};
        QVERIFY(!hid.sendRequest(heartBeat, 8) && !hid.getReply(buffer, 8) && hid.closedevice());
        VirtualHid::failNextInit();
        VirtualHid::unplug();
        QVERIFY(!hid.opendevice(1, 2) && !hid.opendevice(1, 2) && VirtualHid::openHandles() == 0);
        QCOMPARE(VirtualHid::exitCalls(), 1); // hidapi is shut down again only after a good hid_init
        VirtualHid::plug();
        for (int i = 0; i < 3; ++i) // the heartbeat reopens without closing: the held handle goes back
            QVERIFY(hid.opendevice(1, 2) && VirtualHid::openHandles() == 1);
        VirtualHid::shortenNextReply(1); // a short read counts, what did not come keeps the caller's bytes
        QVERIFY(hid.sendRequest(heartBeat, 8) && hid.getReply(buffer, 8));
        QCOMPARE(buffer[1], 0xEE);
        VirtualHid::unplug(); // a reopen that finds no switch still gives the old handle back
        QVERIFY(!hid.opendevice(1, 2));
        QCOMPARE(VirtualHid::openHandles(), 0);
        QCOMPARE(VirtualHid::initCalls(), VirtualHid::exitCalls() + 1);
    }

    void frames_data()
    {
        QTest::addColumn<int>("command");
        QTest::addColumn<QByteArray>("frame");
        const char *rows[] = {"46 00 00 00 00 00 00 46", "4A 00 00 00 00 00 00 4A", "47 03 00 00 00 00 00 4A",
            "42 02 00 00 00 00 00 44", "43 01 01 00 00 80 07 38 04 08", // the sum 0x108 cut to its low byte
            "44 01 02 03 04 00 00 00 00 4E", "49 02 01 03 07 32 00 88"};
        for (int i = 0; i < int(std::size(rows)); ++i)
            QTest::newRow(rows[i]) << i << hex(rows[i]);
    }
    void frames()
    {
        QFETCH(int, command);
        QFETCH(QByteArray, frame);
        VirtualHid::model().monitors = {{1, 1, 0, 0, 1920, 1080}, {2, 1, 0, 1, 1920, 1080}, {2, 2, 0, 2, 1280, 1024}};
        const unsigned char mouse[4] = {1, 2, 3, 4}, sw[5] = {2, 1, 3, 7, 50};
        const bool accepted = command == 0 ? m_cmd.heartBeat()
            : command == 1                 ? m_cmd.getPortStatus()
            : command == 2                 ? m_cmd.getOneListOfPortNum(3)
            : command == 3                 ? m_cmd.sendListAmountOpen(2)
            : command == 4                 ? m_cmd.sendListAmountOpen(1) && m_cmd.sendOneListOfPortNum(entry, 8)
            : command == 5                 ? m_cmd.sendListAmountOpen(1) && m_cmd.sendOneListOfMouseData(mouse, 4)
                                           : m_cmd.sendMouseStatus(sw, 5);
        QVERIFY(accepted && VirtualHid::sentFrames().last() == frame);
    }

    void onlyTheStatusByteDecides()
    {
        VirtualHid::overrideNextReply(hex("CA 00 05 06 07 08 09 00"));
        QVERIFY(m_cmd.getPortStatus());
        for (const char *status : {"01", "80", "FF"}) {
            VirtualHid::overrideNextReply(hex("CA") + hex(status) + hex("11 11 11 11 11 00"));
            QVERIFY(!m_cmd.getPortStatus());
        }
        VirtualHid::failNextRead();
        QVERIFY(!m_cmd.getPortStatus());
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(m_cmd.m_portStatusData), 5), hex("05 06 07 08 09"));
    }

    // An answer must carry its request's ID | 0x80: one that does not is logged and read past, so
    // that a switch answering twice or with a wrong ID cannot shift the answers that follow.
    void strayAnswers()
    {
        SwitchModel &sw = VirtualHid::model();
        sw.monitors = {{2, 1, 1, 2, 1920, 1080}};
        sw.mouseStatus = {2, 1, 2, 7, 50};
        const auto bytes = [](const unsigned char *data, int n) {
            return QByteArray(reinterpret_cast<const char *>(data), n).toHex();
        };
        const auto entryOk = [&] {
            return m_cmd.getOneListOfPortNum(1) && bytes(m_cmd.m_portListData, 8) == "0201010280073804";
        };
        MessageLog log;
        VirtualHid::answerWithWrongId(1); // not taken; the next exchange is in step
        QVERIFY(!m_cmd.getPortStatus());
        QVERIFY(log.contains(QStringLiteral("dropped an answer with ID 0xCB while waiting for 0xCA")));
        QVERIFY(entryOk());
        VirtualHid::answerTwice(3); // each copy is read past before the next answer
        QVERIFY(m_cmd.getPortStatus() && entryOk() && m_cmd.getMouseStatus() && m_cmd.heartBeat() && entryOk());
        QCOMPARE(bytes(m_cmd.m_mouseStatusData, 5), QByteArray("0201020732"));
        QCOMPARE(m_cmd.strayAnswers(), 4u);
        int taken = 0; // a switch whose every answer carries a wrong ID gets nothing accepted
        VirtualHid::answerWithWrongId(262);
        for (int i = 0; i < 262; ++i)
            taken += m_cmd.heartBeat();
        QVERIFY(taken == 0 && entryOk());
        int reads = 0; // nothing but stray answers: a bounded number of reads, then the exchange fails
        VirtualHid::setReplySource([&](const QByteArray &, QByteArray &reply) {
            ++reads;
            reply = hex("C6 00 00 00 00 00 00 00");
            return true;
        });
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!m_cmd.getPortStatus());
        QVERIFY(reads == GeneralCommand::MaxReads && clock.elapsed() < GeneralCommand::StallBoundMsec);
        reads = 0; // slow ones: no read begins that would end past the bound (a fourth would end at 240 ms or later)
        VirtualHid::setAnswerDelay(60);
        QVERIFY(!m_cmd.getPortStatus());
        VirtualHid::setReplySource({});
        QVERIFY2(reads <= 3, QByteArray::number(reads).constData());
    }

    void listCounting()
    {
        const unsigned char mouse[4] = {1, 0, 0, 0};
        // Only accepted list frames count; closing does not reset, a failed open does.
        QVERIFY(m_cmd.sendListAmountOpen(3) && m_cmd.sendOneListOfPortNum(entry, 8));
        VirtualHid::refuseNext(1);
        QVERIFY(!m_cmd.sendOneListOfPortNum(entry, 8));
        QVERIFY(m_cmd.sendOneListOfMouseData(mouse, 4) && m_cmd.sendListAmountClose());
        QCOMPARE(VirtualHid::sentFrames().last(), hex("45 02 00 00 00 00 00 47"));
    }
};

QTEST_GUILESS_MAIN(TestHidCommand)
#include "tst_hidcommand.moc"
