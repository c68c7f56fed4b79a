// The Windows agent as a Windows user meets it, run under Wine in a Wine desktop on an Xvfb of
// its own: tray icon, log file, second start, Quit, and the road of one crossing between a
// Windows computer and a Linux one through the virtual switch.
//
// Known differences under Wine, which the checks allow for: a swallowed move does not hold the
// cursor still (X has moved it already), and the agent's own SetCursorPos comes back to its
// hook as an ordinary move.

#include <QtTest>

// After the toolkit: X11 defines True, False and None as macros.
#include "rig.h"

namespace
{
// A click as a mouse makes it: the pointer gets there first and Wine sees it arrive.
void click(Computer &c, QPoint at, unsigned int button)
{
    c.warp(at.x(), at.y());
    QTest::qWait(200);
    XTestFakeButtonEvent(c.x, button, True, CurrentTime);
    XSync(c.x, False);
    QTest::qWait(50);
    XTestFakeButtonEvent(c.x, button, False, CurrentTime);
    XSync(c.x, False);
}

// Whether the alert's picture, an orange disc, is drawn in the middle of the desktop.
bool alertShown(const Computer &c)
{
    const QImage shot = c.screenshot(QStringLiteral("alert"));
    return XDesktop::pixelsNear(shot, QRect(770, 440, 380, 190), QColor(243, 156, 18), 60) > 200;
}

// Every line of a Windows log ends with CR LF (text mode), also inside a message that holds a
// line break; each message starts with the stamp of its day.
QString badLine(const QByteArray &log)
{
    const QRegularExpression stamp(QStringLiteral("^Date: \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d, "));
    const QList<QByteArray> lines = log.split('\n');
    if (!lines.last().isEmpty())
        return QStringLiteral("no line end after the last line");
    for (int i = 0; i + 1 < lines.size(); ++i) {
        const QString line = QString::fromLocal8Bit(lines.at(i));
        if (!line.endsWith(QLatin1Char('\r'))
            || !(stamp.match(line).hasMatch() || (i > 0 && lines.at(i - 1).endsWith(": \r"))))
            return line.toHtmlEscaped();
    }
    return QString();
}
} // namespace

class TestWineAgent : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        for (const char *tool :
            {"wine", "wineboot", "wineserver", "Xvfb", "trayer", "xcompmgr", "xwininfo", "import"}) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(QLatin1String(tool))));
        }
        QVERIFY2(QFile::exists(QStringLiteral(WINDOWS_AGENT)), "not built: run scripts/build-windows.sh");
        QVERIFY(m_template.isValid());
        QVERIFY(Wine::makeTemplate(m_template.filePath(QStringLiteral("prefix"))));
    }

    void trayLogSecondStartAndQuit()
    {
        Rig rig;
        rig.runOnWindows({1});
        rig.startUnplugged();
        QVERIFY(rig.start({{1, 1, 1}, {2, 1, 2}}));
        Computer &a = rig[1];

        // No switch yet: the grey icon, then the blue one once the switch answers.
        QVERIFY2(waitFor([&] { return a.offline(); }, 30000), "no grey tray icon in the Wine taskbar");
        QTRY_VERIFY_WITH_TIMEOUT(a.log().contains("unable to open device"), 10000);
        QCOMPARE(rig.ctl(QStringLiteral("plug")), QByteArray("ok"));
        QVERIFY2(waitFor([&] { return a.online(); }, 10000), "the tray icon does not turn blue");
        const QRegularExpression opened(
            QStringLiteral("Date: \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d, Debug: hid_open\\(\\) ok, "
                           "handle = 0x[0-9a-f]+ \\(.*hidcommand.cpp:\\d+, .*opendevice.*\\)\r\n"));
        QVERIFY(opened.match(QString::fromLocal8Bit(a.log())).hasMatch());
        QCOMPARE(badLine(a.log()), QString());

        // A second start only says so, and the first logs the word it was handed.
        auto second = rig.startAgent(a, {QStringLiteral("--show now")});
        QVERIFY2(waitFor([&] { return alertShown(a); }, 20000), "no alert scene");
        QVERIFY(a.log().contains("Have already connected to server."));
        QVERIFY(a.log().contains("\"The value is: --show\""));
        QVERIFY(rig.ctl(QStringLiteral("status")).contains("\"agents\":2")); // the second opened no switch
        click(a, {960 + 141, 540 + 59}, 1); // its OK button
        QVERIFY(second->waitForFinished(10000));
        QCOMPARE(second->exitCode(), 0);

        // "Quit" from the tray menu: the hooks go and the switch is closed, exit code 0.
        const int closedBefore = a.log().count("closedev() called");
        click(a, Wine::s_trayIcon.center(), 3);
        QTest::qWait(1000);
        a.screenshot(QStringLiteral("menu"));
        // The menu opens up and to the left of the pointer; its one entry.
        click(a, Wine::s_trayIcon.center() - QPoint(34, 30), 1);
        QVERIFY2(a.agent->waitForFinished(15000), "Quit did not end the agent");
        QCOMPARE(a.agent->exitStatus(), QProcess::NormalExit);
        QCOMPARE(a.agent->exitCode(), 0);
        QVERIFY(a.log().count("closedev() called") > closedBefore);
        QCOMPARE(badLine(a.log()), QString());
    }

    void crossingWithAWindowsComputer()
    {
        Rig rig;
        rig.runOnWindows({1});
        QVERIFY(rig.start({{1, 1, 1}, {2, 1, 2}}));
        Computer &a = rig[1]; // Windows
        Computer &b = rig[2]; // Linux
        QVERIFY(waitFor([&] { return a.online() && b.online(); }, 20000));

        // Windows to Linux: A asks for port 2 at the right edge, halfway down, and parks.
        QVERIFY(rig.pushThrough(a, {1300, 540}, {40, 0}));
        QCOMPARE(rig.ctl(QStringLiteral("last")), QByteArray("ok 2 1 2 7 50"));
        // The switch records the request before it answers; the agent logs it after.
        QTRY_VERIFY(a.log().contains("postSwitchCmd nextportnum 2  :  1 2 7 50 1907 1067"));
        // Parked at (1907, 1067); moves already on their way still carry X's pointer on.
        QTRY_COMPARE(a.pointer().y(), 1067);
        QVERIFY2(a.pointer().x() >= 1907, qPrintable(QString::number(a.pointer().x())));
        QTRY_COMPARE(b.pointer(), QPoint(8, 540));
        QVERIFY(waitFor([&] { return b.frameWindow() == QRect(0, 0, 1920, 1079); }));

        // Linux to Windows: the switch presses F13 on A's display; the Windows agent sees
        // VK_F13, places its pointer 8 px inside its right edge and blinks its frame.
        QVERIFY(rig.pushThrough(b, {600, 300}, {-40, 0}));
        QCOMPARE(rig.ctl(QStringLiteral("last")), QByteArray("ok 1 1 1 2 27"));
        QTRY_COMPARE_WITH_TIMEOUT(a.pointer(), QPoint(1912, 291), 5000);
        QVERIFY2(waitFor([&] { return a.frameShown(QStringLiteral("windows-frame")); }), "no frame on A");
    }

private:
    QTemporaryDir m_template;
};

QTEST_GUILESS_MAIN(TestWineAgent)
#include "tst_wineagent.moc"
