#include "switchmodel.h"
#include "virtualhid.h"

#include <hidapi.h>

#include <QtTest>

namespace
{
QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text); // skips the spaces
}

// A request with its checksum filled in.
QByteArray frame(const char *text)
{
    QByteArray f = hex(text);
    f[f.size() - 1] = char(SwitchModel::checksum(f));
    return f;
}

int status(const QByteArray &reply)
{
    return reply.size() > 1 ? static_cast<unsigned char>(reply.at(1)) : -1;
}
} // namespace

class TestSwitchModel : public QObject
{
    Q_OBJECT

    SwitchModel m_sw;

    int send(const char *text) { return status(m_sw.handle(1, frame(text))); }

private slots:
    void init()
    {
        m_sw = SwitchModel();
        m_sw.presentMask = 0x07;
        m_sw.monitors = {{1, 1, 0, 0, 1920, 1080}, {2, 1, 0, 1, 1920, 1080}};
    }

    void malformedRequestsAreRefused_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::newRow("bad checksum") << hex("46 00 00 00 00 00 00 47");
        QTest::newRow("unknown report ID") << frame("50 00 00 00 00 00 00 00");
        QTest::newRow("report ID below range") << frame("40 00 00 00 00 00 00 00");
        QTest::newRow("short frame") << frame("46 00 00 00 00 00 00");
        QTest::newRow("long frame") << frame("46 00 00 00 00 00 00 00 00");
        QTest::newRow("list frame of 8 bytes") << frame("43 01 01 00 00 80 07 00");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("index 0") << frame("47 00 00 00 00 00 00 00");
        QTest::newRow("index past listNum") << frame("47 03 00 00 00 00 00 00");
        QTest::newRow("switch to absent port") << frame("49 04 00 00 07 32 00 00");
        QTest::newRow("switch to port 0") << frame("49 00 00 00 07 32 00 00");
        QTest::newRow("switch to port 9") << frame("49 09 00 00 07 32 00 00");
        QTest::newRow("list frame without open") << frame("43 01 01 00 00 80 07 38 04 00");
        QTest::newRow("close without open") << frame("45 00 00 00 00 00 00 00");
    }

    void malformedRequestsAreRefused()
    {
        QFETCH(QByteArray, request);
        QCOMPARE(status(m_sw.handle(1, request)), 0x01);
        QCOMPARE(m_sw.currentPort, 1);
        QCOMPARE(m_sw.monitors.size(), 2);
    }

    void repliesCarryTheState()
    {
        m_sw.currentPort = 2;
        m_sw.mousePosition = 5;
        QCOMPARE(m_sw.handle(3, frame("4A 00 00 00 00 00 00 00")), hex("CA 00 03 02 02 05 07 00"));
        QCOMPARE(m_sw.handle(1, frame("47 02 00 00 00 00 00 00")), hex("C7 00 02 01 00 01 80 07 38 04 00"));
        m_sw.highlightDuration = 10;
        m_sw.cyclicSwitch = 1;
        QCOMPARE(m_sw.handle(1, frame("4B 00 00 00 00 00 00 00")), hex("CB 00 8A 01 00 00 00 00"));
    }

    void switchRequest()
    {
        int handedTo = 0;
        m_sw.onSwitched = [&](int port) {
            handedTo = port;
        };
        QCOMPARE(send("49 03 01 02 07 32 00 00"), 0x00);
        QCOMPARE(m_sw.currentPort, 3);
        QCOMPARE(handedTo, 3);
        // A refused request leaves the last accepted one in place.
        handedTo = 0;
        QCOMPARE(send("49 05 09 09 01 01 00 00"), 0x01);
        QCOMPARE(handedTo, 0);
        QCOMPARE(m_sw.handle(3, frame("48 00 00 00 00 00 00 00")), hex("C8 00 03 01 02 07 32 00"));
    }

    void upload()
    {
        QCOMPARE(send("42 01 00 00 00 00 00 00"), 0);
        QCOMPARE(send("43 04 02 03 05 00 05 D0 02 00"), 0);
        QCOMPARE(send("44 01 00 00 06 00 00 00 00 00"), 0);
        // The monitor list is untouched until the close frame.
        QCOMPARE(m_sw.monitors.size(), 2);
        QCOMPARE(send("45 02 00 00 00 00 00 00"), 0);
        const QVector<SwitchModel::MonitorEntry> expected = {{4, 2, 3, 5, 1280, 720}};
        QCOMPARE(m_sw.monitors, expected);
        QCOMPARE(m_sw.mousePosition, 6);
    }

    void uploadWithWrongCountIsDropped()
    {
        send("42 01 00 00 00 00 00 00");
        send("43 04 02 03 05 00 05 D0 02 00");
        QCOMPARE(send("45 02 00 00 00 00 00 00"), 1);
        QCOMPARE(m_sw.monitors.size(), 2);
        // The upload is over: a late close is refused too.
        QCOMPARE(send("45 01 00 00 00 00 00 00"), 1);

        // A new open throws away what an unfinished upload had gathered.
        send("42 01 00 00 00 00 00 00");
        send("43 04 02 03 05 00 05 D0 02 00");
        send("42 01 00 00 00 00 00 00");
        send("43 05 01 00 00 00 04 00 03 00");
        QCOMPARE(send("45 01 00 00 00 00 00 00"), 0);
        const QVector<SwitchModel::MonitorEntry> expected = {{5, 1, 0, 0, 1024, 768}};
        QCOMPARE(m_sw.monitors, expected);
    }

    void hidapiFaults()
    {
        VirtualHid::reset();
        VirtualHid::setAttachPort(2);
        hid_device *dev = hid_open(0, 0, nullptr);
        QVERIFY(dev);
        const QByteArray req = frame("4A 00 00 00 00 00 00 00");
        const auto send = [&] {
            return hid_send_feature_report(dev, reinterpret_cast<const unsigned char *>(req.constData()), req.size());
        };
        unsigned char buf[8];
        const auto read = [&](unsigned char id = 0xCA) {
            buf[0] = id;
            return hid_get_feature_report(dev, buf, 8);
        };

        QCOMPARE(send(), 8);
        QCOMPARE(read(), 8);
        QCOMPARE(buf[2], 2); // the port this handle is attached to

        // A read with no request before it, or for another report, gets a refusal.
        QCOMPARE(read(), 8);
        QCOMPARE(buf[1], 0x01);
        QCOMPARE(send(), 8);
        QCOMPARE(read(0xC6), 8);
        QCOMPARE(buf[0], 0xC6);
        QCOMPARE(buf[1], 0x01);

        // Unplugged: the handle is dead for good, a new open finds nothing until plugged back.
        VirtualHid::unplug();
        QCOMPARE(send(), -1);
        QCOMPARE(read(), -1);
        QVERIFY(!hid_open(0, 0, nullptr));
        VirtualHid::plug();
        QCOMPARE(send(), -1);
        hid_device *again = hid_open(0, 0, nullptr);
        QVERIFY(again);
        QCOMPARE(VirtualHid::openHandles(), 2);
        hid_close(dev);
        hid_close(again);
        QCOMPARE(VirtualHid::openHandles(), 0);
        // Closing an unknown or null handle is harmless.
        hid_close(nullptr);
        QCOMPARE(VirtualHid::closeCalls(), 3);
    }
};

QTEST_GUILESS_MAIN(TestSwitchModel)
#include "tst_switchmodel.moc"
