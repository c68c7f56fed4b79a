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
    return QByteArray::fromHex(text); // skips the spaces
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
} // namespace

class TestKV830Data : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() { VirtualHid::reset(); }

    void metaObjectOrder()
    {
        // Callers invoke by index. Each signature is prefixed with its method type: 1 signal, 2 slot.
        const QMetaObject &mo = KV830Data::staticMetaObject;
        QStringList methods;
        for (int i = mo.methodOffset(); i < mo.methodCount(); ++i)
            methods << QString::number(mo.method(i).methodType()) + QString::fromLatin1(mo.method(i).methodSignature());
        QCOMPARE(methods.join(QLatin1Char(' ')),
            QStringLiteral(
                "1devStatusChanged() 2open(ushort,ushort) 2getFWAPProtocolVersion() 2sendListAmountOpen(int) "
                "2sendOneListOfPortNum(int,int,int,int,int,int,int,int) "
                "2sendOneListOfMouseData(int,int,int,int) 2sendListAmountClose() 2beginHeartBeat() "
                "2heartBeat() 2close() 2sendAllCommand(int,QList<QVariantMap>,QVariantMap) 2status() "
                "2getPortStatus() 2getOneListOfPortNum(int) 2getMouseStatus() "
                "2sendMouseStatus(int,int,int,int,int) 2getSwitchingFocusStatus()"));
        QCOMPARE(mo.propertyCount() - mo.propertyOffset(), 1);
        const QMetaProperty version = mo.property(mo.propertyOffset());
        QCOMPARE(version.name(), "version");
        QVERIFY(version.userType() == QMetaType::QString && !version.isWritable() && !version.hasNotifySignal());

        // Constructing one registers the list type, so sendAllCommand can be invoked by name.
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
        // "status/signals so far"
        const auto state = [&] {
            return QString::number(data.status()) + QLatin1Char('/') + QString::number(spy.count());
        };

        // Missing at start: nothing changes until a reopen has worked and the next beat is accepted.
        VirtualHid::unplug();
        QVERIFY(!data.open(1, 2));
        QVERIFY(!data.heartBeat());
        QVERIFY(!data.heartBeat());
        QCOMPARE(state(), QStringLiteral("0/0"));
        QVERIFY(log.contains(QStringLiteral("unable to open device")));
        VirtualHid::plug();
        QVERIFY(!data.heartBeat()); // fails, but its reopen finds the switch
        QCOMPARE(state(), QStringLiteral("0/0"));
        QVERIFY(data.heartBeat());
        QVERIFY(data.heartBeat());
        QCOMPARE(state(), QStringLiteral("1/1"));

        // Pulled while open: one signal, status 0, then the reopen is tried at once.
        VirtualHid::unplug();
        const int initsBefore = VirtualHid::initCalls();
        QVERIFY(!data.heartBeat());
        QCOMPARE(VirtualHid::initCalls(), initsBefore + 1);
        QVERIFY(!data.heartBeat());
        QCOMPARE(state(), QStringLiteral("0/2"));

        // Back again.
        VirtualHid::plug();
        QVERIFY(!data.heartBeat());
        QVERIFY(data.heartBeat());
        QCOMPARE(state(), QStringLiteral("1/3"));

        // The identifiers of the last open are the ones the heartbeat reopens with: the
        // reopen after close works with the switch present.
        QVERIFY(data.close());
        QVERIFY(!data.heartBeat());
        QCOMPARE(state(), QStringLiteral("0/4"));
        QCOMPARE(VirtualHid::openHandles(), 1);
        QVERIFY(data.heartBeat());
        QCOMPARE(state(), QStringLiteral("1/5"));
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
    }

    void failedHeartBeatsLeakNoHandle()
    {
        KV830Data data;
        QVERIFY(data.open(1, 2));
        VirtualHid::refuseNext(100);
        for (int i = 0; i < 100; ++i)
            QVERIFY(!data.heartBeat());
        QVERIFY(VirtualHid::openHandles() <= 1);
        QVERIFY(VirtualHid::initCalls() - VirtualHid::exitCalls() <= 1);
        QVERIFY(data.heartBeat()); // the last reopen left a working handle
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
        const std::pair<const char *, const char *> focus[]
            = {{"CB 00 8A 01 00 00 00 00", "cyclic_switch=1 duration=10 status=1"},
                {"CB 00 7F 00 00 00 00 00", "cyclic_switch=0 duration=15 status=0"},
                {"CB 00 80 FF 00 00 00 00", "cyclic_switch=255 duration=0 status=1"}};
        for (const auto &[reply, decoded] : focus) {
            VirtualHid::overrideNextReply(hex(reply));
            QVERIFY(data.getSwitchingFocusStatus());
            QCOMPARE(ints(data.m_focusStatus), QLatin1String(decoded));
        }
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
    }
};

QTEST_GUILESS_MAIN(TestKV830Data)
#include "tst_kv830data.moc"
