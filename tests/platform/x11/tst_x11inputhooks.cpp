// The X11 input hooks against a real X server: an Xvfb of the test's own, driven by xdotool.

#include "enginefixture.h"
#include "monitor.h"
#include "virtualhid.h"
#include "xvfb.h"

#include <QGuiApplication>
#include <QProcess>
#include <QtTest>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace
{
bool xdo(const QStringList &args)
{
    return QProcess::execute(QStringLiteral("xdotool"), args) == 0;
}

bool xdo(const char *a, const char *b = nullptr, const char *c = nullptr, const char *d = nullptr)
{
    QStringList args;
    for (const char *s : {a, b, c, d}) {
        if (s)
            args << QString::fromLatin1(s);
    }
    return xdo(args);
}

int countFrames(unsigned char id)
{
    int n = 0;
    for (const QByteArray &f : VirtualHid::sentFrames())
        n += static_cast<unsigned char>(f.at(0)) == id;
    return n;
}
} // namespace

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

    void warp(int x, int y)
    {
        XWarpPointer(m_display, None, DefaultRootWindow(m_display), 0, 0, 0, 0, x, y);
        XSync(m_display, False);
    }

    // A move as a mouse makes it, with raw motion.
    void move(int dx, int dy)
    {
        XTestFakeRelativeMotionEvent(m_display, dx, dy, CurrentTime);
        XSync(m_display, False);
    }

    // Lets the hooks read what the server has sent them.
    void settle() { QTest::qWait(60); }

private slots:
    void initTestCase()
    {
        if (!m_haveServer)
            QSKIP("Xvfb could not be started");
        if (QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("version")}) != 0)
            QSKIP("xdotool is not installed");
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));

        m_display = XOpenDisplay(nullptr);
        QVERIFY(m_display);
        QVERIFY(m_element.setHook());
        QVERIFY(m_element.m_mouseHook && m_element.m_keyboardHook);
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
        QVERIFY(xdo("mousemove", "500", "500")); // a warp: no raw motion
        settle();
    }

    void movesReachTheHandler()
    {
        QVERIFY(xdo("mousemove_relative", "--", "10", "5"));
        QTRY_VERIFY(m_engine->m_lastPointer.has_value());
        QTRY_COMPARE(*m_engine->m_lastPointer, pointer());
        QVERIFY(pointer() != QPoint(500, 500));

        QVERIFY(xdo("mousemove_relative", "--", "-40", "-30"));
        QTRY_COMPARE(*m_engine->m_lastPointer, pointer());
        QCOMPARE(m_engine->m_lastRow, 1);
    }

    void buttons()
    {
        QVERIFY(xdo("mousedown", "1"));
        QTRY_COMPARE(m_engine->m_leftButtonDown, 1);
        QVERIFY(xdo("mouseup", "1"));
        QTRY_COMPARE(m_engine->m_leftButtonDown, 0);
        QVERIFY(xdo("mousedown", "3"));
        QTRY_COMPARE(m_engine->m_rightButtonDown, 1);
        QVERIFY(xdo("mouseup", "3"));
        QTRY_COMPARE(m_engine->m_rightButtonDown, 0);
    }

    void focusArrivalKey()
    {
        m_engine->m_curPort = 2;
        VirtualHid::model().mouseStatus = {1, 1, 1, 7, 50};

        // Other keys and the release of the switch's key do nothing.
        QVERIFY(xdo("key", "a"));
        QVERIFY(xdo("keyup", "191"));
        settle();
        QCOMPARE(countFrames(0x48), 0);
        QCOMPARE(m_engine->m_curPort, 2);

        QVERIFY(xdo("key", "191"));
        QTRY_COMPARE(m_engine->m_curPort, 1);
        QCOMPARE(countFrames(0x48), 1);
        QTRY_COMPARE(pointer(), QPoint(8, 540));
    }

    void swallowingHoldsThePointer()
    {
        m_engine->m_switchPending = 1;
        QVERIFY(xdo("mousemove_relative", "--", "5", "0"));
        QTRY_VERIFY(m_engine->m_lastPointer == pointer());
        const QPoint held = pointer();
        QVERIFY(xdo("mousemove_relative", "--", "50", "50"));
        settle();
        QCOMPARE(pointer(), held);

        // A word that the pending period ends while the engine still swallows changes nothing.
        InputHooks::instance().swallowingEnded();
        QVERIFY(!pointerFree());

        // Once the engine stops swallowing the pointer is let go, without waiting for motion
        // or for the hold's limit of two seconds.
        m_engine->stopMouseMove();
        QTRY_VERIFY_WITH_TIMEOUT(pointerFree(), 1000);
        QVERIFY(xdo("mousemove_relative", "--", "5", "5"));
        QTRY_VERIFY(pointer() != held);
    }

    void crossing()
    {
        m_engine->m_mouseSpeed = 1.0;
        QVERIFY(xdo("mousemove_relative", "--", "5", "0"));
        QTRY_COMPARE(m_engine->m_lastCol, 1);
        QVERIFY(xdo("mousemove", "1890", "540"));
        QVERIFY(xdo("mousemove_relative", "--", "40", "0"));

        // Parked 13 px inside the lower-right corner and held there for the pending period.
        QTRY_COMPARE(m_engine->m_curPort, 2);
        QCOMPARE(switchRequests().size(), 1);
        QCOMPARE(switchRequests().first().at(1), char(2));
        QTRY_COMPARE(pointer(), QPoint(1907, 1067));
        // 50 ms later the hold ends: another client can take the pointer.
        QTRY_COMPARE(m_engine->m_switchPending, 0);
        QTRY_VERIFY(pointerFree());
    }

    void pushAgainstAnEdge_data()
    {
        QTest::addColumn<bool>("leftNeighbour"); // the other computer is left of this one
        QTest::addColumn<QPoint>("start");
        QTest::addColumn<int>("step"); // pixels a step along x, a step every 15 ms
        QTest::addColumn<int>("steps");
        QTest::addColumn<bool>("crosses");

        QTest::newRow("right, from 100 px away") << false << QPoint(1820, 540) << 60 << 60 << true;
        QTest::newRow("right, already touching") << false << QPoint(1919, 540) << 60 << 60 << true;
        QTest::newRow("left, from 100 px away") << true << QPoint(100, 300) << -60 << 60 << true;
        QTest::newRow("left, already touching") << true << QPoint(0, 300) << -60 << 60 << true;
        // Well under the crossing speed, however long it goes on.
        QTest::newRow("right, slow push") << false << QPoint(1919, 540) << 1 << 60 << false;
        QTest::newRow("left, slow push") << true << QPoint(0, 300) << -1 << 60 << false;
        QTest::newRow("resting on the edge") << false << QPoint(1919, 540) << 0 << 60 << false;
    }

    // The server stops the pointer at the screen's edge; a push on against it must still
    // reach the engine as motion at crossing speed, and a slow one or none must not.
    void pushAgainstAnEdge()
    {
        QFETCH(bool, leftNeighbour);
        QFETCH(QPoint, start);
        QFETCH(int, step);
        QFETCH(int, steps);
        QFETCH(bool, crosses);

        if (leftNeighbour)
            m_engine = setUpEngine({{2, 1, 1, 1, 1920, 1080}, {1, 1, 1, 2, 1920, 1080}}, 1, 0x03);
        m_engine->m_mouseSpeed = 0;
        // The speed period of the running agent.
        QTimer speed;
        speed.setInterval(100);
        connect(&speed, &QTimer::timeout, m_engine, &Monitor::getMouseSpeed);
        warp(start.x(), start.y());
        settle();
        // The pointer got there over this monitor (x = 0 itself is on no monitor).
        m_engine->m_lastRow = 1;
        m_engine->m_lastCol = leftNeighbour ? 2 : 1;
        speed.start();
        QTest::qWait(250);

        for (int i = 0; i < steps && switchRequests().isEmpty(); ++i) {
            if (step != 0)
                move(step, 0);
            QTest::qWait(15);
        }
        settle();
        QCOMPARE(switchRequests().size(), crosses ? 1 : 0);
        if (crosses)
            QCOMPARE(switchRequests().first(),
                request(2, 1, leftNeighbour ? 1 : 2, leftNeighbour ? 2 : 7, start.y() * 100 / 1080));
    }

    void uninstallAndAgain()
    {
        QVERIFY(xdo("mousemove_relative", "--", "3", "3"));
        QTRY_COMPARE(*m_engine->m_lastPointer, pointer());
        const QPoint before = *m_engine->m_lastPointer;

        m_element.uninstallHook();
        QVERIFY(!m_element.m_mouseHook && !m_element.m_keyboardHook);
        m_element.uninstallHook();
        QVERIFY(xdo("mousemove_relative", "--", "20", "20"));
        settle();
        QCOMPARE(*m_engine->m_lastPointer, before);

        QVERIFY(m_element.setHook());
        QVERIFY(xdo("mousemove_relative", "--", "20", "20"));
        QTRY_COMPARE(*m_engine->m_lastPointer, pointer());
    }
};

int main(int argc, char *argv[])
{
    Xvfb server;
    const bool haveServer = server.start();
    if (haveServer) {
        qputenv("DISPLAY", server.display().toLatin1());
        qputenv("QT_QPA_PLATFORM", "xcb");
    } else {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication app(argc, argv);
    TestX11InputHooks test(haveServer);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_x11inputhooks.moc"
