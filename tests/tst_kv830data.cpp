#include "kv830data.h"
#include "messagelog.h"
#include "virtualhid.h"

#include <QSignalSpy>
#include <QtTest>

namespace
{
QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// "key=value ..." in key order. Every value of the result maps is an int, never a bool or
// a byte; anything else shows as "?".
QString ints(const QVariantMap &map)
{
    QStringList out;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        out << it.key() + QLatin1Char('=')
                + (it->userType() == QMetaType::Int ? QString::number(it->toInt()) : QStringLiteral("?"));
    return out.join(QLatin1Char(' '));
}

QVariantMap entry(int serial, int port, int x, int y, int width, int height)
{
    return {{QStringLiteral("serialNum"), serial}, {QStringLiteral("portNum"), port}, {QStringLiteral("x"), x},
        {QStringLiteral("y"), y}, {QStringLiteral("w_l"), width & 0xFF}, {QStringLiteral("w_h"), width >> 8},
        {QStringLiteral("h_l"), height & 0xFF}, {QStringLiteral("h_h"), height >> 8}};
}

QVariantMap mouse(int serial, int acceleration = 0, int speed = 0, int position = 0)
{
    return {{QStringLiteral("mouse_info"), serial}, {QStringLiteral("acceleration"), acceleration},
        {QStringLiteral("speed"), speed}, {QStringLiteral("position"), position}};
}

// Report IDs of the frames sent, in order.
QByteArray ids()
{
    QByteArray out;
    for (const QByteArray &f : VirtualHid::sentFrames())
        out.append(f.at(0));
    return out;
}
} // namespace

class TestKV830Data : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        KV830Data data; // registers the list type, so sendAllCommand can be invoked by name
        QVERIFY(QMetaType::type("QList<QVariantMap>") != QMetaType::UnknownType);
    }
    void init() { VirtualHid::reset(); }

    // "status/signals so far" through open, close and heartbeats with the switch coming and going.
    void heartBeatStateMachine()
    {
        MessageLog log;
        KV830Data data;
        QSignalSpy spy(&data, &KV830Data::devStatusChanged);
        const auto state = [&] {
            return QString::number(data.status()) + QLatin1Char('/') + QString::number(spy.count());
        };
        QCOMPARE(state(), QStringLiteral("0/0"));
        QVERIFY(data.open(KV830::VendorId, KV830::ProductId)); // open sets the status without a signal
        QCOMPARE(state(), QStringLiteral("1/0"));
        VirtualHid::unplug();
        QVERIFY(!data.open(KV830::VendorId, KV830::ProductId)); // a failed open keeps it
        QVERIFY(data.close());
        QCOMPARE(state(), QStringLiteral("1/0"));
        QVERIFY(!data.heartBeat());
        QVERIFY(!data.heartBeat());
        QCOMPARE(state(), QStringLiteral("0/1"));
        QVERIFY(log.contains(QStringLiteral("unable to open device")));
        // Back: the beat whose reopen finds the switch fails, the next one is accepted.
        VirtualHid::plug();
        QVERIFY(!data.heartBeat());
        QCOMPARE(state(), QStringLiteral("0/1"));
        QVERIFY(data.heartBeat());
        QVERIFY(data.heartBeat());
        QCOMPARE(state(), QStringLiteral("1/2"));
        // Pulled while open: one signal, then the reopen is tried at once.
        VirtualHid::unplug();
        const int initsBefore = VirtualHid::initCalls();
        QVERIFY(!data.heartBeat());
        QCOMPARE(VirtualHid::initCalls(), initsBefore + 1);
        QCOMPARE(state(), QStringLiteral("0/3"));
        // The reopen after close uses the identifiers of the last open.
        VirtualHid::plug();
        QVERIFY(!data.heartBeat());
        QVERIFY(data.heartBeat());
        QVERIFY(data.close());
        QVERIFY(!data.heartBeat());
        QCOMPARE(VirtualHid::openHandles(), 1);
        QVERIFY(data.heartBeat());
        QCOMPARE(state(), QStringLiteral("1/6"));

        VirtualHid::refuseNext(100);
        for (int i = 0; i < 100; ++i)
            QVERIFY(!data.heartBeat());
        QVERIFY(VirtualHid::openHandles() <= 1); // failed beats leak no handle
        QVERIFY(VirtualHid::initCalls() - VirtualHid::exitCalls() <= 1);
        // The signal comes after the exchange has released the command lock.
        bool queried = false;
        connect(&data, &KV830Data::devStatusChanged, &data, [&] { queried = data.getPortStatus(); });
        QVERIFY(data.heartBeat());
        QVERIFY(queried);
        data.close();
        QCOMPARE(VirtualHid::openHandles(), 0);
        QCOMPARE(VirtualHid::initCalls(), VirtualHid::exitCalls());
    }

    void queriesDecode()
    {
        SwitchModel &sw = VirtualHid::model();
        sw.monitors = {{2, 3, 4, 5, 1920, 1080}, {8, 1, 255, 255, 65535, 0}};
        sw.currentPort = 1;
        sw.mousePosition = 4;
        sw.presentMask = 0x05; // ports 1 and 3, nothing else
        sw.mouseStatus = {2, 1, 3, 7, 50};
        VirtualHid::setAttachPort(3);
        KV830Data data;
        QVERIFY(data.open(1, 2));
        QVERIFY(data.getPortStatus());
        QCOMPARE(ints(data.m_portStatus), QStringLiteral("apportNum=3 curportNum=1 listNum=2 mouseposition=4"));
        QCOMPARE(int(data.m_portMask), 0x05);
        QVERIFY(data.getOneListOfPortNum(1));
        QCOMPARE(
            ints(data.m_portList), QStringLiteral("col=5 height=1080 monitorIndexNum=3 portNum=2 row=4 width=1920"));
        QVERIFY(data.getOneListOfPortNum(2));
        QCOMPARE(
            ints(data.m_portList), QStringLiteral("col=255 height=0 monitorIndexNum=1 portNum=8 row=255 width=65535"));
        QVERIFY(!data.getOneListOfPortNum(3));
        QVERIFY(data.getMouseStatus());
        QCOMPARE(ints(data.m_mouseStatus), QStringLiteral("curportNum=2 direction=7 percent=50 portCol=3 portRow=1"));
        // A failing query afterwards keeps the old values readable.
        sw.mousePosition = 7;
        sw.presentMask = 0xFF;
        VirtualHid::refuseNext(1);
        QVERIFY(!data.getPortStatus());
        QCOMPARE(ints(data.m_portStatus), QStringLiteral("apportNum=3 curportNum=1 listNum=2 mouseposition=4"));
        QCOMPARE(int(data.m_portMask), 0x05);
        // Bits 4 to 6 of the focus status byte carry nothing.
        for (const auto &[reply, decoded] :
            {std::pair {"CB 00 8A 01 00 00 00 00", "cyclic_switch=1 duration=10 status=1"},
                std::pair {"CB 00 7F 00 00 00 00 00", "cyclic_switch=0 duration=15 status=0"},
                std::pair {"CB 00 80 FF 00 00 00 00", "cyclic_switch=255 duration=0 status=1"}}) {
            VirtualHid::overrideNextReply(hex(reply));
            QVERIFY(data.getSwitchingFocusStatus());
            QCOMPARE(ints(data.m_focusStatus), QLatin1String(decoded));
        }
        // The version: a fresh open empties the text; a failed query still copies it, even empty.
        QVERIFY(data.getFWAPProtocolVersion());
        QCOMPARE(data.property("version").toString(), QStringLiteral("101230"));
        QVERIFY(data.open(1, 2));
        VirtualHid::refuseNext(1);
        QVERIFY(!data.getFWAPProtocolVersion());
        QCOMPARE(data.version(), QString());
    }

    void upload()
    {
        MessageLog log;
        VirtualHid::model().monitors = {{1, 1, 0, 0, 800, 600}};
        KV830Data data;
        QVERIFY(data.open(1, 2));
        VirtualHid::clearSentFrames();
        log.clear();
        QVERIFY(
            data.sendAllCommand(2, {entry(1, 1, 0, 0, 1920, 1080), entry(2, 1, 0, 1, 2560, 1440)}, mouse(1, 2, 3, 5)));
        QCOMPARE(ids(), hex("42 43 43 44 45"));
        QCOMPARE(VirtualHid::sentFrames().at(3), hex("44 01 02 03 05 00 00 00 00 4F"));
        QCOMPARE(VirtualHid::sentFrames().at(4), hex("45 03 00 00 00 00 00 48")); // two entries and the mouse
        const QVector<SwitchModel::MonitorEntry> expected = {{1, 1, 0, 0, 1920, 1080}, {2, 1, 0, 1, 2560, 1440}};
        QCOMPARE(VirtualHid::model().monitors, expected);
        QCOMPARE(VirtualHid::model().mousePosition, 5);
        QCOMPARE(log.lines().join(QLatin1Char('|')),
            QStringLiteral("sendAllCommand() 2|sendAllCommand() finish|2|"
                           "serialNum= 1|portNum= 1|xCoordinate= 0|yCoordinate= 0|w_l= 128|w_h= 7|h_l= 56|h_h= 4|"
                           "serialNum= 2|portNum= 1|xCoordinate= 0|yCoordinate= 1|w_l= 0|w_h= 10|h_l= 160|h_h= 5|"
                           "s_Num= 1|acceleration= 2|speed= 3|position= 5"));

        // Missing and wrong keys send 0; only the low bits of the counts go; an empty list works.
        QVariantMap e = entry(257, 1, 9, 9, 1920, 1080), m = mouse(0, 1, 1, 1);
        e.remove(QStringLiteral("x"));
        e[QStringLiteral("y")] = QStringLiteral("not a number");
        m.remove(QStringLiteral("mouse_info"));
        m[QStringLiteral("serialNum")] = 9; // the serial number is read only from "mouse_info"
        VirtualHid::clearSentFrames();
        QVERIFY(data.sendAllCommand(300, {e}, m));
        QCOMPARE(VirtualHid::sentFrames().at(0), hex("42 2C 00 00 00 00 00 6E"));
        QCOMPARE(VirtualHid::sentFrames().at(1), hex("43 01 01 00 00 80 07 38 04 08"));
        QCOMPARE(VirtualHid::sentFrames().at(2).at(1), char(0));
        VirtualHid::clearSentFrames();
        QVERIFY(data.sendAllCommand(0, {}, mouse(7)));
        QCOMPARE(ids(), hex("42 44 45"));
        QCOMPARE(VirtualHid::sentFrames().last().at(1), char(1));

        // Failures end the upload where they happen, and the switch keeps its list.
        VirtualHid::model().monitors = {{1, 1, 0, 0, 800, 600}};
        VirtualHid::clearSentFrames();
        log.clear();
        VirtualHid::refuseNext(1);
        QVERIFY(!data.sendAllCommand(1, {entry(1, 1, 0, 0, 1, 1)}, mouse(1)));
        QCOMPARE(ids(), hex("42"));
        QCOMPARE(log.lines(), QStringList({QStringLiteral("sendAllCommand() 1")}));
        VirtualHid::clearSentFrames(); // the second entry is refused (there is no port 0)
        QVERIFY(!data.sendAllCommand(3,
            {entry(1, 1, 0, 0, 1920, 1080), entry(0, 1, 0, 1, 1920, 1080), entry(2, 1, 0, 2, 1920, 1080)}, mouse(1)));
        QCOMPARE(ids(), hex("42 43 43"));
        QCOMPARE(VirtualHid::model().monitors.first().width, 800);
        VirtualHid::clearSentFrames();
        VirtualHid::failNextSend(0x44);
        QVERIFY(!data.sendAllCommand(0, {}, mouse(1)));
        QCOMPARE(ids(), hex("42 44"));
    }
};

QTEST_GUILESS_MAIN(TestKV830Data)
#include "tst_kv830data.moc"
