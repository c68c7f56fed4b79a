#include "HIDCommand/generalcommand.h"
#include "messagelog.h"
#include "virtualhid.h"

#include <QtTest>

namespace
{
QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text); // skips the spaces
}

QByteArray lastFrame()
{
    return VirtualHid::sentFrames().value(VirtualHid::sentFrames().size() - 1);
}

QByteArray bytes(const unsigned char *data, int n)
{
    return QByteArray(reinterpret_cast<const char *>(data), n);
}

const unsigned char entry[8] = {1, 1, 0, 0, 0x80, 0x07, 0x38, 0x04};
} // namespace

class TestGeneralCommand : public QObject
{
    Q_OBJECT

    GeneralCommand *m_cmd = nullptr;

private slots:
    void init()
    {
        VirtualHid::reset();
        m_cmd = new GeneralCommand;
        QVERIFY(m_cmd->open(1, 2));
    }
    void cleanup()
    {
        m_cmd->close();
        delete m_cmd;
    }

    void workedFrames()
    {
        VirtualHid::model().monitors = {{1, 1, 0, 0, 1920, 1080}, {2, 1, 0, 1, 1920, 1080}, {2, 2, 0, 2, 1280, 1024}};
        QVERIFY(m_cmd->heartBeat());
        QCOMPARE(lastFrame(), hex("46 00 00 00 00 00 00 46"));
        QVERIFY(m_cmd->getPortStatus());
        QCOMPARE(lastFrame(), hex("4A 00 00 00 00 00 00 4A"));
        QVERIFY(m_cmd->getOneListOfPortNum(3));
        QCOMPARE(lastFrame(), hex("47 03 00 00 00 00 00 4A"));
        QVERIFY(m_cmd->sendListAmountOpen(2));
        QCOMPARE(lastFrame(), hex("42 02 00 00 00 00 00 44"));
        QVERIFY(m_cmd->sendOneListOfPortNum(entry, 8));
        // The sum 0x108 is cut to its low byte.
        QCOMPARE(lastFrame(), hex("43 01 01 00 00 80 07 38 04 08"));
        const unsigned char mouse[4] = {1, 2, 3, 4};
        QVERIFY(m_cmd->sendOneListOfMouseData(mouse, 4));
        QCOMPARE(lastFrame(), hex("44 01 02 03 04 00 00 00 00 4E"));
        const unsigned char sw[5] = {2, 1, 3, 7, 50};
        QVERIFY(m_cmd->sendMouseStatus(sw, 5));
        QCOMPARE(lastFrame(), hex("49 02 01 03 07 32 00 88"));
    }

    void checksumIsTheLowByteOfTheSum()
    {
        // 0x200 wraps to 0, and the checksum byte itself is not summed.
        const unsigned char frame[8] = {0xFF, 0xFF, 0x02, 0, 0, 0, 0, 0x99};
        QCOMPARE(GeneralCommand::checksum(frame, 8), 0x00);
    }

    void tooManyParametersAreDropped()
    {
        // More bytes than the frame has room for must not spill over the checksum.
        const unsigned char params[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
        unsigned char frame[GeneralCommand::ListRequestLength];
        QCOMPARE(GeneralCommand::buildRequest(0x49, params, 12, frame), 8);
        QCOMPARE(bytes(frame, 8), hex("49 01 02 03 04 05 06 5E"));
        QCOMPARE(GeneralCommand::buildRequest(0x43, params, 12, frame), 10);
        QCOMPARE(bytes(frame, 10), hex("43 01 02 03 04 05 06 07 08 67"));
        QCOMPARE(GeneralCommand::buildRequest(0x46, params, -3, frame), 8);
        QCOMPARE(bytes(frame, 8), hex("46 00 00 00 00 00 00 46"));
    }

    void onlyTheStatusByteDecides()
    {
        // A reply with the wrong report ID but status 0x00 is accepted.
        VirtualHid::overrideNextReply(hex("00 00 05 06 07 08 09 00"));
        QVERIFY(m_cmd->getPortStatus());
        QCOMPARE(bytes(m_cmd->m_portStatusData, 5), hex("05 06 07 08 09"));

        // Any non-zero status refuses, as does a failed send or read, and the data of the last
        // accepted reply stays.
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

    void listCounting()
    {
        const unsigned char mouse[4] = {1, 0, 0, 0};
        // Close right after open carries 0.
        QVERIFY(m_cmd->sendListAmountOpen(0));
        QVERIFY(m_cmd->sendListAmountClose());
        QCOMPARE(lastFrame(), hex("45 00 00 00 00 00 00 45"));

        // Only accepted list frames count; a refused one does not.
        QVERIFY(m_cmd->sendListAmountOpen(3));
        QVERIFY(m_cmd->sendOneListOfPortNum(entry, 8));
        VirtualHid::refuseNext(1);
        QVERIFY(!m_cmd->sendOneListOfPortNum(entry, 8));
        QVERIFY(m_cmd->sendOneListOfMouseData(mouse, 4));
        QVERIFY(m_cmd->sendListAmountClose());
        QCOMPARE(lastFrame(), hex("45 02 00 00 00 00 00 47"));

        // Closing does not reset; a failed open does.
        QVERIFY(!m_cmd->sendListAmountClose()); // the switch has no upload open any more
        QCOMPARE(lastFrame().at(1), char(2));
        VirtualHid::failNextSend();
        QVERIFY(!m_cmd->sendListAmountOpen(1));
        QVERIFY(!m_cmd->sendListAmountClose());
        QCOMPARE(lastFrame(), hex("45 00 00 00 00 00 00 45"));
    }

    void versionAccumulates()
    {
        MessageLog log;
        QVERIFY(m_cmd->getFWAPProtocolVersion());
        QVERIFY(log.contains(QStringLiteral("get m_version = 101230")));
        VirtualHid::model().version[2] = 255;
        QVERIFY(m_cmd->getFWAPProtocolVersion());
        QCOMPARE(m_cmd->m_version, QStringLiteral("1012301025530"));

        log.clear();
        VirtualHid::refuseNext(1);
        QVERIFY(!m_cmd->getFWAPProtocolVersion());
        QCOMPARE(m_cmd->m_version, QStringLiteral("1012301025530"));
        QVERIFY(log.lines().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestGeneralCommand)
#include "tst_generalcommand.moc"
