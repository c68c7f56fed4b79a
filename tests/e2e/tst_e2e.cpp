// The whole agent end to end: real agent processes on their own X servers, the virtual switch
// daemon between them, pointers moved as a mouse moves them.

#include <QtTest>

// After the toolkit: X11 defines True, False and None as macros.
#include "rig.h"

#include <signal.h>

class TestEndToEnd : public QObject
{
    Q_OBJECT

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
        // Fast: A asks for port 2 at the right edge, halfway down, and parks its pointer.
        QVERIFY(rig.pushThrough(a, {1300, 540}, {40, 0}));
        QCOMPARE(rig.ctl(qs("last")), QByteArray("ok 2 1 2 7 50"));
        QTRY_COMPARE(a.pointer(), QPoint(1907, 1067));
        QTRY_COMPARE(b.pointer(), QPoint(8, 540));
        QVERIFY(waitFor([&] { return b.frameFills(); }));
        // Drawn in software: an OpenGL driver (Mesa's) would more than double the agent's memory.
        const QByteArray maps = b.mappings();
        QVERIFY(maps.contains("libQt5Quick"));
        QVERIFY2(!maps.contains("_dri.so") && !maps.contains("libGLX_mesa") && !maps.contains("libLLVM"), "GL loaded");
        // Blinking: seen both drawn and not drawn while it lasts (3 s).
        bool seen[2] = {false, false};
        QElapsedTimer t;
        t.start();
        while (!(seen[0] && seen[1]) && t.elapsed() < 3000)
            seen[b.frameShown(qs("blink"))] = true, QTest::qWait(100);
        QVERIFY(seen[0] && seen[1]);
        // And back: B's left edge into A's right edge, a quarter of the way down.
        QVERIFY(rig.pushThrough(b, {600, 300}, {-40, 0}));
        QCOMPARE(rig.ctl(qs("last")), QByteArray("ok 1 1 1 2 27"));
        QTRY_COMPARE(a.pointer(), QPoint(1912, 291));
        QVERIFY(waitFor([&] { return a.frameFills(); }));
        // A second start only says so (its alert) and opens no switch.
        const auto second = rig.startAgent(a);
        QVERIFY(waitFor([&] { return a.tree().contains(qs("380x200")); }, 10000));
        QVERIFY(rig.ctl(qs("status")).contains("\"agents\":2"));
    }

    void cornerCrossing() // a corner goes through at any speed
    {
        Rig rig;
        QVERIFY(rig.start({{1, 1, 1}, {2, 2, 2}}));
        rig[1].warp(1900, 1060);
        for (int i = 0; i < 10 && !rig.ctl(qs("last")).startsWith("ok 2"); ++i)
            rig[1].move(3, 3), QTest::qWait(60);
        QCOMPARE(rig.ctl(qs("last")), QByteArray("ok 2 2 2 8 0"));
        QTRY_COMPARE(rig[2].pointer(), QPoint(13, 13));
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

    // A switch that stops answering mid-crossing: that crossing may be lost, no other, and none
    // lands anywhere but where it was aimed.
    void stalledSwitchMissesOneCrossingAtMost()
    {
        Rig rig;
        QVERIFY(rig.start({{1, 1, 1}, {2, 1, 2}}));
        Computer &a = rig[1];
        const int opened = a.log().count("hid_open() ok");
        QCOMPARE(::kill(pid_t(rig.switchPid()), SIGSTOP), 0);
        a.warp(1300, 540);
        for (int i = 0; i < 20; ++i)
            a.move(40, 0), QTest::qWait(10);
        QTest::qWait(1000);
        QCOMPARE(::kill(pid_t(rig.switchPid()), SIGCONT), 0);
        const QByteArray last = rig.ctl(qs("last"));
        QVERIFY2(last == "ok 0 0 0 0 0" || last == "ok 2 1 2 7 50", last.constData());
        // Back once a heartbeat after the one that reopened it is accepted; the next push crosses.
        QVERIFY(waitFor([&] { return a.log().count("hid_open() ok") > opened; }, 10000));
        const int accepted = rig.accepted(1);
        QVERIFY(waitFor([&] { return rig.accepted(1) > accepted; }, 10000));
        QVERIFY(rig.pushThrough(a, {1300, 540}, {40, 0}));
        QCOMPARE(rig.ctl(qs("last")), QByteArray("ok 2 1 2 7 50"));
        QTRY_COMPARE(rig[2].pointer(), QPoint(8, 540));
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
        for (int i = 0; i < 6; ++i) {
            QVERIFY(!rig[2].frameShown(qs("unplugged")));
            QTest::qWait(200);
        }
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
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
