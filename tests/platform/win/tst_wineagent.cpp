// The Windows agent as a Windows user meets it, under Wine in a Wine desktop on an Xvfb of its
// own: tray icon, log file, second start, Quit, and crossings to and from a Linux computer.
// Under Wine a swallowed move does not hold the cursor still (X has moved it already).

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

// Every line of a Windows log ends with CR LF; each message starts with its stamp, and one that
// holds a line break goes on after ": ".
bool wellFormed(const QByteArray &log)
{
    static const QRegularExpression re(
        qs(R"(\A(Date: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d, [^\n]*\r\n|(?<=: \r\n)[^\n]*\r\n)*\z)"));
    return re.match(QString::fromLocal8Bit(log)).hasMatch();
}
} // namespace

class TestWineAgent : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        for (const char *tool :
            {"wine", "wineboot", "wineserver", "Xvfb", "trayer", "xcompmgr", "xwininfo", "import", "xmodmap"})
            if (QStandardPaths::findExecutable(qs(tool)).isEmpty())
                QSKIP(tool);
        QVERIFY2(QFile::exists(qs(WINDOWS_AGENT)), "not built: run scripts/build-windows.sh");
        QVERIFY(m_template.isValid());
        QVERIFY(Wine::makeTemplate(m_template.filePath(qs("prefix"))));
    }

    void trayLogSecondStartAndQuit()
    {
        Rig rig;
        rig.windowsPorts = {1};
        rig.unplugged = true;
        QVERIFY(rig.start({{1, 1, 1}, {2, 1, 2}}));
        Computer &a = rig[1];

        QVERIFY2(waitFor([&] { return a.offline(); }, 30000), "no grey tray icon in the Wine taskbar");
        QTRY_VERIFY_WITH_TIMEOUT(a.log().contains("unable to open device"), 10000);
        QCOMPARE(rig.ctl(qs("plug")), QByteArray("ok"));
        QVERIFY2(waitFor([&] { return a.online(); }, 10000), "the tray icon does not turn blue");
        const QRegularExpression opened(qs("Date: \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d, Debug: hid_open\\(\\) ok, "
                                           "handle = 0x[0-9a-f]+ \\(.*hidcommand.cpp:\\d+, .*opendevice.*\\)\r\n"));
        QVERIFY(opened.match(QString::fromLocal8Bit(a.log())).hasMatch());
        QVERIFY2(wellFormed(a.log()), a.log().constData());

        // A second start only says so; the first logs the word it was handed.
        auto second = rig.startAgent(a, {qs("--show now")});
        const auto alert = [&] { // its picture, an orange disc
            return XDesktop::pixelsNear(a.screenshot(qs("a")), {770, 440, 380, 190}, QColor(243, 156, 18), 60) > 200;
        };
        QVERIFY2(waitFor(alert, 20000), "no alert scene");
        QVERIFY(a.log().contains("Have already connected to server."));
        QVERIFY(a.log().contains("\"The value is: --show\""));
        QVERIFY(rig.ctl(qs("status")).contains("\"agents\":2")); // the second opened no switch
        click(a, {960 + 141, 540 + 59}, 1); // its OK button
        QVERIFY(second->waitForFinished(10000));
        QCOMPARE(second->exitCode(), 0);

        // "Quit" from the tray menu: the hooks go and the switch is closed, exit code 0.
        const int closedBefore = a.log().count("closedev() called");
        click(a, Wine::s_trayIcon.center(), 3);
        QTest::qWait(1000);
        click(a, Wine::s_trayIcon.center() - QPoint(34, 30), 1); // the menu's one entry
        QVERIFY2(a.agent->waitForFinished(15000), "Quit did not end the agent");
        QCOMPARE(a.agent->exitStatus(), QProcess::NormalExit);
        QCOMPARE(a.agent->exitCode(), 0);
        QVERIFY(a.log().count("closedev() called") > closedBefore);
        QVERIFY2(wellFormed(a.log()), a.log().constData());
    }

    void crossingWithAWindowsComputer()
    {
        Rig rig;
        rig.windowsPorts = {1};
        QVERIFY(rig.start({{1, 1, 1}, {2, 1, 2}}));
        Computer &a = rig[1], &b = rig[2]; // Windows, Linux
        QVERIFY(waitFor([&] { return a.online() && b.online(); }, 20000));

        QVERIFY(rig.pushThrough(a, {1300, 540}, {40, 0}));
        QCOMPARE(rig.ctl(qs("last")), QByteArray("ok 2 1 2 7 50"));
        // The switch records the request before it answers; the agent logs it after.
        QTRY_VERIFY(a.log().contains("postSwitchCmd nextportnum 2  :  1 2 7 50 1907 1067"));
        // Parked at (1907, 1067): moves already on their way still carry X's pointer on.
        QTRY_COMPARE(a.pointer().y(), 1067);
        QVERIFY2(a.pointer().x() >= 1907, qPrintable(QString::number(a.pointer().x())));
        QTRY_COMPARE(b.pointer(), QPoint(8, 540));
        QVERIFY(waitFor([&] { return b.frameFills(); }));

        // Back: the switch presses F13 on A's display; A places its pointer and blinks its frame.
        QVERIFY(rig.pushThrough(b, {600, 300}, {-40, 0}));
        QCOMPARE(rig.ctl(qs("last")), QByteArray("ok 1 1 1 2 27"));
        QTRY_COMPARE_WITH_TIMEOUT(a.pointer(), QPoint(1912, 291), 5000);
        QVERIFY2(waitFor([&] { return a.frameShown(qs("windows-frame")); }), "no frame on A");
    }

private:
    QTemporaryDir m_template;
};

QTEST_GUILESS_MAIN(TestWineAgent)
#include "tst_wineagent.moc"
