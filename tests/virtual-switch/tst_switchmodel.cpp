#include "switchmodel.h"
#include "virtualhid.h"

#include <hidapi.h>

#include <QtTest>

namespace
{
// A request with its checksum filled in.
QByteArray frame(const char *text)
{
    QByteArray f = QByteArray::fromHex(text);
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
        QTest::newRow("bad checksum") << QByteArray::fromHex("46 00 00 00 00 00 00 47");
        QTest::newRow("empty") << QByteArray();
        for (const char *f : {"50 00 00 00 00 00 00 00", "40 00 00 00 00 00 00 00", "46 00 00 00 00 00 00",
                 "46 00 00 00 00 00 00 00 00", "43 01 01 00 00 80 07 00", "47 00 00 00 00 00 00 00",
                 "47 03 00 00 00 00 00 00", "49 04 00 00 07 32 00 00", "49 00 00 00 07 32 00 00",
                 "49 09 00 00 07 32 00 00", "43 01 01 00 00 80 07 38 04 00", "45 00 00 00 00 00 00 00"})
            QTest::newRow(f) << frame(f);
    }
    void malformedRequestsAreRefused()
    {
        QFETCH(QByteArray, request);
        QCOMPARE(status(m_sw.handle(1, request)), 0x01);
        QCOMPARE(m_sw.currentPort, 1);
        QCOMPARE(m_sw.monitors.size(), 2);
    }

    void exchanges()
    {
        int handedTo = 0;
        m_sw.onSwitched = [&](int port) {
            handedTo = port;
        };
        QCOMPARE(send("49 03 01 02 07 32 00 00"), 0x00);
        QCOMPARE(send("49 05 09 09 01 01 00 00"), 0x01); // refused: the last accepted one stays
        QCOMPARE(handedTo, 3);
        QCOMPARE(m_sw.handle(3, frame("48 00 00 00 00 00 00 00")), QByteArray::fromHex("C8 00 03 01 02 07 32 00"));

        // An upload takes effect at its close frame, only with the right count; a new open starts over.
        for (const char *f : {"42 01 00 00 00 00 00 00", "43 04 02 03 05 00 05 D0 02 00", "42 01 00 00 00 00 00 00",
                 "43 05 01 00 00 00 04 00 03 00", "44 01 00 00 06 00 00 00 00 00"})
            QCOMPARE(send(f), 0);
        QCOMPARE(m_sw.monitors.size(), 2);
        QCOMPARE(send("45 03 00 00 00 00 00 00"), 1);
        QCOMPARE(send("45 02 00 00 00 00 00 00"), 1); // the refused close ended the upload
        for (const char *f : {"42 01 00 00 00 00 00 00", "43 05 01 00 00 00 04 00 03 00",
                 "44 01 00 00 06 00 00 00 00 00", "45 02 00 00 00 00 00 00"})
            QCOMPARE(send(f), 0);
        const QVector<SwitchModel::MonitorEntry> expected = {{5, 1, 0, 0, 1024, 768}};
        QCOMPARE(m_sw.monitors, expected);
        QCOMPARE(m_sw.mousePosition, 6);
    }

    void hidapiFaults()
    {
        VirtualHid::reset();
        VirtualHid::setAttachPort(2);
        hid_device *dev = hid_open(0, 0, nullptr);
        QVERIFY(dev);
        const QByteArray req = frame("4A 00 00 00 00 00 00 00");
        unsigned char buf[8];
        const auto send = [&] {
            return hid_send_feature_report(dev, reinterpret_cast<const unsigned char *>(req.data()), 8);
        };
        const auto read = [&](unsigned char id = 0xCA) {
            return buf[0] = id, hid_get_feature_report(dev, buf, 8);
        };
        QCOMPARE(send(), 8);
        QCOMPARE(read(), 8);
        QCOMPARE(buf[2], 2); // the port this handle is attached to
        // A read with no request before it, or for another report, gets a refusal.
        QCOMPARE(read(), 8);
        QCOMPARE(buf[1], 0x01);
        QCOMPARE(send(), 8);
        QCOMPARE(read(0xC6), 8);
        QCOMPARE(buf[0] << 8 | buf[1], 0xC601);
        // Unplugged: the handle is dead for good, a new open finds nothing until plugged back.
        VirtualHid::unplug();
        QCOMPARE(send() + read(), -2);
        QVERIFY(!hid_open(0, 0, nullptr));
        VirtualHid::plug();
        QCOMPARE(send(), -1);
        hid_device *again = hid_open(0, 0, nullptr);
        QCOMPARE(VirtualHid::openHandles(), 2);
        hid_close(dev);
        hid_close(again);
        hid_close(nullptr); // harmless
        QCOMPARE(VirtualHid::openHandles(), 0);
        QCOMPARE(VirtualHid::closeCalls(), 3);
    }
};

QTEST_GUILESS_MAIN(TestSwitchModel)
#include "tst_switchmodel.moc"
