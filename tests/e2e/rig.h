#pragma once

// Several "computers" on one machine: an Xvfb and a tray host for each, the virtual switch
// daemon, and the real agent (spanlink-virtual) on each display, attached to its port.

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

#include <map>
#include <memory>

// Polls `condition` until it holds or `msec` have passed, by the clock: each look at the
// screen costs a screenshot, so a count of tries says little about the time spent.
template <typename Condition> bool waitFor(Condition condition, int msec = 8000)
{
    QElapsedTimer t;
    t.start();
    while (!condition()) {
        if (t.elapsed() > msec)
            return false;
        QTest::qWait(50);
    }
    return true;
}

struct Computer {
    int port = 0;
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
    QByteArray log() const
    {
        QFile f(data + QStringLiteral("/VORN/Spanlink/log") + QDate::currentDate().toString(Qt::ISODate)
            + QStringLiteral(".txt"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QImage screenshot(const QString &name) const
    {
        return XDesktop::screenshot(server->display(), QStringLiteral("e2e-shots/%1-port%2.png").arg(name).arg(port));
    }
    QString tree() const { return XDesktop::tree(server->display()); }
    // Mean colour of the tray icon as trayer shows it; invalid while there is none.
    QColor trayColour() const
    {
        const QRect icon = XDesktop::trayIcon(server->display());
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
        m_switch.start(QStringLiteral(VSWITCH_BINARY), {QStringLiteral("serve"), m_socket, file.fileName()});
        if (!m_switch.waitForStarted(5000))
            return false;
        while (!m_switch.readAll().contains("virtual switch on")) {
            if (!m_switch.waitForReadyRead(5000))
                return false;
        }

        for (auto &[port, c] : m_computers) {
            c->compositor = std::make_unique<QProcess>();
            c->compositor->setProcessEnvironment(environment(*c));
            c->compositor->start(QStringLiteral("xcompmgr"), QStringList());
            c->trayer = std::make_unique<QProcess>();
            c->trayer->setProcessEnvironment(environment(*c));
            c->trayer->start(QStringLiteral("trayer"), XDesktop::trayerArguments());
            c->agent = startAgent(*c);
        }
        // Ready when every agent has read the layout and hooked the desktop.
        for (auto &[port, c] : m_computers) {
            QElapsedTimer t;
            t.start();
            while (ctl(QStringLiteral("status")).indexOf("\"agents\":" + QByteArray::number(int(m_computers.size())))
                < 0) {
                if (t.elapsed() > 15000)
                    return false;
                QTest::qWait(20);
            }
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
        env.insert(QStringLiteral("SPANLINK_VSWITCH_SOCKET"), m_socket);
        env.insert(QStringLiteral("SPANLINK_VSWITCH_PORT"), QString::number(c.port));
        return env;
    }

    std::unique_ptr<QProcess> startAgent(const Computer &c) const
    {
        auto agent = std::make_unique<QProcess>();
        agent->setProcessEnvironment(environment(c));
        agent->start(QStringLiteral(AGENT_BINARY), QStringList());
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
    QTemporaryDir m_tmp;
    QString m_socket;
    QProcess m_switch;
    std::map<int, std::unique_ptr<Computer>> m_computers;
};
