#pragma once

// Several "computers" on one machine: an Xvfb and a tray host each, the virtual switch daemon,
// and the real agent on each display. A computer may run Windows instead: the Windows agent
// under Wine in a Wine desktop filling its display, in a prefix of its own, over loopback TCP.

#include "waitfor.h"
#include "xdesktop.h"
#include "xvfb.h"

#include <QDate>
#include <QDir>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <map>
#include <memory>

inline QString qs(const char *s)
{
    return QString::fromUtf8(s);
}
inline QStringList words(const char *s)
{
    return qs(s).split(QLatin1Char(' '));
}

namespace Wine
{
inline QString s_template; // a prefix made once, copied for each Windows computer
inline void setUp(QProcessEnvironment &env, const QString &prefix)
{
    env.insert(qs("WINEPREFIX"), prefix);
    env.insert(qs("WINEDEBUG"), qs("-all"));
    env.insert(qs("WINEDLLOVERRIDES"), qs("mscoree,mshtml="));
}
inline bool run(const QString &prefix, const char *program, const QStringList &args)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(qs("DISPLAY"));
    setUp(env, prefix);
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(qs(program), args);
    return p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}
// Every program in one virtual desktop of the screen's size: without it, Wine's low-level
// hooks see only input that falls on Wine's own windows.
inline bool makeTemplate(const QString &path)
{
    const bool ok = run(path, "wineboot", {qs("-i")})
        && run(path, "wine", words("reg add HKCU\\Software\\Wine\\Explorer /v Desktop /d Default /f"))
        && run(path, "wine", words("reg add HKCU\\Software\\Wine\\Explorer\\Desktops /v Default /d 1920x1080 /f"));
    run(path, "wineserver", {qs("-w")});
    if (ok)
        s_template = path;
    return ok;
}
// Where the Wine desktop's taskbar shows the first tray icon.
constexpr QRect s_trayIcon(1902, 1063, 16, 15);
} // namespace Wine

struct Computer {
    int port = 0;
    QString winePrefix; // set when this computer runs Windows
    std::unique_ptr<Xvfb> server;
    std::unique_ptr<QProcess> trayer, compositor, agent; // without a compositor the frame is black
    Display *x = nullptr;
    QString data;

    QPoint pointer() const
    {
        Window root, child;
        int px = 0, py = 0, wx, wy;
        unsigned int mask;
        XQueryPointer(x, DefaultRootWindow(x), &root, &child, &px, &py, &wx, &wy, &mask);
        return {px, py};
    }
    void warp(int px, int py) { XWarpPointer(x, None, DefaultRootWindow(x), 0, 0, 0, 0, px, py), XSync(x, False); }
    // A real move, with the raw events the agent listens to.
    void move(int dx, int dy) { XTestFakeRelativeMotionEvent(x, dx, dy, CurrentTime), XSync(x, False); }
    QByteArray log() const
    {
        QStringList users = QDir(winePrefix + qs("/drive_c/users")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        users.removeAll(qs("Public")); // the roaming AppData of the prefix's own user
        const QString folder
            = winePrefix.isEmpty() ? data : winePrefix + qs("/drive_c/users/%1/AppData/Roaming").arg(users.value(0));
        return XDesktop::readAll(
            folder + qs("/VORN/Spanlink/log") + QDate::currentDate().toString(Qt::ISODate) + qs(".txt"));
    }
    QImage screenshot(const QString &name) const
    {
        return XDesktop::screenshot(server->display(), qs("e2e-shots/%1-port%2.png").arg(name).arg(port));
    }
    QString tree() const { return XDesktop::tree(server->display()); }
    QByteArray mappings() const { return XDesktop::readAll(qs("/proc/%1/maps").arg(agent->processId())); }
    QColor trayColour() const
    {
        const QRect icon = winePrefix.isEmpty() ? XDesktop::trayIcon(server->display()) : Wine::s_trayIcon;
        return icon.isValid() ? XDesktop::mean(screenshot(qs("tray")), icon) : QColor();
    }
    bool online() const
    {
        const QColor c = trayColour();
        return c.isValid() && c.blue() > c.red() + 40 && c.blue() > c.green();
    }
    bool offline() const // grey: all channels alike (the green frame, drawn over the tray, is not)
    {
        const QColor c = trayColour();
        return c.isValid() && qAbs(c.blue() - c.red()) < 25 && qAbs(c.green() - c.red()) < 25;
    }
    bool frameShown(const QString &name) const
    {
        const QColor c = screenshot(name).pixelColor(5, 500);
        return c.green() > 150 && c.red() < 100;
    }
    // The agent's scene window (named "Spanlink") covers the whole monitor but its last row.
    bool frameFills() const
    {
        return QRegularExpression(qs(R"(\("spanlink-virtual" "Spanlink"\)\s+1920x1079\+-?\d+\+-?\d+\s+\+0\+0)"))
            .match(tree())
            .hasMatch();
    }
};

class Rig
{
public:
    struct Monitor { // each 1920 x 1080, as the screens are
        int port, row, col;
    };
    QList<int> windowsPorts; // before start(): these run the Windows agent under Wine
    bool unplugged = false; // before start(): the switch starts with its cable pulled

    bool start(const QList<Monitor> &monitors, int cyclic = 0, int highlightDuration = 1)
    {
        QStringList ports, list;
        for (const Monitor &m : monitors) {
            if (m_computers.count(m.port) == 0) {
                auto c = std::make_unique<Computer>();
                c->port = m.port;
                c->server = std::make_unique<Xvfb>();
                if (!m_tmp.isValid() || !c->server->start()
                    || !(c->x = XOpenDisplay(c->server->display().toLatin1().constData())))
                    return false;
                c->data = m_tmp.filePath(qs("data%1").arg(m.port));
                if (windowsPorts.contains(m.port)) {
                    c->winePrefix = m_tmp.filePath(qs("wine%1").arg(m.port));
                    // The switch presses F13, X keycode 191 on a real keyboard: Xvfb's map has another key there.
                    const QStringList f13 {qs("-e"), qs("keycode 191 = F13 F13 F13 F13")};
                    if (Wine::s_template.isEmpty() || !XDesktop::run(c->server->display(), qs("xmodmap"), f13).isEmpty()
                        || QProcess::execute(qs("cp"), {qs("-a"), Wine::s_template, c->winePrefix}) != 0)
                        return false;
                }
                ports << QString::asprintf(R"({"port":%d,"display":"%s"})", m.port, qPrintable(c->server->display()));
                m_computers[m.port] = std::move(c);
            }
            list << QString::asprintf(
                R"({"port":%d,"index":1,"row":%d,"col":%d,"width":1920,"height":1080})", m.port, m.row, m.col);
        }
        QFile file(m_tmp.filePath(qs("layout.json")));
        const QString layout = QString::asprintf(R"({"ports":[%s],"monitors":[%s],"currentPort":%d,"mousePosition":4,)"
                                                 R"("cyclicSwitch":%d,"highlight":{"on":true,"duration":%d}})",
            qPrintable(ports.join(QLatin1Char(','))), qPrintable(list.join(QLatin1Char(','))), monitors.first().port,
            cyclic, highlightDuration);
        if (!file.open(QIODevice::WriteOnly) || file.write(layout.toUtf8()) < 0)
            return false;
        file.close();

        m_socket = m_tmp.filePath(qs("switch"));
        m_switch.setProcessChannelMode(QProcess::MergedChannels);
        m_switch.start(qs(VSWITCH_BINARY),
            QStringList {qs("serve"), m_socket, file.fileName()}
                + (windowsPorts.isEmpty() ? QStringList() : words("--tcp 0")));
        QByteArray said;
        while (!said.contains("virtual switch on " + m_socket.toLatin1())) {
            if (!m_switch.waitForReadyRead(5000))
                return false;
            said += m_switch.readAll();
        }
        m_tcp = QRegularExpression(qs("virtual switch on (tcp:127.0.0.1:\\d+)")).match(qs(said)).captured(1);
        if (unplugged && ctl(qs("unplug")) != "ok")
            return false;
        for (auto &[port, c] : m_computers) {
            if (c->winePrefix.isEmpty()) {
                c->compositor = launch(*c, qs("xcompmgr"), {});
                c->trayer = launch(*c, qs("trayer"), XDesktop::trayerArguments());
            }
            c->agent = startAgent(*c);
        }
        // Ready when every agent has read the layout and hooked the desktop (Wine starts slowly).
        const QByteArray all = "\"agents\":" + QByteArray::number(int(m_computers.size()));
        return unplugged
            || waitFor([&] { return ctl(qs("status")).contains(all); }, windowsPorts.isEmpty() ? 15000 : 40000);
    }

    ~Rig()
    {
        for (auto &[port, c] : m_computers) {
            for (QProcess *p : {c->agent.get(), c->trayer.get(), c->compositor.get()})
                if (p)
                    p->kill(), p->waitForFinished(3000);
            if (!c->winePrefix.isEmpty()) {
                Wine::run(c->winePrefix, "wineserver", {qs("-k")});
                // Wine leaves read-only files that would outlive the temporary folder.
                QProcess::execute(qs("chmod"), {qs("-R"), qs("u+w"), c->winePrefix});
            }
            if (c->x)
                XCloseDisplay(c->x);
        }
        m_switch.kill();
        m_switch.waitForFinished(3000);
    }

    Computer &operator[](int port) { return *m_computers.at(port); }

    QProcessEnvironment environment(const Computer &c) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const QString home = m_tmp.filePath(qs("home%1").arg(c.port));
        QDir().mkpath(home);
        env.insert(qs("DISPLAY"), c.server->display());
        env.insert(qs("TMPDIR"), home); // each computer its own one-instance socket
        env.insert(qs("XDG_RUNTIME_DIR"), home);
        env.insert(qs("XDG_DATA_HOME"), c.data);
        env.insert(qs("QT_QPA_PLATFORM"), qs("xcb"));
        env.remove(qs("QT_XCB_GL_INTEGRATION")); // the agent's own choice is tested
        env.insert(qs("SPANLINK_VSWITCH_SOCKET"), c.winePrefix.isEmpty() ? m_socket : m_tcp);
        env.insert(qs("SPANLINK_VSWITCH_PORT"), QString::number(c.port));
        if (!c.winePrefix.isEmpty())
            Wine::setUp(env, c.winePrefix);
        return env;
    }

    std::unique_ptr<QProcess> launch(const Computer &c, const QString &program, const QStringList &args) const
    {
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(environment(c));
        p->start(program, args);
        return p;
    }
    std::unique_ptr<QProcess> startAgent(const Computer &c, const QStringList &args = {}) const
    {
        return c.winePrefix.isEmpty() ? launch(c, qs(AGENT_BINARY), args)
                                      : launch(c, qs("wine"), QStringList {qs(WINDOWS_AGENT)} + args);
    }

    QByteArray ctl(const QString &command) const
    {
        QProcess p;
        p.start(qs(VSWITCH_BINARY), QStringList {qs("ctl"), m_socket} + command.split(QLatin1Char(' ')));
        p.waitForFinished(5000);
        return p.readAllStandardOutput().trimmed();
    }
    QJsonObject status() const { return QJsonDocument::fromJson(ctl(qs("status")).mid(3)).object(); }
    int accepted(int port) const { return status()[qs("accepted")].toObject()[QString::number(port)].toInt(); }

    // Moves `from`'s pointer toward an edge, 40 px every 20-30 ms, until the switch has handed
    // over or after `limit` steps. Start a few hundred pixels away: the crossing needs a whole
    // speed period (100 ms) of motion before the pointer reaches the edge, where it stops.
    bool pushThrough(Computer &from, QPoint start, QPoint step, int limit = 40)
    {
        const QByteArray before = ctl(qs("last"));
        from.warp(start.x(), start.y());
        for (int i = 0; i < limit; ++i) {
            from.move(step.x(), step.y());
            QTest::qWait(10);
            if (!ctl(qs("status")).contains("\"currentPort\":" + QByteArray::number(from.port)))
                return true;
        }
        return ctl(qs("last")) != before;
    }

private:
    QTemporaryDir m_tmp;
    QString m_socket, m_tcp; // the TCP address for Windows agents
    QProcess m_switch;
    std::map<int, std::unique_ptr<Computer>> m_computers;
};
