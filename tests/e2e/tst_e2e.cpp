// The whole agent end to end: real agent processes on their own X servers, the virtual switch
// daemon between them, pointers moved as a mouse moves them. windowsComputer runs the Windows
// agent under Wine beside a Linux computer (ctest's tst_wineagent).

#include <QtTest>

// After the toolkit: X11 defines True, False and None as macros.
#include "rig.h"

class TestEndToEnd : public QObject
{
    Q_OBJECT

    // Out of `from`'s right edge at y 540 and back out of `to`'s left edge at y 300: each way the
    // switch is told, the pointer placed where the switch says and the frame shown.
    static void crossAndBack(Rig &rig, Computer &from, Computer &to)
    {
        // Under Wine the hooks come some seconds after the first heartbeat.
        QVERIFY(waitFor([&] { return rig.pushThrough(from, {1300, 540}, 40); }, 30000));
        QCOMPARE(rig.ctl(qs("last")), QByteArray("ok 2 1 2 7 50"));
        // Parked at (1907, 1067); under Wine moves already on their way still carry X's pointer on.
        QTRY_COMPARE(from.pointer().y(), 1067);
        QVERIFY(from.pointer().x() >= 1907);
        QTRY_COMPARE(to.pointer(), QPoint(8, 540));
        QVERIFY(waitFor([&] { return to.frameShown("there"); }));
        QVERIFY(rig.pushThrough(to, {600, 300}, -40));
        QCOMPARE(rig.ctl(qs("last")), QByteArray("ok 1 1 1 2 27"));
        QTRY_COMPARE_WITH_TIMEOUT(from.pointer(), QPoint(1912, 291), 5000);
        QVERIFY(waitFor([&] { return from.frameShown("back"); }));
    }

private slots:
    void initTestCase()
    {
        for (const char *tool : {"Xvfb", "xcompmgr", "import", "xmodmap"})
            if (QStandardPaths::findExecutable(qs(tool)).isEmpty())
                QSKIP(tool);
    }

    void roadOfOneCrossingAndBack()
    {
        Rig rig;
        QVERIFY(rig.start({{1, 1, 1}, {2, 1, 2}}));
        crossAndBack(rig, rig[1], rig[2]);
        // Drawn in software with its frame up: an OpenGL driver would more than double its memory.
        const QByteArray maps = XDesktop::readAll(qs("/proc/%1/maps").arg(rig[1].agent->processId()));
        QVERIFY(maps.contains("libQt5Quick"));
        QVERIFY2(!maps.contains("_dri.so") && !maps.contains("libGLX_mesa") && !maps.contains("libLLVM"), "GL loaded");
    }

    void wrapAroundThreeComputers() // left out of column 1 lands on 3, B skipped
    {
        Rig rig;
        QVERIFY(rig.start({{1, 1, 1}, {2, 1, 2}, {3, 1, 3}}, 1));
        QVERIFY(rig.pushThrough(rig[1], {600, 540}, -40));
        QCOMPARE(rig.ctl(qs("last")), QByteArray("ok 3 1 3 2 50"));
        QTRY_COMPARE(rig[3].pointer(), QPoint(1912, 540));
        QCOMPARE(rig[2].pointer(), QPoint(960, 540));
    }

    void unplugAndReplug()
    {
        Rig rig;
        QVERIFY(rig.start({{1, 1, 1}, {2, 1, 2}}, 0, 0)); // the frame blinks until something changes
        QVERIFY(rig.pushThrough(rig[1], {1300, 540}, 40));
        QVERIFY(waitFor([&] { return rig[2].frameShown("blinking"); }));
        QCOMPARE(rig.ctl(qs("unplug")), QByteArray("ok"));
        const QByteArray lost = "Unable to send a feature report.";
        QTRY_VERIFY_WITH_TIMEOUT(rig[1].log().contains(lost) && rig[2].log().contains(lost), 8000);
        for (int i = 0; i < 6; ++i, QTest::qWait(200)) // gone for good, not between two blinks
            QVERIFY(!rig[2].frameShown("unplugged"));
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
    }

    void windowsComputer()
    {
        for (const char *tool : {"wine", "wineboot", "wineserver"})
            if (QStandardPaths::findExecutable(qs(tool)).isEmpty())
                QSKIP(tool);
        QVERIFY2(QFile::exists(qs(WINDOWS_AGENT)), "not built: run scripts/build-windows.sh");
        Rig rig;
        rig.windowsPorts = {1};
        QVERIFY(rig.start({{1, 1, 1}, {2, 1, 2}}));
        crossAndBack(rig, rig[1], rig[2]);
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
