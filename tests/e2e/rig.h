#pragma once

// Several "computers" on one machine: an Xvfb and a tray host for each, the virtual switch
// daemon, and the real agent (spanlink-virtual) on each display, attached to its port. A
// computer may instead run Windows: the Windows agent under Wine in a Wine desktop that fills
// its display, in a Wine prefix of its own, reaching the switch over loopback TCP.

#include "waitfor.h"
#include "xdesktop.h"
#include "xvfb.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <map>
#include <memory>
#include <vector>

// Wine's part of a Windows computer. Prefixes are copies of one template made per test run.
namespace Wine
{
inline QString &templatePrefix()
{
    static QString path;
    return path;
}

// A fresh prefix in which every program opens in one virtual desktop of the screen's size
// (without it, Wine's low-level hooks see only input that falls on Wine's own windows).
inline bool makeTemplate(const QString &path)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.insert(QStringLiteral("WINEPREFIX"), path);
    env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    env.insert(QStringLiteral("WINEDLLOVERRIDES"), QStringLiteral("mscoree,mshtml="));
    const auto run = [&](const QString &program, const QStringList &args) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(program, args);
        return p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    };
    const QString explorer = QStringLiteral("HKCU\\Software\\Wine\\Explorer");
    const bool ok = run(QStringLiteral("wineboot"), {QStringLiteral("-i")})
        && run(QStringLiteral("wine"),
            {QStringLiteral("reg"), QStringLiteral("add"), explorer, QStringLiteral("/v"), QStringLiteral("Desktop"),
                QStringLiteral("/d"), QStringLiteral("Default"), QStringLiteral("/f")})
        && run(QStringLiteral("wine"),
            {QStringLiteral("reg"), QStringLiteral("add"), explorer + QStringLiteral("\\Desktops"),
                QStringLiteral("/v"), QStringLiteral("Default"), QStringLiteral("/d"), QStringLiteral("1920x1080"),
                QStringLiteral("/f")});
    run(QStringLiteral("wineserver"), {QStringLiteral("-w")});
    if (ok)
        templatePrefix() = path;
    return ok;
}

inline bool copyTemplate(const QString &to)
{
    return !templatePrefix().isEmpty()
        && QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), templatePrefix(), to}) == 0;
}

inline void killServer(const QString &prefix)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WINEPREFIX"), prefix);
    p.setProcessEnvironment(env);
    p.start(QStringLiteral("wineserver"), {QStringLiteral("-k")});
    p.waitForFinished(10000);
}

// Where the Wine desktop's taskbar shows the first tray icon on a 1920 x 1080 desktop.
constexpr QRect s_trayIcon(1902, 1063, 16, 15);
} // namespace Wine

struct Computer {
    int port = 0;
    QString winePrefix; // set when this computer runs Windows
    std::unique_ptr<Xvfb> server;
    std::unique_ptr<QProcess> trayer;
    std::unique_ptr<QProcess> compositor; // without one the frame window's inside is black
    std::unique_ptr<QProcess> agent;
    Display *x = nullptr; // the rig's own connection, to move and read the pointer
    QString data; // the agent's data folder (its log)

    QPoint pointer() const
    {
        Window root, child;
        int px = 0, py = 0, wx, wy;
        unsigned int mask;
        XQueryPointer(x, DefaultRootWindow(x), &root, &child, &px, &py, &wx, &wy, &mask);
        return {px, py};
    }
    void warp(int px, int py)
    {
        XWarpPointer(x, None, DefaultRootWindow(x), 0, 0, 0, 0, px, py);
        XSync(x, False);
    }
    // A real move, as a mouse makes it: it produces the raw events the agent listens to.
    void move(int dx, int dy)
    {
        XTestFakeRelativeMotionEvent(x, dx, dy, CurrentTime);
        XSync(x, False);
    }
    // The agent's data folder: the XDG one on Linux, the roaming AppData of the prefix's user.
    QString dataFolder() const
    {
        if (winePrefix.isEmpty())
            return data;
        const QDir users(winePrefix + QStringLiteral("/drive_c/users"));
        for (const QString &user : users.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QString roaming = users.filePath(user + QStringLiteral("/AppData/Roaming"));
            if (user != QLatin1String("Public") && QDir(roaming).exists())
                return roaming;
        }
        return QString();
    }
    QByteArray log() const
    {
        QFile f(dataFolder() + QStringLiteral("/VORN/Spanlink/log") + QDate::currentDate().toString(Qt::ISODate)
            + QStringLiteral(".txt"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QImage screenshot(const QString &name) const
    {
        return XDesktop::screenshot(server->display(), QStringLiteral("e2e-shots/%1-port%2.png").arg(name).arg(port));
    }
    QString tree() const { return XDesktop::tree(server->display()); }
    // The files a Linux agent has mapped: its libraries and plugins.
    QByteArray mappings() const
    {
        QFile f(QStringLiteral("/proc/%1/maps").arg(agent->processId()));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // Mean colour of the tray icon as trayer shows it; invalid while there is none.
    QColor trayColour() const
    {
        const QRect icon = winePrefix.isEmpty() ? XDesktop::trayIcon(server->display()) : Wine::s_trayIcon;
        return icon.isValid() ? XDesktop::mean(screenshot(QStringLiteral("tray")), icon) : QColor();
    }
    bool online() const
    {
        const QColor c = trayColour();
        return c.isValid() && c.blue() > c.red() + 40 && c.blue() > c.green();
    }
    bool offline() const
    {
        const QColor c = trayColour();
        // Grey, all channels alike (the green frame, drawn over the tray, is not).
        return c.isValid() && qAbs(c.blue() - c.red()) < 25 && qAbs(c.green() - c.red()) < 25;
    }
    // Whether the green frame is drawn at the left edge of the screen now.
    bool frameShown(const QString &name) const
    {
        const QColor c = screenshot(name).pixelColor(5, 500);
        return c.green() > 150 && c.red() < 100;
    }

    // Geometry of the agent's scene window (named "Spanlink", the largest one).
    QRect frameWindow() const
    {
        const QRegularExpression re(QStringLiteral(
            "\\(\"spanlink-virtual\" \"Spanlink\"\\)\\s+(\\d+)x(\\d+)\\+-?\\d+\\+-?\\d+\\s+\\+(-?\\d+)\\+(-?\\d+)"));
        QRect best;
        for (const QString &line : tree().split(QLatin1Char('\n'))) {
            const auto m = re.match(line);
            const QRect r(m.captured(3).toInt(), m.captured(4).toInt(), m.captured(1).toInt(), m.captured(2).toInt());
            if (m.hasMatch() && r.width() * r.height() > best.width() * best.height()
                && !line.contains(QLatin1String("panel")))
                best = r;
        }
        return best;
    }
};

class Rig
{
public:
    // monitors: {port, row, col}, each 1920 x 1080 (the screens are that size too).
    struct Monitor {
        int port, row, col;
    };

    // Before start(): these ports run the Windows agent under Wine.
    void runOnWindows(const QList<int> &ports) { m_windows = ports; }
    // Before start(): the switch starts with its cable pulled; the agents start offline.
    void startUnplugged() { m_unplugged = true; }

    bool start(const QList<Monitor> &monitors, int cyclic = 0, int highlightDuration = 1)
    {
        if (!m_tmp.isValid())
            return false;
        QJsonArray ports, list;
        for (const Monitor &m : monitors) {
            if (m_computers.count(m.port) == 0) {
                auto c = std::make_unique<Computer>();
                c->port = m.port;
                c->server = std::make_unique<Xvfb>();
                if (!c->server->start(QStringLiteral("1920x1080x24")))
                    return false;
                c->x = XOpenDisplay(c->server->display().toLatin1().constData());
                if (!c->x)
                    return false;
                c->data = m_tmp.path() + QStringLiteral("/data%1").arg(m.port);
                if (m_windows.contains(m.port)) {
                    c->winePrefix = m_tmp.path() + QStringLiteral("/wine%1").arg(m.port);
                    if (!Wine::copyTemplate(c->winePrefix) || !giveF13(c->x))
                        return false;
                }
                ports.append(
                    QJsonObject {{QStringLiteral("port"), m.port}, {QStringLiteral("display"), c->server->display()}});
                m_computers[m.port] = std::move(c);
            }
            list.append(QJsonObject {{QStringLiteral("port"), m.port}, {QStringLiteral("index"), 1},
                {QStringLiteral("row"), m.row}, {QStringLiteral("col"), m.col}, {QStringLiteral("width"), 1920},
                {QStringLiteral("height"), 1080}});
        }
        const QJsonObject layout {{QStringLiteral("ports"), ports}, {QStringLiteral("monitors"), list},
            {QStringLiteral("currentPort"), monitors.first().port}, {QStringLiteral("mousePosition"), 4},
            {QStringLiteral("cyclicSwitch"), cyclic},
            {QStringLiteral("highlight"),
                QJsonObject {{QStringLiteral("on"), true}, {QStringLiteral("duration"), highlightDuration}}}};
        QFile file(m_tmp.path() + QStringLiteral("/layout.json"));
        if (!file.open(QIODevice::WriteOnly))
            return false;
        file.write(QJsonDocument(layout).toJson());
        file.close();

        m_socket = m_tmp.path() + QStringLiteral("/switch");
        m_switch.setProcessChannelMode(QProcess::MergedChannels);
        QStringList serve {QStringLiteral("serve"), m_socket, file.fileName()};
        if (!m_windows.isEmpty())
            serve << QStringLiteral("--tcp") << QStringLiteral("0");
        m_switch.start(QStringLiteral(VSWITCH_BINARY), serve);
        if (!m_switch.waitForStarted(5000))
            return false;
        QByteArray said;
        while (!said.contains("virtual switch on " + m_socket.toLatin1())) {
            if (!m_switch.waitForReadyRead(5000))
                return false;
            said += m_switch.readAll();
        }
        const QRegularExpressionMatch tcp = QRegularExpression(QStringLiteral("virtual switch on (tcp:127.0.0.1:\\d+)"))
                                                .match(QString::fromLatin1(said));
        m_tcp = tcp.captured(1);
        if (m_unplugged && ctl(QStringLiteral("unplug")) != "ok")
            return false;

        for (auto &[port, c] : m_computers) {
            if (!c->winePrefix.isEmpty()) {
                c->agent = startAgent(*c);
                continue;
            }
            c->compositor = std::make_unique<QProcess>();
            c->compositor->setProcessEnvironment(environment(*c));
            c->compositor->start(QStringLiteral("xcompmgr"), QStringList());
            c->trayer = std::make_unique<QProcess>();
            c->trayer->setProcessEnvironment(environment(*c));
            c->trayer->start(QStringLiteral("trayer"), XDesktop::trayerArguments());
            c->agent = startAgent(*c);
        }
        if (m_unplugged)
            return true;
        // Ready when every agent has read the layout and hooked the desktop (Wine starts slowly).
        QElapsedTimer t;
        t.start();
        while (ctl(QStringLiteral("status")).indexOf("\"agents\":" + QByteArray::number(int(m_computers.size()))) < 0) {
            if (t.elapsed() > (m_windows.isEmpty() ? 15000 : 40000))
                return false;
            QTest::qWait(20);
        }
        return true;
    }

    ~Rig()
    {
        for (auto &[port, c] : m_computers) {
            for (QProcess *p : {c->agent.get(), c->trayer.get(), c->compositor.get()}) {
                if (p && p->state() != QProcess::NotRunning) {
                    p->kill();
                    p->waitForFinished(3000);
                }
            }
            if (!c->winePrefix.isEmpty()) {
                Wine::killServer(c->winePrefix);
                // Wine leaves read-only files that would outlive the temporary folder.
                QProcess::execute(
                    QStringLiteral("chmod"), {QStringLiteral("-R"), QStringLiteral("u+w"), c->winePrefix});
            }
            if (c->x)
                XCloseDisplay(c->x);
        }
        if (m_switch.state() != QProcess::NotRunning) {
            m_switch.kill();
            m_switch.waitForFinished(3000);
        }
    }

    Computer &operator[](int port) { return *m_computers.at(port); }

    QProcessEnvironment environment(const Computer &c) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const QString home = m_tmp.path() + QStringLiteral("/home%1").arg(c.port);
        QDir().mkpath(home);
        env.insert(QStringLiteral("DISPLAY"), c.server->display());
        env.insert(QStringLiteral("TMPDIR"), home); // each computer its own one-instance socket
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home);
        env.insert(QStringLiteral("XDG_DATA_HOME"), c.data);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.remove(QStringLiteral("QT_XCB_GL_INTEGRATION")); // the agent's own choice is tested
        env.insert(QStringLiteral("SPANLINK_VSWITCH_SOCKET"), c.winePrefix.isEmpty() ? m_socket : m_tcp);
        env.insert(QStringLiteral("SPANLINK_VSWITCH_PORT"), QString::number(c.port));
        if (!c.winePrefix.isEmpty()) {
            env.insert(QStringLiteral("WINEPREFIX"), c.winePrefix);
            env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
            env.insert(QStringLiteral("WINEDLLOVERRIDES"), QStringLiteral("mscoree,mshtml="));
        }
        return env;
    }

    std::unique_ptr<QProcess> startAgent(const Computer &c, const QStringList &args = {}) const
    {
        auto agent = std::make_unique<QProcess>();
        agent->setProcessEnvironment(environment(c));
        if (c.winePrefix.isEmpty())
            agent->start(QStringLiteral(AGENT_BINARY), args);
        else
            agent->start(QStringLiteral("wine"), QStringList {QStringLiteral(WINDOWS_AGENT)} + args);
        return agent;
    }

    // One control command to the switch; its answer.
    QByteArray ctl(const QString &command) const
    {
        QProcess p;
        p.start(QStringLiteral(VSWITCH_BINARY),
            QStringList {QStringLiteral("ctl"), m_socket} + command.split(QLatin1Char(' ')));
        p.waitForFinished(5000);
        return p.readAllStandardOutput().trimmed();
    }

    QJsonObject status() const { return QJsonDocument::fromJson(ctl(QStringLiteral("status")).mid(3)).object(); }

    // Moves the pointer of `from` toward an edge fast enough to cross (40 px a step, a step
    // every 20 to 30 ms) and returns when the switch has handed keyboard and mouse over, or
    // after `limit` steps. Start a few hundred pixels away: the crossing needs a whole speed
    // period (100 ms) of motion before the pointer reaches the edge, where it stops.
    bool pushThrough(Computer &from, QPoint start, QPoint step, int limit = 40)
    {
        const QByteArray before = ctl(QStringLiteral("last"));
        from.warp(start.x(), start.y());
        for (int i = 0; i < limit; ++i) {
            from.move(step.x(), step.y());
            QTest::qWait(10);
            if (ctl(QStringLiteral("status")).contains("\"currentPort\":" + QByteArray::number(from.port)) == false)
                return true;
        }
        return ctl(QStringLiteral("last")) != before;
    }

private:
    // A real keyboard's F13 has X keycode 191 (Linux KEY_F13 + 8), the key the switch presses;
    // Xvfb's default map gives that keycode another key, so Wine would not see VK_F13.
    static bool giveF13(Display *x)
    {
        int perKeycode = 0;
        KeySym *old = XGetKeyboardMapping(x, 191, 1, &perKeycode);
        if (!old)
            return false;
        XFree(old);
        std::vector<KeySym> syms(size_t(qMax(perKeycode, 1)), XK_F13);
        XChangeKeyboardMapping(x, 191, int(syms.size()), syms.data(), 1);
        XSync(x, False);
        return true;
    }

    QTemporaryDir m_tmp;
    QString m_socket;
    QString m_tcp; // the switch's loopback TCP address, for Windows agents
    QList<int> m_windows;
    bool m_unplugged = false;
    QProcess m_switch;
    std::map<int, std::unique_ptr<Computer>> m_computers;
};
