// Computers on one machine, an Xvfb and a real agent each, the virtual switch daemon between them.

#include <QtTest>

// After the toolkit: X11 defines True, False and None as macros.
#include "waitfor.h"
#include "xdesktop.h"
#include "xdummy.h"
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
    std::unique_ptr<XDummy> desk; // several monitors, in place of the one-screen Xvfb
    std::unique_ptr<Display, decltype(&XCloseDisplay)> x {nullptr, &XCloseDisplay};

    QString display() const { return desk ? desk->display() : server.display(); }
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
        return green(shot(name).pixelColor(5, 500));
    }
    QImage shot(const char *name) const
    {
        return XDesktop::screenshot(display(), qs("e2e-shots/%1-port%2.png").arg(qs(name)).arg(port));
    }
    static bool green(const QColor &c) { return c.green() > 150 && c.red() < 100; }
};

class TestEndToEnd : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_tmp;
    std::unique_ptr<QProcess> m_switch;
    std::vector<std::unique_ptr<QProcess>> m_processes; // ended before the computers' X servers
    std::map<int, std::unique_ptr<Computer>> m_computers;
    QString m_socket, m_tcp; // the TCP address for Windows agents
    std::map<int, QVector<QRect>> m_desks; // ports with several monitors, on the dummy X server
    std::map<int, int> m_columns; // grid column of a port's top-left monitor, when not the port's number
    bool m_compositor = true; // xcompmgr on each Linux computer's display

    // Computers 1 to n in one row, left to right, each one monitor of 1920 x 1080 as its screen; a port
    // of m_desks has those monitors, entered in the layout as spanlinkctl detects them.
    bool start(int n, int cyclic = 0, int highlightDuration = 1, QList<int> windows = {})
    {
        m_tmp = std::make_unique<QTemporaryDir>();
        m_switch = std::make_unique<QProcess>();
        m_socket = m_tmp->filePath(qs("switch"));
        QStringList ports, list;
        for (int port = 1; port <= n; ++port) {
            auto &c = m_computers[port] = std::make_unique<Computer>();
            c->port = port;
            c->home = m_tmp->filePath(qs("home%1").arg(port));
            c->winePrefix = windows.contains(port) ? m_tmp->filePath(qs("wine%1").arg(port)) : QString();
            const int col = m_columns.count(port) ? m_columns.at(port) : port;
            if (m_desks.count(port)) {
                c->desk = std::make_unique<XDummy>();
                if (!c->desk->start(m_desks.at(port))) {
                    qWarning("%s", qPrintable(c->desk->error()));
                    return false;
                }
            } else if (!c->server.start()) {
                return false;
            }
            c->x.reset(XOpenDisplay(qPrintable(c->display())));
            if (!c->x || !(c->winePrefix.isEmpty() || shell(*c, s_makeWindows)))
                return false;
            ports << QString::asprintf(R"({"port":%d,"display":"%s"})", port, qPrintable(c->display()));
            if (!c->desk) {
                list << QString::asprintf(
                    R"({"port":%d,"index":1,"row":1,"col":%d,"width":1920,"height":1080})", port, col);
                continue;
            }
            QProcess *detect = launch(*c, qs(CTL_BINARY),
                {qs("layout"), qs("detect"), qs("--port"), QString::number(port), qs("--at"), qs("1,%1").arg(col)});
            if (!detect->waitForFinished(15000) || detect->exitCode() != 0)
                return false;
            const QJsonArray detected
                = QJsonDocument::fromJson(detect->readAllStandardOutput()).object()[qs("monitors")].toArray();
            for (const QJsonValue &m : detected)
                list << qs(QJsonDocument(m.toObject()).toJson(QJsonDocument::Compact));
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
        for (auto &[port, c] : m_computers) {
            if (!c->winePrefix.isEmpty()) {
                c->agent = launch(*c, qs("wine"), {qs(WINDOWS_AGENT)});
                continue;
            }
            if (m_compositor)
                launch(*c, qs("xcompmgr"), {});
            c->agent = launch(*c, qs(AGENT_BINARY), {});
        }
        // Ready when every agent is connected and has had a heartbeat accepted (Wine starts slowly).
        return waitFor([&] { return status()[qs("agents")].toInt() == n && acceptedBy().size() == n; },
            windows.isEmpty() ? 15000 : 60000);
    }
    QProcess *launch(const Computer &c, const QString &program, const QStringList &args)
    {
        QStringList vars {qs("DISPLAY=") + c.display(), qs("TMPDIR=") + c.home, // its own one-instance socket
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
        p->setProcessEnvironment(env);
        p->start(program, args);
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
            XTestFakeRelativeMotionEvent(x, step, 0, CurrentTime);
            XSync(x, False);
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
        for (auto &p : m_processes) {
            p->kill();
            p->waitForFinished(3000);
        }
        for (auto &[port, c] : m_computers)
            if (!c->winePrefix.isEmpty()) // Wine leaves read-only files that would outlive the folder
                shell(*c, R"(wineserver -k; chmod -R u+w "$WINEPREFIX")");
        m_processes.clear();
        m_computers.clear();
        m_switch.reset();
        m_tmp.reset();
        m_desks.clear();
        m_columns.clear();
        m_compositor = true;
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
        for (int i = 0; i < 6; ++i) { // gone for good, not between two blinks
            QVERIFY(!b.frameShown("unplugged"));
            QTest::qWait(200);
        }
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

    // B's monitors differ in size and the narrower one sits 56 pixels lower, as the desktop has them;
    // A is right of it. The pointer and the frame land on that monitor, and follow it when it moves.
    void monitorsOfDifferentSizes()
    {
        QVERIFY2(XDummy::missing().isEmpty(), qPrintable(XDummy::missing()));
        m_desks = {{2, {QRect(0, 0, 1920, 1080), QRect(1920, 56, 1280, 1024)}}};
        m_columns = {{2, 1}, {1, 3}};
        QVERIFY(start(2));
        Computer &a = *m_computers[1], &b = *m_computers[2];
        QVERIFY(b.log().contains("This computer's monitors lie where its screens are"));
        QVERIFY(pushThrough(a, {600, 540}, -40));
        QCOMPARE(ctl(qs("last")), QByteArray("ok 2 1 2 2 50"));
        QTRY_COMPARE(b.pointer(), QPoint(3192, 56 + 512)); // 8 inside the right edge, halfway down
        // The frame's left side on the narrower monitor, neither above it nor on the wider one.
        QImage shot;
        QVERIFY(waitFor([&] { return Computer::green((shot = b.shot("sizes")).pixelColor(1925, 600)); }));
        QVERIFY(!Computer::green(shot.pixelColor(1925, 40)) && !Computer::green(shot.pixelColor(1285, 600)));

        // Moved up to the top: the next arrival finds it there.
        const int before = b.log().count("This computer's monitors lie where its screens are");
        QVERIFY(b.desk->move(1, {1920, 0}));
        QTRY_VERIFY(b.log().count("This computer's monitors lie where its screens are") > before);
        QVERIFY(pushThrough(b, {2400, 300}, 40));
        QCOMPARE(ctl(qs("last")), QByteArray("ok 1 1 3 7 29"));
        QTRY_COMPARE(a.pointer(), QPoint(8, 313));
        QVERIFY(pushThrough(a, {600, 540}, -40));
        QTRY_COMPARE(b.pointer(), QPoint(3192, 512));
    }

    // B's desktop is blue: inside the frame it stays the desktop's own, while the frame blinks and after it,
    // with a compositor, without one, and when one starts while the agent runs.
    void frameOverTheDesktop_data()
    {
        QTest::addColumn<int>("compositor"); // 0: none, 1: xcompmgr from the start, 2: started after an arrival
        QTest::newRow("xcompmgr") << 1;
        QTest::newRow("no compositor") << 0;
        QTest::newRow("compositor starts") << 2;
    }
    void frameOverTheDesktop()
    {
        QFETCH(int, compositor);
        for (const char *tool : {"xsetroot", "xcompmgr"})
            QVERIFY2(!QStandardPaths::findExecutable(qs(tool)).isEmpty(),
                qPrintable(qs("%1 not found: install %2 (scripts/setup.sh does)")
                               .arg(qs(tool), qs(*tool == 's' ? "x11-xserver-utils" : "xcompmgr"))));
        m_compositor = compositor == 1;
        QVERIFY(start(2));
        Computer &a = *m_computers[1], &b = *m_computers[2];
        QVERIFY(shell(b, "xsetroot -solid blue"));
        QString tag;
        const auto look = [&](const char *when) {
            return b.shot(qPrintable(tag + qs(when)));
        };
        // The desktop as the screen shows it: blue, or a compositor's own root (xcompmgr draws a plain grey
        // for a root without a picture).
        QColor desktop;
        const QPoint inside[] = {{960, 540}, {100, 100}, {1800, 1000}, {30, 500}};
        const auto desktops = [&](const QImage &shot) {
            for (const QPoint p : inside)
                if (shot.pixelColor(p) != desktop)
                    return false;
            return true;
        };
        for (int round = 0; round < (compositor == 2 ? 2 : 1); ++round) {
            tag = qs("%1-%2-").arg(qs(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-'))).arg(round);
            if (round == 1) { // back to A, the compositor started on B, and over to B again
                launch(b, qs("xcompmgr"), {});
                QVERIFY(pushThrough(b, {600, 300}, -40));
            }
            const bool composited = compositor == 1 || round == 1;
            QTRY_VERIFY(((desktop = look("before").pixelColor(960, 540)) == QColor(Qt::blue)) != composited);
            QVERIFY(desktops(look("before")));
            QVERIFY(pushThrough(a, {1300, 540}, 40));
            QImage during;
            QVERIFY(waitFor([&] { return Computer::green((during = look("during")).pixelColor(5, 500)); }));
            QVERIFY(desktops(during));
            // The pointer on the frame is over the desktop, not over one of our windows: clicks go through.
            Display *x = b.x.get();
            Window root, child = 1;
            int i;
            unsigned int mask;
            XWarpPointer(x, None, DefaultRootWindow(x), 0, 0, 0, 0, 10, 500);
            XQueryPointer(x, DefaultRootWindow(x), &root, &child, &i, &i, &i, &i, &mask);
            QCOMPARE(child, Window(None));
            // Hidden after its three blinks (a blink's pause first, then the rest of the three seconds), and
            // the desktop as it was.
            QImage after;
            QVERIFY(waitFor([&] { return !Computer::green((after = look("after")).pixelColor(5, 500)); }, 8000));
            QTest::qWait(3500);
            after = look("after");
            QVERIFY(desktops(after) && after.pixelColor(5, 500) == desktop);
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
        env.insert(qs("SPANLINK_VSWITCH_SOCKET"), m_socket);
        env.insert(qs("SPANLINK_VSWITCH_PORT"), qs("1"));
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

    // The user drags computer 1's monitor from column 1 to column 3 in Spanlink Setup, on computer 1, and uploads
    // it: the running agents cross by it, computer 2 now left of computer 1.
    void arrangedInSetupWhileRunning()
    {
        NEED("xdotool");
        QVERIFY(start(2));
        Computer &a = *m_computers[1], &b = *m_computers[2];
        QVERIFY(!pushThrough(a, {600, 540}, -40)); // nothing left of column 1 yet
        QProcess *setup = launch(a, qs(SETUP_BINARY), {});
        const auto xdo = [&](const QString &line) {
            return XDesktop::run(a.server.display(), qs("xdotool"), line.split(QLatin1Char(' '))).trimmed();
        };
        QByteArray window;
        QVERIFY(waitFor(
            [&] { return !(window = xdo(qs("search --onlyvisible --name ^Spanlink.Setup$"))).isEmpty(); }, 20000));
        const QString geometry = qs(xdo(qs("getwindowgeometry --shell ") + QString::fromLatin1(window)));
        const auto value = [&](const char *name) {
            return QRegularExpression(qs("%1=(\\d+)").arg(qs(name))).match(geometry).captured(1).toInt();
        };
        const QPoint at(value("X"), value("Y"));
        xdo(qs("windowfocus ") + QString::fromLatin1(window));
        QTest::qWait(1000); // the scene's first frame
        // The grid's cells are 48 pixels from (20, 20) of the window; a drag starts past a threshold.
        const auto cell = [&](int col) {
            return at + QPoint(20 + (col - 1) * 48 + 24, 20 + 24);
        };
        xdo(qs("mousemove %1 %2").arg(cell(1).x()).arg(cell(1).y()));
        xdo(qs("mousedown 1"));
        for (int i = 1; i <= 10; ++i) {
            const QPoint p = cell(1) + (cell(3) - cell(1)) * i / 10;
            xdo(qs("mousemove %1 %2").arg(p.x()).arg(p.y()));
            QTest::qWait(30);
        }
        xdo(qs("mouseup 1"));
        QTest::qWait(300);
        xdo(qs("key ctrl+u"));
        const QByteArray again = "reading the switch's layout again";
        QTRY_VERIFY_WITH_TIMEOUT(a.log().contains(again) && b.log().contains(again), 15000);
        setup->terminate();
        QVERIFY(pushThrough(a, {600, 540}, -40));
        QCOMPARE(ctl(qs("last")), QByteArray("ok 2 1 2 2 50"));
        QTRY_COMPARE(b.pointer(), QPoint(1912, 540));
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
