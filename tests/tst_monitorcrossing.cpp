#include "enginefixture.h"
#include "fakeinputhooks.h"
#include "messagelog.h"
#include "monitor.h"
#include "virtualhid.h"

#include <QCursor>
#include <QGuiApplication>
#include <QSignalSpy>
#include <QtTest>

using Entry = SwitchModel::MonitorEntry;
Q_DECLARE_METATYPE(SwitchModel::MonitorEntry)

namespace
{
constexpr std::intptr_t Swallowed = 1;
constexpr std::intptr_t PassedOn = FakeInputHooks::PassedOn;

int portStatusQueries()
{
    int n = 0;
    for (const QByteArray &f : VirtualHid::sentFrames())
        n += static_cast<unsigned char>(f.at(0)) == 0x4A;
    return n;
}
} // namespace

class TestMonitorCrossing : public QObject
{
    Q_OBJECT

    FakeInputHooks *m_hooks = nullptr;
    Monitor *m_engine = nullptr;

    // This computer on port 1 with one 1920 x 1080 monitor in `own`; the pointer has been
    // inside it once, so it is the current monitor.
    void setUp(QVector<Entry> others, QPoint own = {1, 1}, quint8 mask = 0x03)
    {
        others.prepend({1, 1, own.x(), own.y(), 1920, 1080});
        m_engine = setUpEngine(others, 1, mask);
        QCOMPARE(moveTo(960, 540), PassedOn);
        QCOMPARE(QPoint(m_engine->m_lastRow, m_engine->m_lastCol), own);
        VirtualHid::clearSentFrames();
    }

private slots:
    void init() { m_hooks = new FakeInputHooks; }
    void cleanup()
    {
        delete m_hooks;
        // No single-shot of one case may end the pending switch of the next.
        QTest::qWait(60);
        Monitor::getInstance()->m_switchPending = 0;
    }

    void workedCrossing()
    {
        MessageLog log;
        setUp({{2, 1, 2, 3, 1920, 1080}}, {2, 2});
        m_engine->m_mouseSpeed = 0.5;
        QSignalSpy changed(m_engine, &Monitor::monitorChanged);

        QCOMPARE(moveTo(1917, 300), Swallowed);
        QCOMPARE(switchRequests(), QList<QByteArray>({request(2, 2, 3, 7, 27)}));
        QCOMPARE(QCursor::pos(), QPoint(1907, 1067));
        QCOMPARE(m_engine->m_curPort, 2);
        QCOMPARE(m_engine->m_switchPending, 1);
        QCOMPARE(VirtualHid::model().currentPort, 2);
        QVERIFY(log.contains(QStringLiteral("postSwitchCmd nextportnum 2  :  2 3 7 27 1907 1067")));
        QCOMPARE(frame(), QStringLiteral("0,0,1920,1080,1"));
        QCOMPARE(changed.count(), 1);

        // Everything is swallowed while pending, and the button flags still follow.
        QCOMPARE(moveTo(1000, 500), Swallowed);
        QCOMPARE(pointerEvent(HookMessage::LeftButtonDown, 1000, 500), Swallowed);
        QCOMPARE(m_engine->m_leftButtonDown, 1);
        QCOMPARE(pointerEvent(HookMessage::LeftButtonUp, 1000, 500), Swallowed);
        QCOMPARE(m_engine->m_leftButtonDown, 0);
        QCOMPARE(pointerEvent(HookMessage::MouseWheel, 1000, 500), Swallowed);

        // 50 ms later the block ends; the focus is elsewhere, so moves do nothing.
        QTRY_COMPARE_WITH_TIMEOUT(m_engine->m_switchPending, 0, 2000);
        QCOMPARE(moveTo(1918, 301), PassedOn);
        QCOMPARE(switchRequests().size(), 1);
        QCOMPARE(m_engine->m_lastPointer, std::optional<QPoint>(QPoint(1917, 300)));
    }

    void crossings_data()
    {
        QTest::addColumn<QVector<Entry>>("others"); // this computer's monitor is in (1, 1)
        QTest::addColumn<double>("speed");
        QTest::addColumn<int>("button"); // held down before the move
        QTest::addColumn<int>("cyclic");
        QTest::addColumn<QPoint>("to");
        QTest::addColumn<QByteArray>("sent"); // the switch request, empty for none
        const auto row = [](const char *name, QVector<Entry> others, double speed, int button, int cyclic, QPoint to,
                             QByteArray sent) {
            QTest::newRow(name) << others << speed << button << cyclic << to << sent;
        };
        const QVector<Entry> right = {{2, 1, 1, 2, 1920, 1080}};
        const int left = HookMessage::LeftButtonDown;
        row("edge at 0.39", right, 0.39, 0, 0, {1917, 300}, {});
        row("edge at 0.4", right, 0.4, 0, 0, {1917, 540}, request(2, 1, 2, 7, 50));
        row("left button held", right, 5, left, 0, {1917, 300}, {});
        row("right button held", right, 5, HookMessage::RightButtonDown, 0, {1917, 300}, {});
        row("corner, slow, button held", {{2, 1, 2, 2, 1920, 1080}}, 0, left, 0, {1920, 1075}, request(2, 2, 2, 8, 0));
        // (1, 2) is empty, (1, 3) belongs to absent port 3, (1, 4) to port 2.
        row("empty cell and absent port skipped", {{3, 1, 1, 3, 1920, 1080}, {2, 1, 1, 4, 1920, 1080}}, 1, 0, 0,
            {1919, 540}, request(2, 1, 4, 7, 50));
        row("nothing left of column 1", right, 1, 0, 0, {0, 540}, {});
        row("wrap to column 16", {{2, 1, 1, 16, 1920, 1080}}, 1, 0, 1, {-3, 270}, request(2, 1, 16, 2, 25));
        row("no diagonal wrap", {{2, 1, 16, 16, 1920, 1080}}, 1, 0, 0, {0, 0}, {});
        row("diagonal wrap", {{2, 1, 16, 16, 1920, 1080}}, 1, 0, 1, {1, 1}, request(2, 16, 16, 1, 0));
        // Wrapping left from (1, 1) reaches (1, 16), which is this computer's own.
        row("own port beyond", {{1, 2, 1, 16, 1920, 1080}, {2, 1, 2, 1, 1920, 1080}}, 1, 0, 1, {0, 540}, {});
    }

    void crossings()
    {
        QFETCH(QVector<Entry>, others);
        QFETCH(int, button);
        QFETCH(QPoint, to);
        QFETCH(QByteArray, sent);
        setUp(others);
        QFETCH(double, speed);
        QFETCH(int, cyclic);
        m_engine->m_mouseSpeed = speed;
        m_engine->m_cyclicSwitch = cyclic;
        if (button)
            QCOMPARE(pointerEvent(button, 500, 500), PassedOn);

        QCOMPARE(moveTo(to.x(), to.y()), sent.isEmpty() ? PassedOn : Swallowed);
        QCOMPARE(switchRequests(), sent.isEmpty() ? QList<QByteArray>() : QList<QByteArray>({sent}));
        QCOMPARE(m_engine->m_curPort, sent.isEmpty() ? 1 : 2);
        // The port mask is read for every move in a band, crossing or not; a repeated
        // position is dropped before any of that.
        QCOMPARE(portStatusQueries(), 1);
        moveTo(to.x(), to.y());
        QCOMPARE(portStatusQueries(), 1);
    }

    void refusedRequest()
    {
        MessageLog log;
        // The only monitor beyond belongs to absent port 3: the request goes out and is refused.
        setUp({{3, 1, 1, 2, 1920, 1080}}, {1, 1}, 0x01);
        QCursor::setPos(5, 5);
        QSignalSpy changed(m_engine, &Monitor::monitorChanged);
        QCOMPARE(moveTo(1919, 540), PassedOn);
        QCOMPARE(switchRequests(), QList<QByteArray>({request(3, 1, 2, 7, 50)}));
        QCOMPARE(m_engine->m_switchPending, 0);
        QCOMPARE(m_engine->m_curPort, 1);
        QCOMPARE(QCursor::pos(), QPoint(5, 5));
        QVERIFY(log.contains(QStringLiteral("postSwitchCmd nextportnum 3  :  1 2 7 50 1907 1067")));
        QCOMPARE(frame(), QStringLiteral("0,0,1920,1080,1"));
        QCOMPARE(changed.count(), 1);

        // The next qualifying move tries again.
        QCOMPARE(moveTo(1919, 541), PassedOn);
        QCOMPARE(switchRequests().size(), 2);
    }

    void oneRequestAtATime()
    {
        setUp({{2, 1, 1, 2, 1920, 1080}});
        m_engine->m_switchPending = 1;
        QCOMPARE(moveTo(1919, 540), Swallowed);
        QVERIFY(switchRequests().isEmpty());
        m_engine->stopMouseMove();
        QCOMPARE(m_engine->m_switchPending, 0);
        QCOMPARE(moveTo(1919, 541), Swallowed);
        QCOMPARE(switchRequests().size(), 1);
    }

    void highlightFollowsThePointer()
    {
        m_engine = setUpEngine({{1, 1, 1, 1, 1920, 1080}, {1, 2, 1, 2, 1280, 1024}, {1, 3, 2, 1, 0, 0}}, 1, 0x01);
        QSignalSpy changed(m_engine, &Monitor::monitorChanged);

        // Not yet inside an own monitor: no band is looked at, even at X <= 0, and a repeat adds no sample.
        QCOMPARE(moveTo(0, 0), PassedOn);
        QCOMPARE(moveTo(0, 0), PassedOn);
        QCOMPARE(portStatusQueries(), 0);
        QCOMPARE(m_engine->m_speedSamples.count(), 1);

        // Entering a monitor moves the highlight there, once. The second monitor is placed with
        // its own width: 1280 to 2560.
        moveTo(100, 100);
        moveTo(101, 100);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(m_engine->m_frameInfo.value(QStringLiteral("x")).userType(), int(QMetaType::Float));
        moveTo(1300, 100);
        QCOMPARE(changed.count(), 2);
        QCOMPARE(frame(), QStringLiteral("1280,0,1280,1024,0"));

        // A monitor of size 0 is never entered and never crossed from.
        for (int y = -5; y < 2200; y += 97)
            moveTo(10, y);
        QCOMPARE(m_engine->m_lastRow, 1);
        QVERIFY(switchRequests().isEmpty());

        // A null event record is passed on untouched.
        QCOMPARE(Monitor::mouseProc(0, HookMessage::LeftButtonDown, 0), PassedOn);
        QCOMPARE(m_engine->m_leftButtonDown, 0);

        // Each speed reading starts a new period.
        Monitor element;
        element.getMouseSpeed();
        QCOMPARE(m_engine->m_speedSamples.count(), 0);
        element.getMouseSpeed();
        QCOMPARE(m_engine->m_mouseSpeed, 0.0);
    }

    // A layout whose monitor (800 x 600) is smaller than the screen (1920 x 1080): the rest of
    // the screen is inside the desktop, not past the monitor's right or bottom side. Port 2
    // lies to the right, port 3 below.
    void layoutSmallerThanTheScreen_data()
    {
        QTest::addColumn<QPoint>("to");
        QTest::addColumn<QByteArray>("sent");
        QTest::newRow("moving left from the middle") << QPoint(950, 540) << QByteArray();
        QTest::newRow("below the monitor, inside the screen") << QPoint(400, 900) << QByteArray();
        QTest::newRow("right of and below the monitor") << QPoint(1500, 1000) << QByteArray();
        QTest::newRow("the monitor's own right band") << QPoint(797, 300) << request(2, 1, 2, 7, 50);
        QTest::newRow("the monitor's own bottom band") << QPoint(400, 597) << request(3, 2, 1, 5, 50);
        QTest::newRow("at the desktop's right edge") << QPoint(1919, 300) << request(2, 1, 2, 7, 50);
        QTest::newRow("past the desktop's right edge") << QPoint(1990, 150) << request(2, 1, 2, 7, 25);
        QTest::newRow("at the desktop's bottom edge") << QPoint(200, 1079) << request(3, 2, 1, 5, 25);
    }

    void layoutSmallerThanTheScreen()
    {
        QFETCH(QPoint, to);
        m_engine = setUpEngine({{1, 1, 1, 1, 800, 600}, {2, 1, 1, 2, 1920, 1080}, {3, 1, 2, 1, 1920, 1080}}, 1, 0x07, 4,
            QVector<QRect> {{0, 0, 1920, 1080}});
        QCOMPARE(moveTo(400, 300), PassedOn);
        VirtualHid::clearSentFrames();
        moveTo(to.x(), to.y());
        QFETCH(QByteArray, sent);
        QCOMPARE(switchRequests(), sent.isEmpty() ? QList<QByteArray>() : QList<QByteArray>({sent}));
    }

    // The switch's sizes never size the highlight window beyond this computer's desktop.
    void highlightStaysOnTheDesktop_data()
    {
        QTest::addColumn<QVector<QRect>>("screens");
        QTest::addColumn<QString>("shown");
        QTest::newRow("one screen") << QVector<QRect> {{0, 0, 1920, 1080}} << QStringLiteral("0,0,1920,1080,0");
        QTest::newRow("two screens side by side")
            << QVector<QRect> {{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}} << QStringLiteral("0,0,3200,1080,0");
        QTest::newRow("no screen") << QVector<QRect>() << QStringLiteral("0,0,0,0,0");
    }

    void highlightStaysOnTheDesktop()
    {
        QFETCH(QVector<QRect>, screens);
        QFETCH(QString, shown);
        m_engine = setUpEngine({{1, 1, 1, 1, 65535, 65535}, {2, 1, 1, 2, 1920, 1080}}, 1, 0x03, 4, screens);
        // Onto the monitor: the highlight follows.
        moveTo(100, 100);
        QCOMPARE(frame(), shown);
        QCOMPARE(m_engine->m_frameInfo.value(QStringLiteral("width")).userType(), int(QMetaType::Float));
        // Arrival on it from port 2, and arrival on a cell that is not this computer's.
        for (const int col : {1, 5}) {
            m_engine->m_frameInfo.clear();
            VirtualHid::model().mouseStatus = {1, 1, col, 2, 50};
            m_engine->getMouseData();
            QCOMPARE(frame(), shown);
        }
    }

    void ignoredWithoutFocusOrSwitch()
    {
        setUp({{2, 1, 1, 2, 1920, 1080}});
        m_engine->m_connected = false;
        QCOMPARE(moveTo(1919, 540), PassedOn);
        m_engine->m_connected = true;
        m_engine->m_curPort = 2;
        QCOMPARE(moveTo(1919, 541), PassedOn);
        QCOMPARE(portStatusQueries(), 0);
        QCOMPARE(m_engine->m_lastPointer, std::optional<QPoint>(QPoint(960, 540)));
    }
};

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    TestMonitorCrossing test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_monitorcrossing.moc"
