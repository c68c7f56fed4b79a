// The whole agent end to end: real agent processes on their own X servers, the virtual switch
// daemon between them, pointers moved as a mouse moves them. The windows* cases run the Windows
// agent under Wine in a Wine desktop beside a Linux computer (ctest's tst_wineagent).

#include <QtTest>

// After the toolkit: X11 defines True, False and None as macros.
#include "rig.h"

namespace
{
void click(Computer &c, QPoint at, unsigned int button) // the pointer gets there first
{
    c.warp(at.x(), at.y());
    QTest::qWait(200);
    XTestFakeButtonEvent(c.x, button, True, CurrentTime), XSync(c.x, False);
    QTest::qWait(50);
    XTestFakeButtonEvent(c.x, button, False, CurrentTime), XSync(c.x, False);
}
} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

    QTemporaryDir m_template; // the Wine prefix each Windows computer copies

    // A crossing from `from`'s right edge at 1300,540 and back from `to`'s left edge at 600,300.
    static void crossAndBack(Rig &rig, Computer &from, Computer &to)
    {
        QVERIFY(rig.pushThrough(from, {1300, 540}, {40, 0}));
        QCOMPARE(rig.ctl(qs("last")), QByteArray("ok 2 1 2 7 50"));
        // Parked at (1907, 1067); under Wine moves already on their way still carry X's pointer on.
        QTRY_COMPARE(from.pointer().y(), 1067);
        QVERIFY(from.pointer().x() >= 1907);
        QTRY_COMPARE(to.pointer(), QPoint(8, 540));
        QVERIFY(waitFor([&] { return to.frameFills(); }));
        QVERIFY(rig.pushThrough(to, {600, 300}, {-40, 0}));
        QCOMPARE(rig.ctl(qs("last")), QByteArray("ok 1 1 1 2 27"));
        QTRY_COMPARE_WITH_TIMEOUT(from.pointer(), QPoint(1912, 291), 5000);
        QVERIFY(waitFor([&] { return from.frameShown(qs("back")); }));
    }

private slots:
    void initTestCase()
    {
        for (const char *tool : {"Xvfb", "trayer", "xcompmgr", "xwininfo", "import", "xmodmap"})
            if (QStandardPaths::findExecutable(qs(tool)).isEmpty())
                QSKIP(tool);
    }

    void roadOfOneCrossingAndBack()
    {
        Rig rig;
        QVERIFY(rig.start({{1, 1, 1}, {2, 1, 2}}));
        Computer &a = rig[1], &b = rig[2];
        QVERIFY(waitFor([&] { return a.online() && b.online(); }, 10000));
        // Slowly into the right edge: held back.
        a.warp(1890, 540);
        for (int i = 0; i < 15; ++i)
            a.move(2, 0), QTest::qWait(60);
        QCOMPARE(a.pointer(), QPoint(1919, 540));
        QCOMPARE(rig.ctl(qs("last")), QByteArray("ok 0 0 0 0 0"));
        crossAndBack(rig, a, b);
        // Drawn in software: an OpenGL driver (Mesa's) would more than double the agent's memory.
        const QByteArray maps = a.mappings();
        QVERIFY(maps.contains("libQt5Quick"));
        QVERIFY2(!maps.contains("_dri.so") && !maps.contains("libGLX_mesa") && !maps.contains("libLLVM"), "GL loaded");
        // Blinking: seen both drawn and not drawn while it lasts (3 s).
        bool seen[2] = {false, false};
        QElapsedTimer t;
        t.start();
        while (!(seen[0] && seen[1]) && t.elapsed() < 3000)
            seen[a.frameShown(qs("blink"))] = true, QTest::qWait(100);
        QVERIFY(seen[0] && seen[1]);
    }

    void wrapAroundThreeComputers() // left out of column 1 lands on 16 and walks back to C in 3
    {
        Rig rig;
        QVERIFY(rig.start({{1, 1, 1}, {2, 1, 2}, {3, 1, 3}}, 1));
        QVERIFY(rig.pushThrough(rig[1], {600, 540}, {-40, 0}));
        QCOMPARE(rig.ctl(qs("last")), QByteArray("ok 3 1 3 2 50"));
        QTRY_COMPARE(rig[3].pointer(), QPoint(1912, 540));
        QCOMPARE(rig[2].pointer(), QPoint(960, 540)); // B was skipped
    }

    void unplugAndReplug()
    {
        Rig rig;
        QVERIFY(rig.start({{1, 1, 1}, {2, 1, 2}}, 0, 0)); // blink until something changes
        QVERIFY(waitFor([&] { return rig[1].online() && rig[2].online(); }, 10000));
        QVERIFY(rig.pushThrough(rig[1], {1300, 540}, {40, 0}));
        QVERIFY(waitFor([&] { return rig[2].frameShown(qs("blinking")); }));
        QCOMPARE(rig.ctl(qs("unplug")), QByteArray("ok"));
        const QByteArray lost = "Unable to send a feature report.";
        QTRY_VERIFY_WITH_TIMEOUT(rig[1].log().contains(lost) && rig[2].log().contains(lost), 8000);
        // The frame is gone for good, not between two blinks, and the trays are grey.
        for (int i = 0; i < 6; ++i, QTest::qWait(200))
            QVERIFY(!rig[2].frameShown(qs("unplugged")));
        QVERIFY(rig[1].offline() && rig[2].offline());
        // Back in two heartbeats, counted, not timed: the first reopens, the next is accepted.
        const int marks[2] = {rig[1].log().size(), rig[2].log().size()};
        const int before[2] = {rig.accepted(1), rig.accepted(2)};
        QCOMPARE(rig.ctl(qs("plug")), QByteArray("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(rig.accepted(1) > before[0] && rig.accepted(2) > before[1], 20000);
        for (int port : {1, 2}) {
            const QByteArray since = rig[port].log().mid(marks[port - 1]);
            const int reopened = since.indexOf("hid_open() ok");
            QVERIFY2(reopened >= 0 && !since.mid(reopened).contains(lost), since.constData());
        }
        QVERIFY(waitFor([&] { return rig[1].online() && rig[2].online(); }, 3000));
    }

    // The Windows agent as a Windows user meets it: the tray icon grey until the switch is
    // plugged, a log of CR LF lines, a second start that only says so, crossings each way, Quit.
    void windowsComputer()
    {
        for (const char *tool : {"wine", "wineboot", "wineserver"})
            if (QStandardPaths::findExecutable(qs(tool)).isEmpty())
                QSKIP(tool);
        QVERIFY2(QFile::exists(qs(WINDOWS_AGENT)), "not built: run scripts/build-windows.sh");
        QVERIFY(Wine::makeTemplate(m_template.filePath(qs("prefix"))));
        Rig rig;
        rig.windowsPorts = {1};
        rig.unplugged = true;
        QVERIFY(rig.start({{1, 1, 1}, {2, 1, 2}}));
        Computer &a = rig[1], &b = rig[2];
        QVERIFY2(waitFor([&] { return a.offline(); }, 30000), "no grey tray icon in the Wine taskbar");
        QTRY_VERIFY_WITH_TIMEOUT(a.log().contains("unable to open device"), 10000);
        QCOMPARE(rig.ctl(qs("plug")), QByteArray("ok"));
        QVERIFY2(waitFor([&] { return a.online() && b.online(); }, 20000), "the tray icon does not turn blue");
        // Each message starts with its stamp; one that holds a line break goes on after ": ".
        static const QRegularExpression wellFormed(
            qs(R"(\A(Date: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d, [^\n]*\r\n|(?<=: \r\n)[^\n]*\r\n)*\z)"));
        QVERIFY(a.log().contains("Debug: hid_open() ok, handle = 0x"));
        QVERIFY2(wellFormed.match(QString::fromLocal8Bit(a.log())).hasMatch(), a.log().constData());

        auto second = rig.startAgent(a, {qs("--show now")});
        const auto alert = [&] { // its picture, an orange disc
            return XDesktop::pixelsNear(a.screenshot(qs("a")), {770, 440, 380, 190}, QColor(243, 156, 18), 60) > 200;
        };
        QVERIFY2(waitFor(alert, 20000), "no alert scene");
        QVERIFY(a.log().contains("\"The value is: --show\""));
        QVERIFY(rig.ctl(qs("status")).contains("\"agents\":2")); // the second opened no switch
        click(a, {960 + 141, 540 + 59}, 1); // its OK button
        QVERIFY(second->waitForFinished(10000));
        QCOMPARE(second->exitCode(), 0);

        crossAndBack(rig, a, b);
        QTRY_VERIFY(a.log().contains("postSwitchCmd nextportnum 2  :  1 2 7 50 1907 1067"));

        // "Quit" from the tray menu: the hooks go and the switch is closed, exit code 0.
        const int closedBefore = a.log().count("closedev() called");
        click(a, Wine::s_trayIcon.center(), 3);
        QTest::qWait(1000);
        click(a, Wine::s_trayIcon.center() - QPoint(34, 30), 1); // the menu's one entry
        QVERIFY2(a.agent->waitForFinished(15000), "Quit did not end the agent");
        QCOMPARE(a.agent->exitStatus(), QProcess::NormalExit);
        QCOMPARE(a.agent->exitCode(), 0);
        QVERIFY(a.log().count("closedev() called") > closedBefore);
        QVERIFY(wellFormed.match(QString::fromLocal8Bit(a.log())).hasMatch());
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
