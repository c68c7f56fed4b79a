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
    void setUp(QVector<Entry> others, MonitorLogic::Cell own = {1, 1}, quint8 mask = 0x03)
    {
        others.prepend({1, 1, own.row, own.col, 1920, 1080});
        m_engine = setUpEngine(others, 1, mask);
        QCOMPARE(moveTo(960, 540), PassedOn);
        QCOMPARE(m_engine->m_lastRow, own.row);
        QCOMPARE(m_engine->m_lastCol, own.col);
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
        QCOMPARE(m_engine->m_frameInfo.value(QStringLiteral("switchport")), QVariant(1));
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

    void speedGate()
    {
        setUp({{2, 1, 1, 2, 1920, 1080}});

        m_engine->m_mouseSpeed = 0.39;
        QCOMPARE(moveTo(1917, 300), PassedOn);
        QVERIFY(switchRequests().isEmpty());
        // The port mask is refreshed for every move in a band, crossing or not; a repeated
        // position is dropped before any of that.
        QCOMPARE(portStatusQueries(), 1);
        QCOMPARE(moveTo(1917, 300), PassedOn);
        QCOMPARE(portStatusQueries(), 1);

        for (const auto button : {HookMessage::LeftButtonDown, HookMessage::RightButtonDown}) {
            m_engine->m_mouseSpeed = 5.0;
            QCOMPARE(pointerEvent(button, 1917, 301), PassedOn);
            QCOMPARE(moveTo(1917, 302), PassedOn);
            QCOMPARE(moveTo(1917, 303), PassedOn);
            QVERIFY(switchRequests().isEmpty());
            pointerEvent(button + 1, 1917, 304);
        }

        m_engine->m_mouseSpeed = 0.4;
        QCOMPARE(moveTo(1917, 540), Swallowed);
        QCOMPARE(switchRequests(), QList<QByteArray>({request(2, 1, 2, 7, 50)}));
    }

    void cornersPassTheGate()
    {
        setUp({{2, 1, 1, 1, 1920, 1080}}, {2, 2});
        m_engine->m_mouseSpeed = 0;
        pointerEvent(HookMessage::LeftButtonDown, 500, 500);
        QCOMPARE(moveTo(0, 0), Swallowed);
        QCOMPARE(switchRequests(), QList<QByteArray>({request(2, 1, 1, 1, 0)}));
        pointerEvent(HookMessage::LeftButtonUp, 500, 500);
    }

    void emptyCellAndAbsentPortAreSkipped()
    {
        // (1, 2) is empty, (1, 3) belongs to absent port 3, (1, 4) to port 2.
        setUp({{3, 1, 1, 3, 1920, 1080}, {2, 1, 1, 4, 1920, 1080}});
        QCOMPARE(moveTo(1919, 540), Swallowed);
        QCOMPARE(switchRequests(), QList<QByteArray>({request(2, 1, 4, 7, 50)}));
    }

    void nothingBeyondTheEdge()
    {
        setUp({{2, 1, 1, 2, 1920, 1080}});
        // Left of column 1 without wrap-around: no target, no request, the move goes on.
        QCOMPARE(moveTo(0, 540), PassedOn);
        QCOMPARE(portStatusQueries(), 1);
        QVERIFY(switchRequests().isEmpty());
        QCOMPARE(m_engine->m_curPort, 1);
    }

    void wrapAroundAtColumnOne()
    {
        setUp({{2, 1, 1, 16, 1920, 1080}});
        m_engine->m_cyclicSwitch = 1;
        QCOMPARE(moveTo(-3, 270), Swallowed);
        QCOMPARE(switchRequests(), QList<QByteArray>({request(2, 1, 16, 2, 25)}));
    }

    void diagonalWrapFromTheFirstCell()
    {
        setUp({{2, 1, 16, 16, 1920, 1080}});
        QCOMPARE(moveTo(0, 0), PassedOn);
        QVERIFY(switchRequests().isEmpty());

        m_engine->m_cyclicSwitch = 1;
        QCOMPARE(moveTo(1, 1), Swallowed);
        QCOMPARE(switchRequests(), QList<QByteArray>({request(2, 16, 16, 1, 0)}));
    }

    void targetOnTheOwnPort()
    {
        // Wrapping left from (1, 1) reaches (1, 16), which is this computer's own.
        setUp({{1, 2, 1, 16, 1920, 1080}, {2, 1, 2, 1, 1920, 1080}});
        m_engine->m_cyclicSwitch = 1;
        QCOMPARE(moveTo(0, 540), PassedOn);
        QVERIFY(switchRequests().isEmpty());
        QCOMPARE(m_engine->m_curPort, 1);
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
        QCOMPARE(m_engine->m_frameInfo.value(QStringLiteral("switchport")), QVariant(1));
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

    void firstMovesAndRepeats()
    {
        m_engine = setUpEngine({{1, 1, 1, 1, 1920, 1080}, {2, 1, 1, 2, 1920, 1080}}, 1, 0x03);
        QSignalSpy changed(m_engine, &Monitor::monitorChanged);

        // Not yet inside an own monitor: no crossing, even at X <= 0.
        QCOMPARE(moveTo(0, 0), PassedOn);
        QCOMPARE(portStatusQueries(), 0);
        QCOMPARE(changed.count(), 0);
        QCOMPARE(m_engine->m_speedSamples.count(), 1);

        // The same position again adds nothing.
        QCOMPARE(moveTo(0, 0), PassedOn);
        QCOMPARE(m_engine->m_speedSamples.count(), 1);

        // Entering the monitor moves the highlight there, once.
        moveTo(960, 540);
        moveTo(961, 540);
        QCOMPARE(changed.count(), 1);
        const QVariantMap frame = m_engine->m_frameInfo;
        QCOMPARE(frame.value(QStringLiteral("x")).userType(), int(QMetaType::Float));
        QCOMPARE(frame.value(QStringLiteral("width")), QVariant(1920.0f));
        QCOMPARE(frame.value(QStringLiteral("switchport")), QVariant(0));

        // A null event record is passed on untouched.
        QCOMPARE(Monitor::mouseProc(0, HookMessage::LeftButtonDown, 0), PassedOn);
        QCOMPARE(m_engine->m_leftButtonDown, 0);

        Monitor element;
        element.getMouseSpeed();
        QVERIFY(m_engine->m_speedSamples.count() == 0);
        element.getMouseSpeed();
        QCOMPARE(m_engine->m_mouseSpeed, 0.0);
    }

    void highlightFollowsAcrossOwnMonitors()
    {
        m_engine = setUpEngine({{1, 1, 1, 1, 1920, 1080}, {1, 2, 1, 2, 1280, 1024}, {1, 3, 2, 1, 0, 0}}, 1, 0x01);
        QSignalSpy changed(m_engine, &Monitor::monitorChanged);
        moveTo(100, 100);
        moveTo(1300, 100); // the second monitor is placed with its own width: 1280 to 2560
        QCOMPARE(changed.count(), 2);
        QCOMPARE(m_engine->m_lastCol, 2);
        QCOMPARE(m_engine->m_frameInfo.value(QStringLiteral("x")).toFloat(), 1280.0f);
        QCOMPARE(m_engine->m_frameInfo.value(QStringLiteral("height")).toFloat(), 1024.0f);

        // A monitor of size 0 is never entered and never crossed from.
        for (int y = -5; y < 2200; y += 97)
            moveTo(10, y);
        QCOMPARE(m_engine->m_lastRow, 1);
        QVERIFY(switchRequests().isEmpty());
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
        // Buttons are followed all the same.
        pointerEvent(HookMessage::RightButtonDown);
        QCOMPARE(m_engine->m_rightButtonDown, 1);
        pointerEvent(HookMessage::RightButtonUp);
        QCOMPARE(m_engine->m_rightButtonDown, 0);
    }

    void crossingBackAfterArrival()
    {
        // Hand the focus away, get it back through the focus-arrival key, and cross again.
        setUp({{2, 1, 1, 2, 1920, 1080}});
        QCOMPARE(moveTo(1919, 540), Swallowed);
        QTRY_COMPARE_WITH_TIMEOUT(m_engine->m_switchPending, 0, 2000);
        VirtualHid::model().mouseStatus = {1, 1, 1, 2, 50};
        keyEvent(HookMessage::KeyDown, FocusArrivalKey);
        QCOMPARE(m_engine->m_curPort, 1);
        QCOMPARE(QCursor::pos(), QPoint(1912, 540));
        QCOMPARE(moveTo(1919, 600), Swallowed);
        QCOMPARE(switchRequests().size(), 2);
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
