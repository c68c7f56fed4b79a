// spanlinkctl-virtual as a user runs it: against the virtual switch daemon, and detect on an
// X server with two screens.

#include "xvfb.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace
{
struct Result {
    int code = -1;
    QByteArray out, err;
    QJsonObject json() const { return QJsonDocument::fromJson(out).object(); }
};

QJsonObject monitor(int port, int index, int row, int col, int width, int height)
{
    return {{QStringLiteral("port"), port}, {QStringLiteral("index"), index}, {QStringLiteral("row"), row},
        {QStringLiteral("col"), col}, {QStringLiteral("width"), width}, {QStringLiteral("height"), height}};
}

QJsonObject layout(const QJsonArray &monitors, int position)
{
    return {{QStringLiteral("monitors"), monitors},
        {QStringLiteral("mouse"), QJsonObject {{QStringLiteral("position"), position}}}};
}

// The daemon's own file for a layout: two cables and the same monitors.
QJsonObject switchFile(const QJsonObject &layout)
{
    return {{QStringLiteral("ports"),
                QJsonArray {QJsonObject {{QStringLiteral("port"), 1}}, QJsonObject {{QStringLiteral("port"), 2}}}},
        {QStringLiteral("monitors"), layout.value(QStringLiteral("monitors"))},
        {QStringLiteral("mousePosition"),
            layout.value(QStringLiteral("mouse")).toObject().value(QStringLiteral("position"))}};
}

QStringList args(const char *line)
{
    return QString::fromLatin1(line).split(QLatin1Char(' '));
}
} // namespace

class TestSpanlinkCtlVswitch : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    std::vector<std::unique_ptr<QProcess>> m_switches;
    const QJsonObject m_first = layout({monitor(1, 1, 1, 1, 1920, 1080), monitor(2, 1, 1, 2, 2560, 1440)}, 4);
    const QJsonObject m_second = layout(
        {monitor(2, 1, 2, 3, 1280, 1024), monitor(1, 1, 2, 2, 3840, 2160), monitor(1, 2, 1, 2, 1920, 1200)}, 5);

    QString write(const QString &name, const QJsonObject &content)
    {
        QFile f(m_tmp.filePath(name));
        return f.open(QIODevice::WriteOnly) && f.write(QJsonDocument(content).toJson()) > 0 ? f.fileName() : QString();
    }

    // A vswitch serving `file` on its own socket; empty when it does not come up.
    QString startSwitch(const QString &name, const QJsonObject &file)
    {
        const QString socket = m_tmp.filePath(name);
        auto &p = m_switches.emplace_back(std::make_unique<QProcess>());
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start(QStringLiteral(VSWITCH_BINARY),
            {QStringLiteral("serve"), socket, write(name + QStringLiteral(".json"), switchFile(file))});
        while (!QFile::exists(socket) && p->waitForReadyRead(5000))
            p->readAll();
        return QFile::exists(socket) ? socket : QString();
    }

    Result ctl(const QString &socket, const QStringList &args, const QString &display = {})
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("SPANLINK_VSWITCH_SOCKET"), socket);
        if (!display.isEmpty()) {
            env.insert(QStringLiteral("DISPLAY"), display);
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        }
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(CTL_BINARY), args);
        Result r;
        if (!p.waitForFinished(30000)) {
            p.kill();
            p.waitForFinished(3000);
            return r;
        }
        r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
        return r;
    }
    int load(const QString &socket, const QString &file)
    {
        return ctl(socket, {QStringLiteral("layout"), QStringLiteral("load"), file}).code;
    }

private slots:
    void cleanupTestCase()
    {
        for (auto &p : m_switches) {
            p->kill();
            p->waitForFinished(3000);
        }
    }

    // Export, load, export: what was exported goes back in unchanged, and a switch that got an
    // upload answers like one that started with that layout.
    void roundTrip()
    {
        const QString uploaded = startSwitch(QStringLiteral("a"), m_first);
        const QString started = startSwitch(QStringLiteral("b"), m_second);
        QVERIFY(!uploaded.isEmpty() && !started.isEmpty());
        const Result exported = ctl(uploaded, args("layout --json"));
        QCOMPARE(exported.code, 0);
        QCOMPARE(exported.json(), m_first);
        const QByteArray grid = ctl(uploaded, args("layout")).out; // as this computer (port 2) sees it
        QVERIFY2(grid.contains("*1 1920x1080") && grid.contains("| 2 2560x1440"), grid.constData());

        const Result loaded = ctl(uploaded,
            {QStringLiteral("layout"), QStringLiteral("load"), write(QStringLiteral("second.json"), m_second)});
        QVERIFY2(loaded.code == 0, loaded.err.constData());
        QVERIFY(loaded.out.contains("pick the new layout up"));
        for (const char *line : {"status --json", "layout --json", "layout"}) {
            const Result a = ctl(uploaded, args(line)), b = ctl(started, args(line));
            QCOMPARE(a.code, 0);
            QCOMPARE(a.out, b.out);
        }
        QCOMPARE(ctl(started, args("status --json")).json().value(QStringLiteral("monitorEntries")).toInt(), 3);

        QFile f(m_tmp.filePath(QStringLiteral("exported.json")));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(exported.out) == exported.out.size());
        f.close();
        QCOMPARE(load(uploaded, f.fileName()), 0);
        QCOMPARE(ctl(uploaded, args("layout --json")).json(), m_first);

        const Result none = ctl(m_tmp.filePath(QStringLiteral("nothing")), args("status"));
        QCOMPARE(none.code, 1);
        QVERIFY2(
            none.err.startsWith("spanlinkctl: no switch answers") && none.err.count('\n') == 1, none.err.constData());
    }

    // Two X screens: Qt reports each as a desktop of its own, which detect puts side by side.
    void detectOnTwoScreens()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty())
            QSKIP("Xvfb is not installed");
        Xvfb x;
        if (!x.start(QStringList {QStringLiteral("1280x1024x24"), QStringLiteral("1024x768x24")}))
            QSKIP("Xvfb does not start here");
        const Result r = ctl({}, args("layout detect --port 2 --at 1,2"), x.display());
        QVERIFY2(r.code == 0, r.err.constData());
        QJsonArray merged = {monitor(2, 1, 1, 2, 1280, 1024), monitor(2, 2, 1, 3, 1024, 768)};
        QCOMPARE(r.json(), QJsonObject({{QStringLiteral("monitors"), merged}}));
        // The second screen is narrower than a column of the first: the nearest cell, and a warning.
        QVERIFY2(r.err.contains("spanlinkctl: warning: screen 2 (1024x768 at 1280,0) does not tile the grid"),
            r.err.constData());

        // Merged with the other computer's monitor, it is a layout the switch takes.
        const QString socket = startSwitch(QStringLiteral("d"), m_first);
        QVERIFY(!socket.isEmpty());
        merged.prepend(monitor(1, 1, 1, 1, 1920, 1080));
        const QJsonObject file = layout(merged, 4);
        QCOMPARE(load(socket, write(QStringLiteral("merged.json"), file)), 0);
        QCOMPARE(ctl(socket, args("layout --json")).json(), file);
    }
};

QTEST_GUILESS_MAIN(TestSpanlinkCtlVswitch)
#include "tst_spanlinkctl_vswitch.moc"
