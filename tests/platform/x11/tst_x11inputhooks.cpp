// The X11 input hooks against a real X server: an Xvfb of the test's own, driven by xdotool and XTest.

#include "enginefixture.h"
#include "xvfb.h"

#include <QCursor>
#include <QGuiApplication>
#include <QtTest>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

class TestX11InputHooks : public QObject
{
    Q_OBJECT

    Display *m_display = nullptr;
    Monitor *m_engine = nullptr;
    Monitor m_element;

    static bool xdo(const char *args)
    {
        return QProcess::execute(QStringLiteral("xdotool"), QString::fromLatin1(args).split(QLatin1Char(' '))) == 0;
    }
    // Whether another client could take the pointer now; false while the hooks hold it.
    bool pointerFree() const
    {
        const Window root = DefaultRootWindow(m_display);
        const int grab = XGrabPointer(m_display, root, False, 0, GrabModeAsync, GrabModeAsync, None, None, CurrentTime);
        XUngrabPointer(m_display, CurrentTime);
        XSync(m_display, False);
        return grab == GrabSuccess;
    }
    void move(int dx, int dy)
    {
        XTestFakeRelativeMotionEvent(m_display, dx, dy, CurrentTime);
        XSync(m_display, False);
    }
    QPoint engineSaw() const { return m_engine->m_lastPointer.value_or(QPoint(-1, -1)); }
    QPoint buttons() const { return {m_engine->m_leftButtonDown, m_engine->m_rightButtonDown}; }

private slots:
    void initTestCase()
    {
        NEED("Xvfb", "xdotool");
        if (qEnvironmentVariableIsEmpty("DISPLAY") || !xdo("version"))
            QSKIP("no X display to test on");
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        QVERIFY((m_display = XOpenDisplay(nullptr)) && m_element.setHook() && m_element.m_mouseHook
            && m_element.m_keyboardHook);
    }

    // This computer in cell 1,2 between port 2's monitors, port 3's below; no plain-edge crossing.
    void init()
    {
        m_engine = setUpEngine(
            {{2, 1, 1, 1, 1920, 1080}, {1, 1, 1, 2, 1920, 1080}, {2, 1, 1, 3, 1920, 1080}, {3, 1, 2, 2, 1920, 1080}}, 1,
            0x07);
        QVERIFY(xdo("mousemove 500 500")); // a warp: no raw motion
        QTest::qWait(60);
    }

    void inputReachesTheEngine()
    {
        move(10, 5);
        QTRY_COMPARE(engineSaw(), QCursor::pos());
        QVERIFY(QCursor::pos() != QPoint(500, 500) && m_engine->m_lastRow == 1);
        QVERIFY(xdo("mousedown 1"));
        QTRY_COMPARE(buttons(), QPoint(1, 0));
        QVERIFY(xdo("mouseup 1") && xdo("mousedown 3"));
        QTRY_COMPARE(buttons(), QPoint(0, 1));
        // Other keys and the release of the switch's key do nothing; its press is an arrival.
        m_engine->m_curPort = 2;
        VirtualHid::model().mouseStatus = {1, 1, 2, 7, 50};
        QVERIFY(xdo("mouseup 3") && xdo("key a") && xdo("keyup 191"));
        QTRY_COMPARE(buttons(), QPoint(0, 0));
        QCOMPARE(m_engine->m_curPort, 2);
        QVERIFY(xdo("key 191"));
        QTRY_COMPARE(m_engine->m_curPort, 1);
        QTRY_COMPARE(QCursor::pos(), QPoint(8, 540));
        // Without the hooks nothing reaches the engine; installed again, it does.
        m_element.uninstallHook();
        m_element.uninstallHook(); // the second time there is nothing to remove
        const QPoint before = engineSaw();
        move(20, 20);
        QTest::qWait(60);
        QCOMPARE(engineSaw(), before);
        QVERIFY(m_element.setHook() && m_element.m_mouseHook && m_element.m_keyboardHook);
        // The selection goes over the hooks' own connection, which the server may serve late: move until seen.
        QVERIFY(QTest::qWaitFor([&] {
            if (engineSaw() != before)
                return true;
            move(1, 1);
            return false;
        }));
        QTRY_COMPARE(engineSaw(), QCursor::pos());
    }

    void swallowingHoldsThePointer()
    {
        m_engine->m_switchPending = 1;
        move(5, 0);
        QTRY_COMPARE(engineSaw(), QCursor::pos());
        const QPoint held = QCursor::pos();
        move(50, 50);
        QTest::qWait(60);
        QCOMPARE(QCursor::pos(), held);
        // Let go once the engine stops swallowing, not at the pending period's end; at the latest after 2 s.
        InputHooks::instance().swallowingEnded();
        QVERIFY(!pointerFree());
        m_engine->stopMouseMove();
        QTRY_VERIFY_WITH_TIMEOUT(pointerFree(), 1000);
        m_engine->m_switchPending = 1;
        move(5, 5);
        QTRY_VERIFY(!pointerFree());
        QTRY_VERIFY_WITH_TIMEOUT(pointerFree(), 6000);
    }

    void pushAgainstAnEdge_data()
    {
        QTest::addColumn<QPoint>("start");
        QTest::addColumn<QPoint>("step"); // a step every 15 ms
        QTest::addColumn<QByteArray>("sent"); // 0x49, port, row, column, direction, percent
        const QByteArray right = QByteArray::fromHex("490201030732"), left = QByteArray::fromHex("49020101021b");
        QTest::newRow("right, already touching") << QPoint(1919, 540) << QPoint(60, 0) << right;
        QTest::newRow("left, already touching") << QPoint(0, 300) << QPoint(-60, 0) << left;
        QTest::newRow("down, already touching")
            << QPoint(960, 1079) << QPoint(0, 60) << QByteArray::fromHex("490302020532");
        QTest::newRow("right, slow push") << QPoint(1919, 540) << QPoint(1, 0) << QByteArray();
        QTest::newRow("left, slow push") << QPoint(0, 300) << QPoint(-1, 0) << QByteArray();
        QTest::newRow("resting on the edge") << QPoint(1919, 540) << QPoint(0, 0) << QByteArray();
    }

    // The server stops the pointer at the edge; a fast push on against it must reach the engine as motion.
    void pushAgainstAnEdge()
    {
        QFETCH(QPoint, start);
        QFETCH(QPoint, step);
        QFETCH(QByteArray, sent);
        XWarpPointer(m_display, None, DefaultRootWindow(m_display), 0, 0, 0, 0, start.x(), start.y());
        XSync(m_display, False);
        QTest::qWait(60);
        m_engine->m_lastRow = 1; // got there over this monitor (x = 0 itself is on none)
        m_engine->m_lastCol = 2;
        QTest::qWait(250); // at rest: no speed left over
        for (int i = 0; i < 60 && switchRequests().isEmpty(); ++i) {
            if (!step.isNull())
                move(step.x(), step.y());
            QTest::qWait(15);
        }
        QTest::qWait(60);
        QCOMPARE(switchRequests(), sent.isEmpty() ? QList<QByteArray>() : QList<QByteArray>({sent}));
        // Parked 13 px inside the lower-right corner, held there for the pending period, then let go.
        if (!sent.isEmpty())
            QTRY_VERIFY(QCursor::pos() == QPoint(1907, 1067) && m_engine->m_switchPending == 0 && pointerFree());
    }
};

int main(int argc, char *argv[])
{
    Xvfb server;
    const bool haveServer = server.start();
    qputenv("QT_QPA_PLATFORM", haveServer ? "xcb" : "offscreen");
    haveServer ? qputenv("DISPLAY", server.display().toLatin1()) : qunsetenv("DISPLAY");
    QGuiApplication app(argc, argv);
    TestX11InputHooks test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_x11inputhooks.moc"
