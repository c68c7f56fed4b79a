#pragma once

// Several computers on one machine: an Xvfb each, the virtual switch daemon between them and the
// real agent on each display; a Windows computer runs the Windows agent under Wine, over TCP.

#include "waitfor.h"
#include "xdesktop.h"
#include "xvfb.h"

#include <QDate>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <map>
#include <memory>

inline QString qs(const char *s)
{
    return QString::fromUtf8(s);
}

struct Computer {
    int port = 0;
    QString data, winePrefix; // the prefix only when this computer runs Windows
    Xvfb server;
    Display *x = nullptr;
    std::unique_ptr<QProcess> compositor, agent; // without a compositor the frame is black

    QPoint pointer() const
    {
        Window root, child;
        int px = 0, py = 0, wx, wy;
        unsigned int mask;
        XQueryPointer(x, DefaultRootWindow(x), &root, &child, &px, &py, &wx, &wy, &mask);
        return {px, py};
    }
    QByteArray log() const
    {
        return XDesktop::readAll(data + qs("/VORN/Spanlink/log%1.txt").arg(QDate::currentDate().toString(Qt::ISODate)));
    }
    bool frameShown(const char *name) const // green at the left edge; saved for a person to look at
    {
        const QColor c = XDesktop::screenshot(server.display(), qs("e2e-shots/%1-port%2.png").arg(qs(name)).arg(port))
                             .pixelColor(5, 500);
        return c.green() > 150 && c.red() < 100;
    }
};

// The switch presses F13, X keycode 191 on a real keyboard: Xvfb's map has another key there. One
// Wine desktop of the screen's size: without it Wine's low-level hooks see only input on its windows.
constexpr const char *s_makeWindows = R"(xmodmap -e 'keycode 191 = F13 F13 F13 F13' && unset DISPLAY &&
    wineboot -i && wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f &&
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1920x1080 /f && wineserver -w)";

class Rig
{
public:
    struct Monitor { // each 1920 x 1080, as the screens are
        int port, row, col;
    };
    QList<int> windowsPorts; // before start(): these run the Windows agent under Wine

    bool start(const QList<Monitor> &monitors, int cyclic = 0, int highlightDuration = 1)
    {
        QStringList ports, list;
        for (const Monitor &m : monitors) {
            auto c = std::make_unique<Computer>();
            c->port = m.port;
            c->data = m_tmp.filePath(qs("data%1").arg(m.port));
            c->winePrefix = windowsPorts.contains(m.port) ? m_tmp.filePath(qs("wine%1").arg(m.port)) : QString();
            if (!m_tmp.isValid() || !c->server.start() || !(c->x = XOpenDisplay(qPrintable(c->server.display())))
                || !(c->winePrefix.isEmpty() || shell(*c, s_makeWindows)))
                return false;
            ports << QString::asprintf(R"({"port":%d,"display":"%s"})", m.port, qPrintable(c->server.display()));
            list << QString::asprintf(
                R"({"port":%d,"index":1,"row":%d,"col":%d,"width":1920,"height":1080})", m.port, m.row, m.col);
            m_computers[m.port] = std::move(c);
        }
        QFile file(m_tmp.filePath(qs("layout.json")));
        const QString layout = QString::asprintf(R"({"ports":[%s],"monitors":[%s],"currentPort":%d,"mousePosition":4,)"
                                                 R"("cyclicSwitch":%d,"highlight":{"on":true,"duration":%d}})",
            qPrintable(ports.join(QLatin1Char(','))), qPrintable(list.join(QLatin1Char(','))), monitors.first().port,
            cyclic, highlightDuration);
        if (!file.open(QIODevice::WriteOnly) || file.write(layout.toUtf8()) < 0 || !file.flush())
            return false;
        m_socket = m_tmp.filePath(qs("switch"));
        m_switch.setProcessChannelMode(QProcess::MergedChannels);
        m_switch.start(qs(VSWITCH_BINARY), {qs("serve"), m_socket, file.fileName(), qs("--tcp"), qs("0")});
        QByteArray said;
        while (!said.contains("virtual switch on " + m_socket.toLatin1()))
            if (!m_switch.waitForReadyRead(5000) || (said += m_switch.readAll()).isEmpty())
                return false;
        m_tcp = QRegularExpression(qs("virtual switch on (tcp:127.0.0.1:\\d+)")).match(qs(said)).captured(1);
        for (auto &[port, c] : m_computers) {
            if (c->winePrefix.isEmpty())
                c->compositor = launch(*c, qs("xcompmgr"), {});
            c->agent = c->winePrefix.isEmpty() ? launch(*c, qs(AGENT_BINARY), {})
                                               : launch(*c, qs("wine"), {qs(WINDOWS_AGENT)});
        }
        // Ready when every agent is connected and has had a heartbeat accepted (Wine starts slowly).
        return waitFor(
            [&] {
                const QJsonObject s = status(), accepted = s[qs("accepted")].toObject();
                bool all = s[qs("agents")].toInt() == int(m_computers.size());
                for (const auto &[port, c] : m_computers)
                    all = all && accepted[QString::number(port)].toInt() > 0;
                return all;
            },
            windowsPorts.isEmpty() ? 15000 : 60000);
    }

    ~Rig()
    {
        for (auto &[port, c] : m_computers) {
            for (QProcess *p : {c->agent.get(), c->compositor.get()})
                if (p)
                    p->kill(), p->waitForFinished(3000);
            if (!c->winePrefix.isEmpty()) // Wine leaves read-only files that would outlive the folder
                shell(*c, R"(wineserver -k; chmod -R u+w "$WINEPREFIX")");
            if (c->x)
                XCloseDisplay(c->x);
        }
        m_switch.kill();
        m_switch.waitForFinished(3000);
    }

    Computer &operator[](int port) { return *m_computers.at(port); }

    std::unique_ptr<QProcess> launch(const Computer &c, const QString &program, const QStringList &args) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const QString home = m_tmp.filePath(qs("home%1").arg(c.port));
        QDir().mkpath(home);
        env.insert(qs("DISPLAY"), c.server.display());
        env.insert(qs("TMPDIR"), home); // each computer its own one-instance socket
        env.insert(qs("XDG_RUNTIME_DIR"), home);
        env.insert(qs("XDG_DATA_HOME"), c.data);
        env.insert(qs("QT_QPA_PLATFORM"), qs("xcb"));
        env.remove(qs("QT_XCB_GL_INTEGRATION")); // the agent's own choice is tested
        env.insert(qs("SPANLINK_VSWITCH_SOCKET"), c.winePrefix.isEmpty() ? m_socket : m_tcp);
        env.insert(qs("SPANLINK_VSWITCH_PORT"), QString::number(c.port));
        if (!c.winePrefix.isEmpty()) {
            env.insert(qs("WINEPREFIX"), c.winePrefix);
            env.insert(qs("WINEDEBUG"), qs("-all"));
            env.insert(qs("WINEDLLOVERRIDES"), qs("mscoree,mshtml="));
        }
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(env);
        p->start(program, args);
        return p;
    }
    bool shell(const Computer &c, const char *script) const
    {
        const auto p = launch(c, qs("sh"), {qs("-c"), qs(script)});
        return p->waitForFinished(180000) && p->exitStatus() == QProcess::NormalExit && p->exitCode() == 0;
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

    // Moves `from`'s pointer toward an edge, a real move of 40 px a step, until the switch has handed
    // over or after 40 steps. Start a few hundred pixels away: the crossing needs a whole speed period
    // (100 ms) of motion before the pointer reaches the edge, where it stops.
    bool pushThrough(Computer &from, QPoint start, int step)
    {
        const QByteArray before = ctl(qs("last"));
        XWarpPointer(from.x, None, DefaultRootWindow(from.x), 0, 0, 0, 0, start.x(), start.y());
        for (int i = 0; i < 40; ++i) {
            XTestFakeRelativeMotionEvent(from.x, step, 0, CurrentTime), XSync(from.x, False);
            QTest::qWait(10);
            if (status()[qs("currentPort")].toInt(from.port) != from.port)
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
