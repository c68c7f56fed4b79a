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

namespace
{
QString extent(const char *key)
{
    const QVariantMap &own = Monitor::getInstance()->m_ownMonitors.value(QLatin1String(key));
    return values(own, {"min_x", "min_y", "max_x", "max_y"});
}

QPoint origin()
{
    return {Monitor::getInstance()->m_originRow, Monitor::getInstance()->m_originCol};
}
} // namespace

Q_DECLARE_METATYPE(SwitchModel::MonitorEntry)

class TestMonitor : public QObject
{
    Q_OBJECT

    FakeInputHooks *m_hooks = nullptr;

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() { m_hooks = new FakeInputHooks; }
    void cleanup() { delete m_hooks; }

    // Each layout read compares this computer's monitors in the layout with the desktop's
    // screens, and looks for monitors of no area: one line each, and none when all is well.
    void layoutCheckedAgainstTheDesktop_data()
    {
        QTest::addColumn<QVector<SwitchModel::MonitorEntry>>("monitors");
        QTest::addColumn<QVector<QRect>>("screens");
        QTest::addColumn<QStringList>("said");
        const QVector<SwitchModel::MonitorEntry> two = {{1, 1, 1, 1, 1920, 1080}, {2, 1, 1, 2, 1920, 1080}};
        const QRect fullHd(0, 0, 1920, 1080);
        QTest::newRow("agree") << two << QVector<QRect> {fullHd} << QStringList();
        QTest::newRow("agree, desktop not at 0,0")
            << two << QVector<QRect> {fullHd.translated(-1920, 0)} << QStringList();
        QTest::newRow("smaller than the screen")
            << QVector<SwitchModel::MonitorEntry> {{1, 1, 1, 1, 800, 600}, {2, 1, 1, 2, 1920, 1080}}
            << QVector<QRect> {fullHd}
            << QStringList {QStringLiteral("The switch's layout does not match this desktop: 1 monitor(s) of this "
                                           "computer in the layout (800 x 600 at 0,0), 1 screen(s) on the desktop "
                                           "(1920 x 1080 at 0,0)")};
        QTest::newRow("a screen more") << two << QVector<QRect> {fullHd, {1920, 0, 1920, 1080}}
                                       << QStringList {QStringLiteral(
                                              "The switch's layout does not match this desktop: 1 monitor(s) of this "
                                              "computer in the layout (1920 x 1080 at 0,0), 2 screen(s) on the "
                                              "desktop (1920 x 1080 at 0,0, 1920 x 1080 at 1920,0)")};
        QTest::newRow("a neighbour of no area")
            << QVector<SwitchModel::MonitorEntry> {{1, 1, 1, 1, 1920, 1080}, {2, 1, 1, 2, 0, 0}, {3, 1, 2, 1, 1920, 0}}
            << QVector<QRect> {fullHd}
            << QStringList {QStringLiteral("The switch's layout has monitors of no area (port 2 in cell 1,2, port 3 "
                                           "in cell 2,1): the pointer can cross to them but never back")};
    }

    void layoutCheckedAgainstTheDesktop()
    {
        QFETCH(QVector<SwitchModel::MonitorEntry>, monitors);
        QFETCH(QVector<QRect>, screens);
        MessageLog log;
        setUpEngine(monitors, 1, 0x07, 4, screens);
        QStringList said;
        for (const QString &line : log.lines()) {
            if (line.startsWith(QLatin1String("The switch's layout")))
                said << line;
        }
        QTEST(said, "said");
    }

    void metaObject()
    {
        // The scene calls these by index. Each signature is prefixed with its method type:
        // 1 signal, 2 slot, 0 invokable.
        const QMetaObject &mo = Monitor::staticMetaObject;
        QStringList methods;
        for (int i = mo.methodOffset(); i < mo.methodCount(); ++i)
            methods << QString::number(mo.method(i).methodType()) + QString::fromLatin1(mo.method(i).methodSignature());
        QCOMPARE(methods.join(QLatin1Char(' ')),
            QStringLiteral("1statusChanged() 1monitorChanged() 2getDeviceStatus() 2notifyToQml() 2getMouseSpeed() "
                           "2stopMouseMove() 0setHook() 0connectDevice() 0uninstallHook() 0getMouseHighlightData()"));

        QCOMPARE(mo.propertyCount() - mo.propertyOffset(), 2);
        const QMetaProperty devstatus = mo.property(mo.indexOfProperty("devstatus"));
        QVERIFY(!devstatus.isWritable() && devstatus.notifySignal().name() == "statusChanged");
        const QMetaProperty frameInfo = mo.property(mo.indexOfProperty("frameInfo"));
        QVERIFY(frameInfo.userType() == QMetaType::QVariantMap && frameInfo.notifySignal().name() == "monitorChanged");
    }

    void layoutKeyOrderAndOrigin()
    {
        // Own monitors at row 1, columns 2 and 10: "1,10" comes first and is the origin
        // until column 2 moves it.
        Monitor *engine
            = setUpEngine({{1, 1, 1, 10, 1920, 1080}, {1, 2, 1, 2, 1920, 1080}, {2, 1, 1, 3, 1920, 1080}}, 1, 0x03);
        QCOMPARE(engine->m_ownMonitors.keys(), QStringList({QStringLiteral("1,10"), QStringLiteral("1,2")}));
        QCOMPARE(engine->m_allMonitors.size(), 3);
        QCOMPARE(origin(), QPoint(1, 2));
        QCOMPARE(extent("1,2"), QStringLiteral("0,0,1920,1080"));
        QCOMPARE(extent("1,10"), QStringLiteral("15360,0,17280,1080"));
        // The copy among all monitors keeps its own size as extent, and no other keys.
        const QVariantMap copy = engine->m_allMonitors.value(QStringLiteral("1,10"));
        QCOMPARE(values(copy, {"min_x", "min_y", "max_x", "max_y"}), QStringLiteral("0,0,1920,1080"));
        QCOMPARE(copy.size(), 10);
    }

    void layoutOriginRules()
    {
        setUpEngine({{1, 1, 1, 1, 1920, 1080}, {1, 2, 1, 2, 1920, 1080}}, 1, 0x01);
        QCOMPARE(origin(), QPoint(1, 1));
        QCOMPARE(extent("1,2"), QStringLiteral("1920,0,3840,1080"));

        // Below-left of the origin does not move it, and gets negative extents.
        setUpEngine({{1, 1, 3, 2, 1920, 1080}, {1, 2, 2, 3, 1920, 1080}}, 1, 0x01);
        QCOMPARE(origin(), QPoint(2, 3));
        QCOMPARE(extent("3,2"), QStringLiteral("-1920,1080,0,2160"));

        // Each monitor is placed with its own size.
        setUpEngine({{1, 1, 1, 1, 1920, 1080}, {1, 2, 1, 2, 1280, 1024}}, 1, 0x01);
        QCOMPARE(extent("1,2"), QStringLiteral("1280,0,2560,1024"));

        // In key order "10,5", "8,7", "9,5": a cell above and to the right does not move the
        // origin, one above in the same column does.
        setUpEngine({{1, 1, 10, 5, 100, 100}, {1, 2, 8, 7, 100, 100}, {1, 3, 9, 5, 100, 100}}, 1, 0x01);
        QCOMPARE(origin(), QPoint(9, 5));
    }

    void layoutUpdates()
    {
        Monitor *engine
            = setUpEngine({{1, 1, 1, 1, 1920, 1080}, {2, 1, 1, 2, 1920, 1080}, {3, 1, 1, 3, 1920, 1080}}, 1, 0x07);
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
        QCOMPARE(engine->m_allMonitors.keys(), QStringList({QStringLiteral("1,1"), QStringLiteral("1,3")}));
        QCOMPARE(extent("1,1"), QStringLiteral("0,0,800,600"));

        // A later entry of another port in this computer's cell replaces it among all monitors only.
        setUpEngine({{1, 1, 1, 1, 1920, 1080}, {2, 1, 1, 1, 1280, 1024}}, 1, 0x03);
        QCOMPARE(values(engine->m_allMonitors.value(QStringLiteral("1,1")), {"portNum"}), QStringLiteral("2"));
        QCOMPARE(
            values(engine->m_ownMonitors.value(QStringLiteral("1,1")), {"portNum", "width"}), QStringLiteral("1,1920"));
    }

    void switchMissingLostAndBack()
    {
        // Without a switch the hooks, the speed timer and the heartbeat start all the same: the
        // heartbeat is what picks the switch up once it is attached.
        MessageLog log;
        VirtualHid::reset();
        VirtualHid::unplug();
        SwitchModel &sw = VirtualHid::model();
        sw.monitors = {{1, 1, 1, 1, 1920, 1080}, {2, 1, 1, 2, 1920, 1080}};
        Monitor *engine = Monitor::getInstance();
        engine->m_device.close();
        engine->m_device.m_status = 0; // as at start-up; earlier cases left it connected
        engine->m_allMonitors.clear();
        Monitor element;
        QSignalSpy status(&element, &Monitor::statusChanged);
        // "devstatus/statusChanged so far/monitors known"
        const auto state = [&] {
            return QStringLiteral("%1/%2/%3")
                .arg(element.devstatus())
                .arg(status.count())
                .arg(engine->m_allMonitors.size());
        };
        QVERIFY(!element.connectDevice());
        QCOMPARE(state(), QStringLiteral("0/0/0"));
        QVERIFY(log.contains(QStringLiteral("Connection device fail")));
        QVERIFY(element.m_mouseHook && element.m_keyboardHook);
        QVERIFY(element.m_speedTimer && element.m_speedTimer->isActive());
        QCOMPARE(element.m_speedTimer->interval(), 100);

        VirtualHid::plug();
        engine->m_device.heartBeat();
        engine->m_device.heartBeat();
        QCOMPARE(state(), QStringLiteral("1/1/2"));

        // A status of 1 while connected re-reads nothing.
        sw.monitors.append({1, 2, 2, 1, 1920, 1080});
        element.getDeviceStatus();
        QCOMPARE(state(), QStringLiteral("1/2/2"));

        // Lost: devstatus 0, the pending switch ends.
        engine->m_switchPending = 1;
        VirtualHid::unplug();
        engine->m_device.heartBeat();
        QCOMPARE(state(), QStringLiteral("0/3/2"));
        QCOMPARE(engine->m_switchPending, 0);
        QVERIFY(!engine->m_connected);

        // Back: the layout is read again and now has the third monitor, the second of our own.
        VirtualHid::plug();
        engine->m_device.heartBeat();
        engine->m_device.heartBeat();
        QCOMPARE(state(), QStringLiteral("1/4/3"));
        QVERIFY(engine->m_connected);
        QCOMPARE(engine->m_ownMonitors.size(), 2);

        // The element repeats the engine's monitorChanged, and frameInfo reads the engine's
        // map whichever object it is read on.
        QSignalSpy changed(&element, &Monitor::monitorChanged);
        emit engine->monitorChanged();
        QCOMPARE(changed.count(), 1);
        engine->m_frameInfo[QStringLiteral("x")] = 7;
        QCOMPARE(element.frameInfo().value(QStringLiteral("x")).toInt(), 7);

        // With the switch there, connecting reads the layout at once and signals nothing.
        sw.monitors.append({2, 2, 2, 2, 1920, 1080});
        Monitor other;
        QSignalSpy otherStatus(&other, &Monitor::statusChanged);
        QVERIFY(other.connectDevice());
        QCOMPARE(other.devstatus(), 1);
        QCOMPARE(engine->m_allMonitors.size(), 4);
        QCOMPARE(otherStatus.count(), 0);
        QCOMPARE(log.count(QStringLiteral("Connection device fail")), 1);
    }

    void placementOnArrival()
    {
        // This computer: port 2, monitors in (1, 2) and (1, 3); the switch reports an entry
        // into (1, 3) through its left edge at 50 percent.
        Monitor *engine
            = setUpEngine({{1, 1, 1, 1, 1920, 1080}, {2, 1, 1, 2, 1920, 1080}, {2, 2, 1, 3, 1920, 1080}}, 2, 0x03);
        engine->m_curPort = 1;
        VirtualHid::model().mouseStatus = {2, 1, 3, 7, 50};
        QSignalSpy changed(engine, &Monitor::monitorChanged);
        engine->getMouseData();
        QCOMPARE(QCursor::pos(), QPoint(1928, 540));
        QCOMPARE(engine->m_curPort, 2);
        QCOMPARE(frame(), QStringLiteral("1920,0,1920,1080,0"));
        QCOMPARE(changed.count(), 1);

        // A direction outside 1 to 8: pointer to (0, 0), the highlight still shows the monitor.
        VirtualHid::model().mouseStatus = {2, 1, 3, 12, 50};
        engine->getMouseData();
        QCOMPARE(QCursor::pos(), QPoint(0, 0));
        QCOMPARE(frame(), QStringLiteral("1920,0,1920,1080,0"));

        // A cell that is not ours: the centre of the first own monitor's size at the desktop origin.
        engine = setUpEngine({{2, 1, 1, 5, 1280, 1024}, {2, 2, 1, 6, 1920, 1080}, {1, 1, 1, 7, 1920, 1080}}, 2, 0x03);
        engine->m_frameInfo[QStringLiteral("switchport")] = 1;
        VirtualHid::model().mouseStatus = {2, 1, 7, 2, 10};
        engine->getMouseData();
        QCOMPARE(QCursor::pos(), QPoint(640, 512));
        QCOMPARE(frame(), QStringLiteral("0,0,1280,1024,0"));
    }

    void arrivalWithStatusUnreadable()
    {
        MessageLog log;
        Monitor *engine = setUpEngine({{1, 1, 1, 1, 1920, 1080}}, 1, 0x03);
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
        sw.highlightDuration = 3;
        sw.cyclicSwitch = 1;
        Monitor element;
        QCOMPARE(values(element.getMouseHighlightData(), {"status", "duration"}), QStringLiteral("1,3"));
        QCOMPARE(Monitor::getInstance()->m_cyclicSwitch, 1);

        // Switch absent: exactly "status" 0 and "duration" 1, and no wrap-around.
        VirtualHid::unplug();
        const QVariantMap absent = element.getMouseHighlightData();
        QCOMPARE(absent.keys(), QStringList({QStringLiteral("duration"), QStringLiteral("status")}));
        QCOMPARE(values(absent, {"status", "duration"}), QStringLiteral("0,1"));
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
        const QList<HookHandle> installed = {element.m_mouseHook, element.m_keyboardHook};

        // Taking the hooks away also closes the switch.
        VirtualHid::reset();
        Monitor::getInstance()->m_device.open(1, 2);
        element.uninstallHook();
        QCOMPARE(m_hooks->uninstalled, installed);
        QVERIFY(!element.m_mouseHook && !element.m_keyboardHook);
        QCOMPARE(VirtualHid::openHandles(), 0);

        // Both installations failing: both messages, still true.
        m_hooks->failMouse = m_hooks->failKeyboard = true;
        log.clear();
        QVERIFY(element.setHook());
        QCOMPARE(log.lines(), QStringList({QStringLiteral("Mouse Hook failed"), QStringLiteral("KB Hook Failed")}));
    }

    void focusArrivalKey()
    {
        Monitor *engine = setUpEngine({{1, 1, 1, 1, 1920, 1080}, {2, 1, 1, 2, 1920, 1080}}, 2, 0x03);
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
