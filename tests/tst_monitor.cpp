#include "enginefixture.h"
#include "fakeinputhooks.h"
#include "messagelog.h"
#include "monitor.h"
#include "virtualhid.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMetaMethod>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

using Entry = SwitchModel::MonitorEntry;

namespace
{
int intAt(const QVariantMap &map, const char *key)
{
    return map.value(QLatin1String(key)).toInt();
}

// "min_x,min_y,max_x,max_y" of an own monitor.
QString extent(const char *key)
{
    const QVariantMap e = Monitor::getInstance()->m_ownMonitors.value(QLatin1String(key));
    if (e.isEmpty())
        return QStringLiteral("missing");
    return QStringLiteral("%1,%2,%3,%4")
        .arg(intAt(e, "min_x"))
        .arg(intAt(e, "min_y"))
        .arg(intAt(e, "max_x"))
        .arg(intAt(e, "max_y"));
}

QPoint origin()
{
    return {Monitor::getInstance()->m_originRow, Monitor::getInstance()->m_originCol};
}
} // namespace

class TestMonitor : public QObject
{
    Q_OBJECT

    FakeInputHooks *m_hooks = nullptr;

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() { m_hooks = new FakeInputHooks; }
    void cleanup() { delete m_hooks; }

    void metaObject()
    {
        const QStringList expected = {
            QStringLiteral("statusChanged()"),
            QStringLiteral("monitorChanged()"),
            QStringLiteral("getDeviceStatus()"),
            QStringLiteral("notifyToQml()"),
            QStringLiteral("getMouseSpeed()"),
            QStringLiteral("stopMouseMove()"),
            QStringLiteral("setHook()"),
            QStringLiteral("connectDevice()"),
            QStringLiteral("uninstallHook()"),
            QStringLiteral("getMouseHighlightData()"),
        };
        const QMetaObject &mo = Monitor::staticMetaObject;
        QCOMPARE(mo.methodCount() - mo.methodOffset(), expected.size());
        for (int i = 0; i < expected.size(); ++i)
            QCOMPARE(QString::fromLatin1(mo.method(mo.methodOffset() + i).methodSignature()), expected.at(i));
        QCOMPARE(mo.method(mo.methodOffset() + 1).methodType(), QMetaMethod::Signal);
        QCOMPARE(mo.method(mo.methodOffset() + 5).methodType(), QMetaMethod::Slot);
        QCOMPARE(mo.method(mo.methodOffset() + 6).methodType(), QMetaMethod::Method);

        const QMetaProperty devstatus = mo.property(mo.indexOfProperty("devstatus"));
        QCOMPARE(devstatus.notifySignal().name(), QByteArray("statusChanged"));
        QVERIFY(!devstatus.isWritable());
        const QMetaProperty frameInfo = mo.property(mo.indexOfProperty("frameInfo"));
        QCOMPARE(frameInfo.notifySignal().name(), QByteArray("monitorChanged"));
        QCOMPARE(frameInfo.userType(), int(QMetaType::QVariantMap));
        QCOMPARE(mo.propertyCount() - mo.propertyOffset(), 2);
    }

    void layoutKeyOrderAndOrigin()
    {
        // Own monitors at row 1, columns 2 and 10: "1,10" comes first and is the origin
        // until column 2 moves it.
        setUpEngine({{1, 1, 1, 10, 1920, 1080}, {1, 2, 1, 2, 1920, 1080}, {2, 1, 1, 3, 1920, 1080}}, 1, 0x03);
        Monitor *engine = Monitor::getInstance();
        QCOMPARE(engine->m_ownMonitors.keys(), QStringList({QStringLiteral("1,10"), QStringLiteral("1,2")}));
        QCOMPARE(engine->m_allMonitors.size(), 3);
        QCOMPARE(origin(), QPoint(1, 2));
        QCOMPARE(extent("1,2"), QStringLiteral("0,0,1920,1080"));
        QCOMPARE(extent("1,10"), QStringLiteral("15360,0,17280,1080"));
        // The copy among all monitors keeps its own size as extent.
        QCOMPARE(intAt(engine->m_allMonitors.value(QStringLiteral("1,10")), "min_x"), 0);
        QCOMPARE(intAt(engine->m_allMonitors.value(QStringLiteral("1,10")), "max_x"), 1920);
        QCOMPARE(engine->m_allMonitors.value(QStringLiteral("1,10")).size(), 10);
    }

    void layoutOriginRules()
    {
        setUpEngine({{1, 1, 1, 1, 1920, 1080}, {1, 2, 1, 2, 1920, 1080}}, 1, 0x01);
        QCOMPARE(origin(), QPoint(1, 1));
        QCOMPARE(extent("1,1"), QStringLiteral("0,0,1920,1080"));
        QCOMPARE(extent("1,2"), QStringLiteral("1920,0,3840,1080"));

        // Below-left of the origin does not move it, and gets negative extents.
        setUpEngine({{1, 1, 3, 2, 1920, 1080}, {1, 2, 2, 3, 1920, 1080}}, 1, 0x01);
        QCOMPARE(origin(), QPoint(2, 3));
        QCOMPARE(extent("3,2"), QStringLiteral("-1920,1080,0,2160"));

        // Each monitor is placed with its own size.
        setUpEngine({{1, 1, 1, 1, 1920, 1080}, {1, 2, 1, 2, 1280, 1024}}, 1, 0x01);
        QCOMPARE(extent("1,2"), QStringLiteral("1280,0,2560,1024"));

        // A cell above the origin in the same column moves it.
        setUpEngine({{1, 1, 5, 5, 100, 100}, {1, 2, 4, 5, 100, 100}, {1, 3, 4, 9, 100, 100}}, 1, 0x01);
        QCOMPARE(origin(), QPoint(4, 5));
    }

    void layoutUpdates()
    {
        setUpEngine({{1, 1, 1, 1, 1920, 1080}, {2, 1, 1, 2, 1920, 1080}, {3, 1, 1, 3, 1920, 1080}}, 1, 0x07);
        Monitor *engine = Monitor::getInstance();

        // A count of 0 leaves both indexes as they are.
        engine->m_listCount = 0;
        VirtualHid::model().monitors.clear();
        engine->buildLayout();
        QCOMPARE(engine->m_allMonitors.size(), 3);
        QCOMPARE(engine->m_ownMonitors.size(), 1);

        // A failing entry is left out; the others are read.
        VirtualHid::model().monitors = {{1, 1, 1, 1, 800, 600}, {2, 1, 1, 2, 800, 600}, {3, 1, 1, 3, 800, 600}};
        engine->m_listCount = 3;
        VirtualHid::failNextSend(0x47, 1);
        engine->buildLayout();
        QCOMPARE(engine->m_allMonitors.keys().join(QLatin1Char(' ')), QStringLiteral("1,1 1,3"));
        QCOMPARE(intAt(engine->m_ownMonitors.value(QStringLiteral("1,1")), "width"), 800);
    }

    void sameCellOtherPort()
    {
        // A later entry of another port in this computer's cell replaces it among all monitors only.
        setUpEngine({{1, 1, 1, 1, 1920, 1080}, {2, 1, 1, 1, 1280, 1024}}, 1, 0x03);
        Monitor *engine = Monitor::getInstance();
        QCOMPARE(intAt(engine->m_allMonitors.value(QStringLiteral("1,1")), "portNum"), 2);
        QCOMPARE(intAt(engine->m_ownMonitors.value(QStringLiteral("1,1")), "portNum"), 1);
        QCOMPARE(intAt(engine->m_ownMonitors.value(QStringLiteral("1,1")), "width"), 1920);
    }

    void deviceLostAndBack()
    {
        MessageLog log;
        VirtualHid::reset();
        SwitchModel &sw = VirtualHid::model();
        sw.monitors = {{1, 1, 1, 1, 1920, 1080}, {2, 1, 1, 2, 1920, 1080}};
        sw.currentPort = 1;
        Monitor *engine = Monitor::getInstance();
        engine->m_device.close();

        Monitor element;
        QSignalSpy status(&element, &Monitor::statusChanged);
        QVERIFY(element.connectDevice());
        QCOMPARE(element.devstatus(), 1);
        QCOMPARE(status.count(), 0);
        QCOMPARE(engine->m_allMonitors.size(), 2);
        QVERIFY(element.m_speedTimer && element.m_speedTimer->isActive());
        QCOMPARE(element.m_speedTimer->interval(), 100);
        QVERIFY(element.m_mouseHook && element.m_keyboardHook);

        // A status of 1 while connected re-reads nothing.
        sw.monitors.append({1, 2, 2, 1, 1920, 1080});
        element.getDeviceStatus();
        QCOMPARE(status.count(), 1);
        QCOMPARE(engine->m_allMonitors.size(), 2);

        // Lost: devstatus 0, the pending switch ends.
        engine->m_switchPending = 1;
        VirtualHid::unplug();
        engine->m_device.heartBeat();
        QCOMPARE(status.count(), 2);
        QCOMPARE(element.devstatus(), 0);
        QCOMPARE(element.property("devstatus").toInt(), 0);
        QCOMPARE(engine->m_switchPending, 0);
        QVERIFY(!engine->m_connected);

        // Back: the layout is read again and now has the third monitor.
        VirtualHid::plug();
        engine->m_device.heartBeat();
        QCOMPARE(status.count(), 2);
        engine->m_device.heartBeat();
        QCOMPARE(status.count(), 3);
        QCOMPARE(element.devstatus(), 1);
        QVERIFY(engine->m_connected);
        QCOMPARE(engine->m_allMonitors.size(), 3);
        QCOMPARE(engine->m_ownMonitors.size(), 2);
        QVERIFY(!log.contains(QStringLiteral("Connection device fail")));
    }

    void connectWithoutSwitch()
    {
        MessageLog log;
        VirtualHid::reset();
        VirtualHid::unplug();
        Monitor *engine = Monitor::getInstance();
        engine->m_device.close();
        engine->m_device.m_status = 0; // as at start-up; earlier cases left it connected

        Monitor element;
        QSignalSpy status(&element, &Monitor::statusChanged);
        QSignalSpy changed(&element, &Monitor::monitorChanged);
        QVERIFY(!element.connectDevice());
        QCOMPARE(element.devstatus(), 0);
        QVERIFY(log.contains(QStringLiteral("Connection device fail")));
        QVERIFY(element.m_mouseHook && element.m_keyboardHook);
        QVERIFY(element.m_speedTimer && element.m_speedTimer->isActive());
        QCOMPARE(status.count(), 0);
        QCOMPARE(changed.count(), 0);

        // Attached later, the heartbeat picks it up.
        VirtualHid::model().monitors = {{1, 1, 4, 4, 1024, 768}};
        VirtualHid::plug();
        engine->m_device.heartBeat();
        engine->m_device.heartBeat();
        QCOMPARE(status.count(), 1);
        QCOMPARE(element.devstatus(), 1);
        QCOMPARE(engine->m_ownMonitors.keys(), QStringList({QStringLiteral("4,4")}));
    }

    void monitorChangedIsRepeated()
    {
        VirtualHid::reset();
        Monitor element;
        element.connectDevice();
        QSignalSpy changed(&element, &Monitor::monitorChanged);
        emit Monitor::getInstance()->monitorChanged();
        QCOMPARE(changed.count(), 1);
        // frameInfo reads the engine's map whichever object it is read on.
        Monitor::getInstance()->m_frameInfo[QStringLiteral("x")] = 7;
        QCOMPARE(element.frameInfo().value(QStringLiteral("x")).toInt(), 7);
    }

    void placementOnArrival()
    {
        // This computer: port 2, monitors in (1, 2) and (1, 3); the switch reports an entry
        // into (1, 3) through its left edge at 50 percent.
        setUpEngine({{1, 1, 1, 1, 1920, 1080}, {2, 1, 1, 2, 1920, 1080}, {2, 2, 1, 3, 1920, 1080}}, 2, 0x03);
        Monitor *engine = Monitor::getInstance();
        engine->m_curPort = 1;
        VirtualHid::model().mouseStatus = {2, 1, 3, 7, 50};
        QSignalSpy changed(engine, &Monitor::monitorChanged);

        engine->getMouseData();
        QCOMPARE(QCursor::pos(), QPoint(1928, 540));
        QCOMPARE(engine->m_curPort, 2);
        const QVariantMap frame = engine->m_frameInfo;
        QCOMPARE(frame.value(QStringLiteral("x")), QVariant(1920));
        QCOMPARE(frame.value(QStringLiteral("y")), QVariant(0));
        QCOMPARE(frame.value(QStringLiteral("width")), QVariant(1920));
        QCOMPARE(frame.value(QStringLiteral("height")), QVariant(1080));
        QCOMPARE(frame.value(QStringLiteral("switchport")), QVariant(0));
        QCOMPARE(changed.count(), 1);

        // A direction outside 1 to 8: pointer to (0, 0), the highlight still shows the monitor.
        VirtualHid::model().mouseStatus = {2, 1, 3, 12, 50};
        engine->getMouseData();
        QCOMPARE(QCursor::pos(), QPoint(0, 0));
        QCOMPARE(engine->m_frameInfo.value(QStringLiteral("x")).toInt(), 1920);
    }

    void arrivalInACellNotOurs()
    {
        setUpEngine({{2, 1, 1, 5, 1280, 1024}, {2, 2, 1, 6, 1920, 1080}, {1, 1, 1, 7, 1920, 1080}}, 2, 0x03);
        Monitor *engine = Monitor::getInstance();
        VirtualHid::model().mouseStatus = {2, 1, 7, 2, 10};
        engine->getMouseData();
        // The centre of the first own monitor's size at the desktop origin.
        QCOMPARE(QCursor::pos(), QPoint(640, 512));
        QCOMPARE(engine->m_frameInfo.value(QStringLiteral("x")).toInt(), 0);
        QCOMPARE(engine->m_frameInfo.value(QStringLiteral("width")).toInt(), 1280);
        QCOMPARE(engine->m_frameInfo.value(QStringLiteral("height")).toInt(), 1024);
        QCOMPARE(engine->m_frameInfo.value(QStringLiteral("switchport")).toInt(), 0);
    }

    void arrivalWithStatusUnreadable()
    {
        MessageLog log;
        setUpEngine({{1, 1, 1, 1, 1920, 1080}}, 1, 0x03);
        Monitor *engine = Monitor::getInstance();
        engine->m_curPort = 2;
        engine->m_frameInfo[QStringLiteral("x")] = 99;
        QCursor::setPos(5, 5);
        QSignalSpy changed(engine, &Monitor::monitorChanged);
        VirtualHid::refuseNext(1);
        engine->getMouseData();
        QVERIFY(log.contains(QStringLiteral("getMouseStatus fail")));
        QCOMPARE(engine->m_curPort, 1);
        QCOMPARE(QCursor::pos(), QPoint(5, 5));
        QCOMPARE(engine->m_frameInfo.value(QStringLiteral("x")).toInt(), 99);
        QCOMPARE(changed.count(), 0);

        // The port status failing afterwards is logged and the placement goes on.
        VirtualHid::model().mouseStatus = {1, 1, 1, 8, 0};
        VirtualHid::failNextSend(0x4A);
        engine->getMouseData();
        QVERIFY(log.contains(QStringLiteral("getPortStatus fail")));
        QCOMPARE(QCursor::pos(), QPoint(13, 13));
        QCOMPARE(changed.count(), 1);
    }

    void highlightSettings()
    {
        setUpEngine({{1, 1, 1, 1, 1920, 1080}}, 1, 0x01);
        SwitchModel &sw = VirtualHid::model();
        sw.highlightOn = true;
        sw.highlightDuration = 3;
        sw.cyclicSwitch = 1;
        Monitor element;
        const QVariantMap settings = element.getMouseHighlightData();
        QCOMPARE(settings.value(QStringLiteral("status")).toInt(), 1);
        QCOMPARE(settings.value(QStringLiteral("duration")).toInt(), 3);
        QCOMPARE(Monitor::getInstance()->m_cyclicSwitch, 1);

        // Switch absent: exactly "status" 0 and "duration" 1, and no wrap-around.
        VirtualHid::unplug();
        const QVariantMap absent = element.getMouseHighlightData();
        QCOMPARE(absent.keys(), QStringList({QStringLiteral("duration"), QStringLiteral("status")}));
        QCOMPARE(absent.value(QStringLiteral("status")).toInt(), 0);
        QCOMPARE(absent.value(QStringLiteral("duration")).toInt(), 1);
        QCOMPARE(Monitor::getInstance()->m_cyclicSwitch, 0);
    }

    void hooks()
    {
        MessageLog log;
        Monitor element;
        QVERIFY(element.setHook());
        QVERIFY(element.m_mouseHook && element.m_keyboardHook);
        QVERIFY(m_hooks->mouseProcedure == &Monitor::mouseProc);
        QVERIFY(m_hooks->keyboardProcedure == &Monitor::keyboardProc);
        QVERIFY(log.lines().isEmpty());
        const HookHandle mouse = element.m_mouseHook;
        const HookHandle keyboard = element.m_keyboardHook;

        VirtualHid::reset();
        Monitor::getInstance()->m_device.open(1, 2);
        element.uninstallHook();
        QCOMPARE(m_hooks->uninstalled, QList<HookHandle>({mouse, keyboard}));
        QVERIFY(!element.m_mouseHook && !element.m_keyboardHook);
        QCOMPARE(VirtualHid::openHandles(), 0);

        // Again, with nothing installed: harmless, and the switch is closed again.
        element.uninstallHook();
        QCOMPARE(m_hooks->uninstalled.size(), 4);
        QCOMPARE(log.count(QStringLiteral("\nclosedev() called")), 2);

        // Both installations failing: both messages, still true.
        m_hooks->failMouse = m_hooks->failKeyboard = true;
        log.clear();
        QVERIFY(element.setHook());
        QCOMPARE(log.lines(), QStringList({QStringLiteral("Mouse Hook failed"), QStringLiteral("KB Hook Failed")}));
    }

    void focusArrivalKey()
    {
        setUpEngine({{1, 1, 1, 1, 1920, 1080}, {2, 1, 1, 2, 1920, 1080}}, 2, 0x03);
        Monitor *engine = Monitor::getInstance();
        engine->m_curPort = 1;
        VirtualHid::model().mouseStatus = {2, 1, 2, 7, 25};
        QSignalSpy changed(engine, &Monitor::monitorChanged);

        // Releases, system key-downs and other keys are only passed on.
        QCursor::setPos(1, 1);
        QCOMPARE(keyEvent(HookMessage::KeyUp, FocusArrivalKey), FakeInputHooks::PassedOn);
        QCOMPARE(keyEvent(HookMessage::SysKeyDown, FocusArrivalKey), FakeInputHooks::PassedOn);
        QCOMPARE(keyEvent(HookMessage::KeyDown, 0x41), FakeInputHooks::PassedOn);
        QCOMPARE(Monitor::keyboardProc(0, HookMessage::KeyDown, 0), FakeInputHooks::PassedOn);
        QCOMPARE(changed.count(), 0);
        QCOMPARE(QCursor::pos(), QPoint(1, 1));
        QCOMPARE(m_hooks->passedOn, 4);

        // The focus-arrival key: placement, pending switch over, and the key goes on.
        engine->m_switchPending = 1;
        QCOMPARE(keyEvent(HookMessage::KeyDown, FocusArrivalKey), FakeInputHooks::PassedOn);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(QCursor::pos(), QPoint(8, 270));
        QCOMPARE(engine->m_switchPending, 0);
        QCOMPARE(engine->m_curPort, 2);
    }
};

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    TestMonitor test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_monitor.moc"
