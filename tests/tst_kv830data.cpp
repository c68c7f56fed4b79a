#include "kv830data.h"
#include "messagelog.h"
#include "virtualhid.h"

#include <QMetaMethod>
#include <QSignalSpy>
#include <QtTest>

namespace
{
QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

QByteArray lastFrame()
{
    return VirtualHid::sentFrames().value(VirtualHid::sentFrames().size() - 1);
}

int intAt(const QVariantMap &map, const char *key)
{
    const QVariant v = map.value(QLatin1String(key));
    // Every value of the result maps is an int, never a bool or a byte.
    if (v.userType() != QMetaType::Int)
        qWarning("key %s holds type %s", key, v.typeName());
    return v.userType() == QMetaType::Int ? v.toInt() : -1;
}
} // namespace

class TestKV830Data : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() { VirtualHid::reset(); }

    void metaObjectOrder()
    {
        const QStringList expected = {
            QStringLiteral("devStatusChanged()"),
            QStringLiteral("open(ushort,ushort)"),
            QStringLiteral("getFWAPProtocolVersion()"),
            QStringLiteral("sendListAmountOpen(int)"),
            QStringLiteral("sendOneListOfPortNum(int,int,int,int,int,int,int,int)"),
            QStringLiteral("sendOneListOfMouseData(int,int,int,int)"),
            QStringLiteral("sendListAmountClose()"),
            QStringLiteral("beginHeartBeat()"),
            QStringLiteral("heartBeat()"),
            QStringLiteral("close()"),
            QStringLiteral("sendAllCommand(int,QList<QVariantMap>,QVariantMap)"),
            QStringLiteral("status()"),
            QStringLiteral("getPortStatus()"),
            QStringLiteral("getOneListOfPortNum(int)"),
            QStringLiteral("getMouseStatus()"),
            QStringLiteral("sendMouseStatus(int,int,int,int,int)"),
            QStringLiteral("getSwitchingFocusStatus()"),
        };
        const QMetaObject &mo = KV830Data::staticMetaObject;
        QCOMPARE(mo.methodCount() - mo.methodOffset(), expected.size());
        for (int i = 0; i < expected.size(); ++i) {
            const QMetaMethod m = mo.method(mo.methodOffset() + i);
            QCOMPARE(QString::fromLatin1(m.methodSignature()), expected.at(i));
            QCOMPARE(m.methodType(), i == 0 ? QMetaMethod::Signal : QMetaMethod::Slot);
        }

        QCOMPARE(mo.propertyCount() - mo.propertyOffset(), 1);
        const QMetaProperty version = mo.property(mo.propertyOffset());
        QCOMPARE(version.name(), "version");
        QCOMPARE(version.userType(), int(QMetaType::QString));
        QVERIFY(!version.isWritable());
        QVERIFY(!version.hasNotifySignal());

        KV830Data data;
        QVERIFY(QMetaType::type("QList<QVariantMap>") != QMetaType::UnknownType);
    }

    void openSetsStatusWithoutSignal()
    {
        KV830Data data;
        QSignalSpy spy(&data, &KV830Data::devStatusChanged);
        QCOMPARE(data.status(), 0);
        QVERIFY(data.open(KV830::VendorId, KV830::ProductId));
        QCOMPARE(data.status(), 1);
        QCOMPARE(spy.count(), 0);

        // A failed open leaves the status as it was; close does not change it either.
        VirtualHid::unplug();
        QVERIFY(!data.open(KV830::VendorId, KV830::ProductId));
        QCOMPARE(data.status(), 1);
        QVERIFY(data.close());
        QCOMPARE(data.status(), 1);
        QCOMPARE(spy.count(), 0);
    }

    void heartBeatStateMachine()
    {
        MessageLog log;
        KV830Data data;
        QSignalSpy spy(&data, &KV830Data::devStatusChanged);

        // Missing at start: nothing changes until a reopen has worked and the next beat is accepted.
        VirtualHid::unplug();
        QVERIFY(!data.open(1, 2));
        QVERIFY(!data.heartBeat());
        QVERIFY(!data.heartBeat());
        QCOMPARE(data.status(), 0);
        QCOMPARE(spy.count(), 0);
        QVERIFY(log.contains(QStringLiteral("unable to open device")));

        VirtualHid::plug();
        QVERIFY(!data.heartBeat()); // fails, but its reopen finds the switch
        QCOMPARE(spy.count(), 0);
        QVERIFY(data.heartBeat());
        QCOMPARE(data.status(), 1);
        QCOMPARE(spy.count(), 1);
        QVERIFY(data.heartBeat());
        QCOMPARE(spy.count(), 1);

        // Pulled while open: one signal, status 0, then the reopen is tried at once.
        VirtualHid::unplug();
        const int initsBefore = VirtualHid::initCalls();
        QVERIFY(!data.heartBeat());
        QCOMPARE(data.status(), 0);
        QCOMPARE(spy.count(), 2);
        QCOMPARE(VirtualHid::initCalls(), initsBefore + 1);
        QVERIFY(!data.heartBeat());
        QCOMPARE(spy.count(), 2);

        // Back again.
        VirtualHid::plug();
        QVERIFY(!data.heartBeat());
        QVERIFY(data.heartBeat());
        QCOMPARE(spy.count(), 3);
        QCOMPARE(data.status(), 1);

        // The identifiers of the last open are the ones the heartbeat reopens with: the
        // reopen after close works with the switch present.
        QVERIFY(data.close());
        QVERIFY(!data.heartBeat());
        QCOMPARE(data.status(), 0);
        QCOMPARE(spy.count(), 4);
        QCOMPARE(VirtualHid::openHandles(), 1);
        QVERIFY(data.heartBeat());
        QCOMPARE(spy.count(), 5);
        data.close();
    }

    void refusedHeartBeatIsAFailure()
    {
        KV830Data data;
        QSignalSpy spy(&data, &KV830Data::devStatusChanged);
        QVERIFY(data.open(1, 2));
        VirtualHid::refuseNext(1);
        const int opensBefore = VirtualHid::initCalls();
        QVERIFY(!data.heartBeat());
        QCOMPARE(data.status(), 0);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(VirtualHid::initCalls(), opensBefore + 1);
        QVERIFY(data.heartBeat());
        QCOMPARE(spy.count(), 2);
        data.close();
    }

    void receiverMayTalkToTheSwitch()
    {
        // The signal comes after the exchange has released the command lock.
        KV830Data data;
        VirtualHid::unplug();
        data.open(1, 2);
        VirtualHid::plug();
        bool queried = false;
        connect(&data, &KV830Data::devStatusChanged, &data, [&] { queried = data.getPortStatus(); });
        data.heartBeat();
        data.heartBeat();
        QVERIFY(queried);
        data.close();
    }

    void failedHeartBeatsLeakNoHandle()
    {
        KV830Data data;
        QVERIFY(data.open(1, 2));
        VirtualHid::refuseNext(1000);
        for (int i = 0; i < 100; ++i)
            QVERIFY(!data.heartBeat());
        QVERIFY(VirtualHid::openHandles() <= 1);
        QVERIFY(VirtualHid::initCalls() - VirtualHid::exitCalls() <= 1);
        data.close();
        QCOMPARE(VirtualHid::openHandles(), 0);
        QCOMPARE(VirtualHid::initCalls(), VirtualHid::exitCalls());
    }

    void portStatus()
    {
        SwitchModel &sw = VirtualHid::model();
        sw.monitors = {{1, 1, 0, 0, 1920, 1080}, {3, 1, 0, 1, 1920, 1080}};
        sw.currentPort = 3;
        sw.mousePosition = 4;
        sw.presentMask = 0x05;
        VirtualHid::setAttachPort(3);

        KV830Data data;
        QVERIFY(data.open(1, 2));
        QVERIFY(data.getPortStatus());
        QCOMPARE(data.m_portStatus.keys(),
            QStringList({QStringLiteral("apportNum"), QStringLiteral("curportNum"), QStringLiteral("listNum"),
                QStringLiteral("mouseposition")}));
        QCOMPARE(intAt(data.m_portStatus, "apportNum"), 3);
        QCOMPARE(intAt(data.m_portStatus, "listNum"), 2);
        QCOMPARE(intAt(data.m_portStatus, "curportNum"), 3);
        QCOMPARE(intAt(data.m_portStatus, "mouseposition"), 4);
        // 0x05: ports 1 and 3, nothing else.
        QCOMPARE(int(data.m_portMask), 0x05);

        // A failing query afterwards keeps the old values readable.
        sw.mousePosition = 7;
        sw.presentMask = 0xFF;
        VirtualHid::refuseNext(1);
        QVERIFY(!data.getPortStatus());
        QCOMPARE(intAt(data.m_portStatus, "mouseposition"), 4);
        QCOMPARE(int(data.m_portMask), 0x05);
        data.close();
    }

    void monitorEntryAndMouseStatus()
    {
        SwitchModel &sw = VirtualHid::model();
        sw.monitors = {{2, 3, 4, 5, 1920, 1080}, {8, 1, 255, 255, 65535, 0}};
        sw.mouseStatus = {2, 1, 3, 7, 50};

        KV830Data data;
        QVERIFY(data.open(1, 2));
        QVERIFY(data.getOneListOfPortNum(1));
        QCOMPARE(intAt(data.m_portList, "portNum"), 2);
        QCOMPARE(intAt(data.m_portList, "monitorIndexNum"), 3);
        QCOMPARE(intAt(data.m_portList, "row"), 4);
        QCOMPARE(intAt(data.m_portList, "col"), 5);
        QCOMPARE(intAt(data.m_portList, "width"), 1920);
        QCOMPARE(intAt(data.m_portList, "height"), 1080);
        QVERIFY(data.getOneListOfPortNum(2));
        QCOMPARE(intAt(data.m_portList, "row"), 255);
        QCOMPARE(intAt(data.m_portList, "width"), 65535);
        QCOMPARE(intAt(data.m_portList, "height"), 0);
        QVERIFY(!data.getOneListOfPortNum(3));

        QVERIFY(data.getMouseStatus());
        QCOMPARE(intAt(data.m_mouseStatus, "curportNum"), 2);
        QCOMPARE(intAt(data.m_mouseStatus, "portRow"), 1);
        QCOMPARE(intAt(data.m_mouseStatus, "portCol"), 3);
        QCOMPARE(intAt(data.m_mouseStatus, "direction"), 7);
        QCOMPARE(intAt(data.m_mouseStatus, "percent"), 50);
        data.close();
    }

    void focusStatusBits_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("duration");
        QTest::addColumn<int>("cyclic");
        QTest::newRow("0x8A") << hex("CB 00 8A 01 00 00 00 00") << 1 << 10 << 1;
        QTest::newRow("0x7F, bits 4 to 6 ignored") << hex("CB 00 7F 00 00 00 00 00") << 0 << 15 << 0;
        QTest::newRow("0x80") << hex("CB 00 80 FF 00 00 00 00") << 1 << 0 << 255;
    }

    void focusStatusBits()
    {
        QFETCH(QByteArray, reply);
        KV830Data data;
        QVERIFY(data.open(1, 2));
        VirtualHid::overrideNextReply(reply);
        QVERIFY(data.getSwitchingFocusStatus());
        QFETCH(int, status);
        QFETCH(int, duration);
        QFETCH(int, cyclic);
        QCOMPARE(intAt(data.m_focusStatus, "status"), status);
        QCOMPARE(intAt(data.m_focusStatus, "duration"), duration);
        QCOMPARE(intAt(data.m_focusStatus, "cyclic_switch"), cyclic);
        data.close();
    }

    void focusStatusFromTheSwitch()
    {
        SwitchModel &sw = VirtualHid::model();
        sw.highlightOn = false;
        sw.highlightDuration = 3;
        sw.cyclicSwitch = 1;
        KV830Data data;
        QVERIFY(data.open(1, 2));
        QVERIFY(data.getSwitchingFocusStatus());
        QCOMPARE(intAt(data.m_focusStatus, "status"), 0);
        QCOMPARE(intAt(data.m_focusStatus, "duration"), 3);
        QCOMPARE(intAt(data.m_focusStatus, "cyclic_switch"), 1);
        data.close();
    }

    void sendMouseStatusSwitches()
    {
        SwitchModel &sw = VirtualHid::model();
        sw.presentMask = 0x03;
        KV830Data data;
        QVERIFY(data.open(1, 2));
        QVERIFY(data.sendMouseStatus(2, 1, 3, 7, 50));
        QCOMPARE(lastFrame(), hex("49 02 01 03 07 32 00 88"));
        QCOMPARE(sw.currentPort, 2);

        // Only the low 8 bits travel: port 258 is port 2.
        QVERIFY(data.sendMouseStatus(258, 1, 3, 7, 50));
        QCOMPARE(lastFrame(), hex("49 02 01 03 07 32 00 88"));

        // An absent port is refused and nothing changes at the switch.
        QVERIFY(!data.sendMouseStatus(3, 0, 0, 2, 10));
        QCOMPARE(sw.currentPort, 2);
        QCOMPARE(sw.mouseStatus.port, 2);
        data.close();
    }

    void versionProperty()
    {
        KV830Data data;
        QVERIFY(data.open(1, 2));
        QVERIFY(data.getFWAPProtocolVersion());
        QCOMPARE(data.property("version").toString(), QStringLiteral("101230"));
        // A fresh open empties the text; a failed query still copies it, even empty.
        QVERIFY(data.open(1, 2));
        VirtualHid::refuseNext(1);
        QVERIFY(!data.getFWAPProtocolVersion());
        QCOMPARE(data.version(), QString());
        data.close();
    }
};

QTEST_GUILESS_MAIN(TestKV830Data)
#include "tst_kv830data.moc"
