// Computers on one machine, an Xvfb and a real agent each, the virtual switch daemon between them.

#include <QtTest>

// After the toolkit: X11 defines True, False and None as macros.
#include "waitfor.h"
#include "xdesktop.h"
#include "xvfb.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <map>

static const auto qs = [](const char *s) {
    return QString::fromUtf8(s);
};

// F13 where a keyboard has it (the switch presses it); one Wine desktop, or hooks see only Wine's windows.
constexpr const char *s_makeWindows = R"(xmodmap -e 'keycode 191 = F13 F13 F13 F13' && unset DISPLAY &&
    wineboot -i && wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f &&
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1920x1080 /f && wineserver -w)";

struct Computer {
    int port = 0;
    QString home, winePrefix; // its files, and a Wine prefix when it runs Windows
    Xvfb server;
    std::unique_ptr<Display, decltype(&XCloseDisplay)> x {nullptr, &XCloseDisplay};
    QProcess *agent = nullptr;

    QPoint pointer() const
    {
        Window w;
        int px = 0, py = 0, i;
        unsigned int mask;
        XQueryPointer(x.get(), DefaultRootWindow(x.get()), &w, &w, &px, &py, &i, &i, &mask);
        return {px, py};
    }
    QByteArray log() const
    {
        return XDesktop::readAll(home + qs("/VORN/Spanlink/log%1.txt").arg(QDate::currentDate().toString(Qt::ISODate)));
    }
    bool frameShown(const char *name) const // green at the left edge; saved for a person to look at
    {
        const QColor c = XDesktop::screenshot(server.display(), qs("e2e-shots/%1-port%2.png").arg(qs(name)).arg(port))
                             .pixelColor(5, 500);
        return c.green() > 150 && c.red() < 100;
    }
};

class TestEndToEnd : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_tmp;
    std::unique_ptr<QProcess> m_switch;
    std::vector<std::unique_ptr<QProcess>> m_processes; // ended before the computers' X servers
    std::map<int, std::unique_ptr<Computer>> m_computers;
    QString m_socket, m_tcp; // the TCP address for Windows agents

    // Computers 1 to n in one row, left to right, each one monitor of 1920 x 1080 as its screen.
    bool start(int n, int cyclic = 0, int highlightDuration = 1, QList<int> windows = {})
    {
        m_tmp = std::make_unique<QTemporaryDir>(), m_switch = std::make_unique<QProcess>();
        m_socket = m_tmp->filePath(qs("switch"));
        QStringList ports, list;
        for (int port = 1; port <= n; ++port) {
            auto &c = m_computers[port] = std::make_unique<Computer>();
            c->port = port;
            c->home = m_tmp->filePath(qs("home%1").arg(port));
            c->winePrefix = windows.contains(port) ? m_tmp->filePath(qs("wine%1").arg(port)) : QString();
            if (!c->server.start() || (c->x.reset(XOpenDisplay(qPrintable(c->server.display()))), !c->x)
                || !(c->winePrefix.isEmpty() || shell(*c, s_makeWindows)))
                return false;
            ports << QString::asprintf(R"({"port":%d,"display":"%s"})", port, qPrintable(c->server.display()));
            list << QString::asprintf(
                R"({"port":%d,"index":1,"row":1,"col":%d,"width":1920,"height":1080})", port, port);
        }
        QFile file(m_tmp->filePath(qs("layout.json")));
        const QString layout = QString::asprintf(R"({"ports":[%s],"monitors":[%s],"currentPort":%d,"mousePosition":4,)"
                                                 R"("cyclicSwitch":%d,"highlight":{"on":true,"duration":%d}})",
            qPrintable(ports.join(QLatin1Char(','))), qPrintable(list.join(QLatin1Char(','))), 1, cyclic,
            highlightDuration);
        if (!file.open(QIODevice::WriteOnly) || file.write(layout.toUtf8()) < 0 || !file.flush())
            return false;
        m_switch->setProcessChannelMode(QProcess::MergedChannels);
        m_switch->start(qs(VSWITCH_BINARY), {qs("serve"), m_socket, file.fileName(), qs("--tcp"), qs("0")});
        QByteArray said;
        if (!waitFor([&] { return (said += m_switch->readAll()).contains("virtual switch on " + m_socket.toLatin1()); },
                5000))
            return false;
        m_tcp = QRegularExpression(qs("virtual switch on (tcp:127.0.0.1:\\d+)")).match(qs(said)).captured(1);
        for (auto &[port, c] : m_computers)
            if (c->winePrefix.isEmpty()) // without a compositor the frame is black
                launch(*c, qs("xcompmgr"), {}), c->agent = launch(*c, qs(AGENT_BINARY), {});
            else
                c->agent = launch(*c, qs("wine"), {qs(WINDOWS_AGENT)});
        // Ready when every agent is connected and has had a heartbeat accepted (Wine starts slowly).
        return waitFor([&] { return status()[qs("agents")].toInt() == n && acceptedBy().size() == n; },
            windows.isEmpty() ? 15000 : 60000);
    }
    QProcess *launch(const Computer &c, const QString &program, const QStringList &args)
    {
        QStringList vars {qs("DISPLAY=") + c.server.display(), qs("TMPDIR=") + c.home, // its own one-instance socket
            qs("XDG_RUNTIME_DIR=") + c.home, qs("XDG_DATA_HOME=") + c.home, qs("QT_QPA_PLATFORM=xcb"),
            qs("SPANLINK_VSWITCH_PORT=%1").arg(c.port),
            qs("SPANLINK_VSWITCH_SOCKET=") + (c.winePrefix.isEmpty() ? m_socket : m_tcp)};
        if (!c.winePrefix.isEmpty())
            vars << qs("WINEPREFIX=") + c.winePrefix << qs("WINEDEBUG=-all") << qs("WINEDLLOVERRIDES=mscoree,mshtml=");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(qs("QT_XCB_GL_INTEGRATION")); // the agent's own choice is tested
        for (const QString &v : vars)
            env.insert(v.section(QLatin1Char('='), 0, 0), v.section(QLatin1Char('='), 1));
        QDir().mkpath(c.home);
        QProcess *p = m_processes.emplace_back(std::make_unique<QProcess>()).get();
        p->setProcessEnvironment(env), p->start(program, args);
        return p;
    }
    // A shell step; what it wrote is shown when it fails.
    bool shell(const Computer &c, const char *script)
    {
        QProcess *p = launch(c, qs("sh"), {qs("-c"), qs(script)});
        const bool ok = p->waitForFinished(180000) && p->exitStatus() == QProcess::NormalExit && p->exitCode() == 0;
        if (!ok)
            qWarning().noquote() << "shell step failed:" << script << "\n" << p->readAll() << p->readAllStandardError();
        return ok;
    }
    QByteArray ctl(const QString &command) const
    {
        QProcess p;
        p.start(qs(VSWITCH_BINARY), QStringList {qs("ctl"), m_socket} + command.split(QLatin1Char(' ')));
        p.waitForFinished(5000);
        return p.readAllStandardOutput().trimmed();
    }
    QJsonObject status() const { return QJsonDocument::fromJson(ctl(qs("status")).mid(3)).object(); }
    QJsonObject acceptedBy() const { return status()[qs("accepted")].toObject(); } // heartbeats by port

    // Real moves toward an edge until handed over; start far enough for a speed period (100 ms) of motion.
    bool pushThrough(Computer &from, QPoint start, int step)
    {
        const QByteArray before = ctl(qs("last"));
        Display *x = from.x.get();
        XWarpPointer(x, None, DefaultRootWindow(x), 0, 0, 0, 0, start.x(), start.y());
        for (int i = 0; i < 40; ++i) {
            XTestFakeRelativeMotionEvent(x, step, 0, CurrentTime), XSync(x, False);
            QTest::qWait(10);
            if (status()[qs("currentPort")].toInt(from.port) != from.port)
                return true;
        }
        return ctl(qs("last")) != before;
    }

    // Each way the switch is told, the pointer placed where the switch says and the frame shown.
    void crossAndBack(Computer &from, Computer &to)
    {
        // Under Wine the hooks come some seconds after the first heartbeat; on Linux the first push crosses.
        QVERIFY(waitFor([&] { return pushThrough(from, {1300, 540}, 40); }, from.winePrefix.isEmpty() ? 0 : 30000));
        QCOMPARE(ctl(qs("last")), QByteArray("ok 2 1 2 7 50"));
        // Parked at (1907, 1067); under Wine moves already on their way still carry X's pointer on.
        QTRY_COMPARE(from.pointer().y(), 1067);
        QVERIFY(from.pointer().x() >= 1907);
        QTRY_COMPARE(to.pointer(), QPoint(8, 540));
        QVERIFY(waitFor([&] { return to.frameShown("there"); }));
        QVERIFY(pushThrough(to, {600, 300}, -40));
        QCOMPARE(ctl(qs("last")), QByteArray("ok 1 1 1 2 27"));
        QTRY_COMPARE_WITH_TIMEOUT(from.pointer(), QPoint(1912, 291), 5000);
        QVERIFY(waitFor([&] { return from.frameShown("back"); }));
    }

private slots:
    void cleanup()
    {
        for (auto &p : m_processes)
            p->kill(), p->waitForFinished(3000);
        for (auto &[port, c] : m_computers)
            if (!c->winePrefix.isEmpty()) // Wine leaves read-only files that would outlive the folder
                shell(*c, R"(wineserver -k; chmod -R u+w "$WINEPREFIX")");
        m_processes.clear(), m_computers.clear(), m_switch.reset(), m_tmp.reset();
    }

    void init() { NEED("Xvfb", "xcompmgr", "import"); }

    void roadOfOneCrossingAndBack()
    {
        QVERIFY(start(2));
        crossAndBack(*m_computers[1], *m_computers[2]);
        // Drawn in software with its frame up: an OpenGL driver would more than double its memory.
        const QByteArray maps = XDesktop::readAll(qs("/proc/%1/maps").arg(m_computers[1]->agent->processId()));
        QVERIFY(maps.contains("libQt5Quick"));
        QVERIFY2(!maps.contains("_dri.so") && !maps.contains("libGLX_mesa") && !maps.contains("libLLVM"), "GL loaded");
    }

    void wrapAroundThreeComputers() // left out of column 1 lands on 3, B skipped
    {
        QVERIFY(start(3, 1));
        QVERIFY(pushThrough(*m_computers[1], {600, 540}, -40));
        QCOMPARE(ctl(qs("last")), QByteArray("ok 3 1 3 2 50"));
        QTRY_COMPARE(m_computers[3]->pointer(), QPoint(1912, 540));
        QCOMPARE(m_computers[2]->pointer(), QPoint(960, 540));
    }

    void unplugAndReplug()
    {
        QVERIFY(start(2, 0, 0)); // the frame blinks until something changes
        Computer &a = *m_computers[1], &b = *m_computers[2];
        QVERIFY(pushThrough(a, {1300, 540}, 40));
        QVERIFY(waitFor([&] { return b.frameShown("blinking"); }));
        QCOMPARE(ctl(qs("unplug")), QByteArray("ok"));
        const QByteArray lost = "Unable to send a feature report.";
        QTRY_VERIFY_WITH_TIMEOUT(a.log().contains(lost) && b.log().contains(lost), 8000);
        for (int i = 0; i < 6; ++i, QTest::qWait(200)) // gone for good, not between two blinks
            QVERIFY(!b.frameShown("unplugged"));
        // Back in two heartbeats, counted, not timed: the first reopens, the next is accepted.
        const int marks[2] = {a.log().size(), b.log().size()};
        const QJsonObject before = acceptedBy();
        QCOMPARE(ctl(qs("plug")), QByteArray("ok"));
        for (Computer *c : {&a, &b}) {
            const QString port = QString::number(c->port);
            QTRY_VERIFY_WITH_TIMEOUT(acceptedBy()[port].toInt() > before[port].toInt(), 20000);
            const QByteArray since = c->log().mid(marks[c->port - 1]);
            QVERIFY2(since.contains("hid_open() ok") && !since.mid(since.indexOf("hid_open() ok")).contains(lost),
                since.constData());
        }
    }

    // Uploaded from computer 1 while all agents run, the columns turned round (1 2 3 becomes 2 3 1): every agent,
    // the uploader's too, reads it within a few heartbeats and crosses by it, none restarted.
    void layoutUploadedWhileRunning()
    {
        QVERIFY(start(3));
        Computer &a = *m_computers[1], &c = *m_computers[3];
        QFile file(m_tmp->filePath(qs("turned.json")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(R"({"monitors":[{"port":1,"index":1,"row":1,"col":3,"width":1920,"height":1080},)"
                   R"({"port":2,"index":1,"row":1,"col":1,"width":1920,"height":1080},)"
                   R"({"port":3,"index":1,"row":1,"col":2,"width":1920,"height":1080}],"mouse":{"position":4}})");
        file.close();
        QProcess upload;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(qs("SPANLINK_VSWITCH_SOCKET"), m_socket), env.insert(qs("SPANLINK_VSWITCH_PORT"), qs("1"));
        upload.setProcessEnvironment(env);
        QElapsedTimer since;
        since.start();
        upload.start(qs(CTL_BINARY), {qs("layout"), qs("load"), file.fileName()});
        QVERIFY(upload.waitForFinished(10000));
        QCOMPARE(upload.exitCode(), 0);
        // Within two heartbeats and the read: nothing to compare but the log, which says when it began.
        std::map<int, qint64> took; // port -> ms from the upload's start to its agent's read
        waitFor(
            [&] {
                for (auto &[port, computer] : m_computers)
                    if (!took.count(port) && computer->log().contains("reading the switch's layout again"))
                        took[port] = since.elapsed();
                return took.size() == m_computers.size();
            },
            9000);
        QStringList said;
        for (auto &[port, ms] : took)
            said << qs("port %1 after %2 ms").arg(port).arg(ms);
        QVERIFY2(took.size() == m_computers.size(), qPrintable(said.join(qs(", "))));
        qInfo().noquote() << "new layout read:" << said.join(qs(", "));
        QVERIFY(pushThrough(a, {600, 540}, -40)); // column 3: port 3 is left of it now
        QCOMPARE(ctl(qs("last")), QByteArray("ok 3 1 2 2 50"));
        QTRY_COMPARE(c.pointer(), QPoint(1912, 540));
        QVERIFY(pushThrough(c, {600, 540}, -40));
        QCOMPARE(ctl(qs("last")), QByteArray("ok 2 1 1 2 50"));
    }

    void windowsComputer()
    {
        QVERIFY2(QFile::exists(qs(WINDOWS_AGENT)), "not built: run scripts/build-windows.sh");
        NEED("xmodmap", "wine", "wineboot", "wineserver");
        QVERIFY(start(2, 0, 1, {1}));
        crossAndBack(*m_computers[1], *m_computers[2]);
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
