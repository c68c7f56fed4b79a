// The X11 input hooks against a real X server: an Xvfb of the test's own, driven by xdotool and XTest.

#include "enginefixture.h"
#include "xvfb.h"

#include <QGuiApplication>
#include <QProcess>
#include <QtTest>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

class TestX11InputHooks : public QObject
{
    Q_OBJECT

public:
    explicit TestX11InputHooks(bool haveServer)
        : m_haveServer(haveServer)
    {
    }

private:
    bool m_haveServer;
    Display *m_display = nullptr;
    Monitor *m_engine = nullptr;
    Monitor m_element;

    static bool xdo(const QString &args)
    {
        return QProcess::execute(QStringLiteral("xdotool"), args.split(QLatin1Char(' '))) == 0;
    }

    QPoint pointer() const
    {
        Window root, child;
        int x = 0, y = 0, wx, wy;
        unsigned int mask;
        XQueryPointer(m_display, DefaultRootWindow(m_display), &root, &child, &x, &y, &wx, &wy, &mask);
        return {x, y};
    }

    // Whether another client could take the pointer now; false while the hooks hold it.
    bool pointerFree() const
    {
        const int status = XGrabPointer(
            m_display, DefaultRootWindow(m_display), False, 0, GrabModeAsync, GrabModeAsync, None, None, CurrentTime);
        if (status == GrabSuccess)
            XUngrabPointer(m_display, CurrentTime);
        XSync(m_display, False);
        return status == GrabSuccess;
    }

    // A move as a mouse makes it, with raw motion.
    void move(int dx, int dy)
    {
        XTestFakeRelativeMotionEvent(m_display, dx, dy, CurrentTime);
        XSync(m_display, False);
    }

private slots:
    void initTestCase()
    {
        if (!m_haveServer || !xdo(QStringLiteral("version")))
            QSKIP("Xvfb or xdotool is missing");
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        m_display = XOpenDisplay(nullptr);
        QVERIFY(m_display && m_element.setHook() && m_element.m_mouseHook && m_element.m_keyboardHook);
    }

    void cleanupTestCase()
    {
        if (m_display)
            XCloseDisplay(m_display);
    }

    void init()
    {
        m_engine = setUpEngine({{1, 1, 1, 1, 1920, 1080}, {2, 1, 1, 2, 1920, 1080}}, 1, 0x03);
        m_engine->m_mouseSpeed = 0; // no plain-edge crossing unless a case asks for one
        QVERIFY(xdo(QStringLiteral("mousemove 500 500"))); // a warp: no raw motion
        QTest::qWait(60);
    }

    void inputReachesTheEngine()
    {
        QVERIFY(xdo(QStringLiteral("mousemove_relative -- 10 5")));
        QTRY_COMPARE(m_engine->m_lastPointer.value_or(QPoint()), pointer());
        QVERIFY(pointer() != QPoint(500, 500) && m_engine->m_lastRow == 1);
        for (const char *button : {"1", "3"}) {
            QVERIFY(xdo(QStringLiteral("mousedown ") + QLatin1String(button)));
            QTRY_COMPARE(QPoint(m_engine->m_leftButtonDown, m_engine->m_rightButtonDown),
                QPoint(*button == '1', *button == '3'));
            QVERIFY(xdo(QStringLiteral("mouseup ") + QLatin1String(button)));
            QTRY_COMPARE(QPoint(m_engine->m_leftButtonDown, m_engine->m_rightButtonDown), QPoint(0, 0));
        }
        // Other keys and the release of the switch's key do nothing; its press is an arrival.
        m_engine->m_curPort = 2;
        VirtualHid::model().mouseStatus = {1, 1, 1, 7, 50};
        QVERIFY(xdo(QStringLiteral("key a")) && xdo(QStringLiteral("keyup 191")));
        QTest::qWait(60);
        QCOMPARE(countFrames(0x48) * 10 + m_engine->m_curPort, 2);
        QVERIFY(xdo(QStringLiteral("key 191")));
        QTRY_COMPARE(m_engine->m_curPort, 1);
        QCOMPARE(countFrames(0x48), 1);
        QTRY_COMPARE(pointer(), QPoint(8, 540));
    }

    void swallowingHoldsThePointer()
    {
        m_engine->m_switchPending = 1;
        move(5, 0);
        QTRY_COMPARE(m_engine->m_lastPointer.value_or(QPoint()), pointer());
        const QPoint held = pointer();
        move(50, 50);
        QTest::qWait(60);
        QCOMPARE(pointer(), held);
        // A word that the pending period ends while the engine still swallows changes nothing;
        // once it stops, the pointer is let go without waiting for motion or the hold's limit (2 s).
        InputHooks::instance().swallowingEnded();
        QVERIFY(!pointerFree());
        m_engine->stopMouseMove();
        QTRY_VERIFY_WITH_TIMEOUT(pointerFree(), 1000);
        // However long the engine swallows, the pointer is let go after the limit.
        m_engine->m_switchPending = 1;
        move(5, 5);
        QTRY_VERIFY(!pointerFree());
        QTRY_VERIFY_WITH_TIMEOUT(pointerFree(), 6000);
    }

    void pushAgainstAnEdge_data()
    {
        QTest::addColumn<QPoint>("start");
        QTest::addColumn<QPoint>("step"); // pixels a step, a step every 15 ms
        QTest::addColumn<QByteArray>("sent");
        QTest::newRow("right, from 100 px away") << QPoint(1820, 540) << QPoint(60, 0) << request(2, 1, 2, 7, 50);
        QTest::newRow("right, already touching") << QPoint(1919, 540) << QPoint(60, 0) << request(2, 1, 2, 7, 50);
        QTest::newRow("left, from 100 px away") << QPoint(100, 300) << QPoint(-60, 0) << request(2, 1, 1, 2, 27);
        QTest::newRow("left, already touching") << QPoint(0, 300) << QPoint(-60, 0) << request(2, 1, 1, 2, 27);
        QTest::newRow("down, already touching") << QPoint(960, 1079) << QPoint(0, 60) << request(3, 2, 1, 5, 50);
        // Well under the crossing speed, however long it goes on.
        QTest::newRow("right, slow push") << QPoint(1919, 540) << QPoint(1, 0) << QByteArray();
        QTest::newRow("left, slow push") << QPoint(0, 300) << QPoint(-1, 0) << QByteArray();
        QTest::newRow("resting on the edge") << QPoint(1919, 540) << QPoint(0, 0) << QByteArray();
    }

    // The server stops the pointer at the screen's edge; a push on against it must still
    // reach the engine as motion at crossing speed, and a slow one or none must not.
    void pushAgainstAnEdge()
    {
        QFETCH(QPoint, start);
        QFETCH(QPoint, step);
        QFETCH(QByteArray, sent);
        const bool left = step.x() < 0;
        // The other computer left of this one, or right of it, and a third one below.
        m_engine = setUpEngine({{2, 1, 1, left ? 1 : 2, 1920, 1080}, {1, 1, 1, left ? 2 : 1, 1920, 1080},
                                   {3, 1, 2, left ? 2 : 1, 1920, 1080}},
            1, 0x07, 4, QVector<QRect> {{0, 0, 1920, 1080}});
        m_engine->m_mouseSpeed = 0;
        QTimer speed; // the speed period of the running agent
        connect(&speed, &QTimer::timeout, m_engine, &Monitor::getMouseSpeed);
        XWarpPointer(m_display, None, DefaultRootWindow(m_display), 0, 0, 0, 0, start.x(), start.y());
        XSync(m_display, False);
        QTest::qWait(60);
        // The pointer got there over this monitor (x = 0 itself is on no monitor).
        m_engine->m_lastRow = 1;
        m_engine->m_lastCol = left ? 2 : 1;
        speed.start(100);
        QTest::qWait(250);
        for (int i = 0; i < 60 && switchRequests().isEmpty(); ++i) {
            if (!step.isNull())
                move(step.x(), step.y());
            QTest::qWait(15);
        }
        QTest::qWait(60);
        QCOMPARE(switchRequests(), sent.isEmpty() ? QList<QByteArray>() : QList<QByteArray>({sent}));
        if (sent.isEmpty())
            return;
        // Parked 13 px inside the lower-right corner, held there for the pending period, then let go.
        QTRY_COMPARE(pointer(), QPoint(1907, 1067));
        QTRY_VERIFY(m_engine->m_switchPending == 0 && pointerFree());
    }

    void uninstallAndAgain()
    {
        move(3, 3);
        QTRY_COMPARE(m_engine->m_lastPointer.value_or(QPoint()), pointer());
        const QPoint before = pointer();
        m_element.uninstallHook();
        m_element.uninstallHook();
        QVERIFY(!m_element.m_mouseHook && !m_element.m_keyboardHook);
        move(20, 20);
        QTest::qWait(60);
        QCOMPARE(m_engine->m_lastPointer.value_or(QPoint()), before);
        QVERIFY(m_element.setHook());
        move(20, 20);
        QTRY_COMPARE(m_engine->m_lastPointer.value_or(QPoint()), pointer());
    }
};

int main(int argc, char *argv[])
{
    Xvfb server;
    const bool haveServer = server.start();
    qputenv("QT_QPA_PLATFORM", haveServer ? "xcb" : "offscreen");
    if (haveServer)
        qputenv("DISPLAY", server.display().toLatin1());
    QGuiApplication app(argc, argv);
    TestX11InputHooks test(haveServer);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_x11inputhooks.moc"
