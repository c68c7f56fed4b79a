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
    QByteArray out;
    QByteArray err;
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
} // namespace

class TestSpanlinkCtlVswitch : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    std::vector<std::unique_ptr<QProcess>> m_switches;

    QString write(const QString &name, const QJsonObject &content)
    {
        const QString path = m_tmp.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            return {};
        f.write(QJsonDocument(content).toJson());
        return path;
    }

    // A vswitch serving `file` on its own socket; empty when it does not come up.
    QString startSwitch(const QString &name, const QJsonObject &file)
    {
        const QString socket = m_tmp.filePath(name);
        auto p = std::make_unique<QProcess>();
        p->setStandardOutputFile(QProcess::nullDevice());
        p->setStandardErrorFile(QProcess::nullDevice());
        p->start(QStringLiteral(VSWITCH_BINARY),
            {QStringLiteral("serve"), socket, write(name + QStringLiteral(".json"), file)});
        if (!p->waitForStarted(5000))
            return {};
        m_switches.push_back(std::move(p));
        for (int i = 0; i < 100 && !QFile::exists(socket); ++i)
            QTest::qWait(50);
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

    static QJsonObject switchFile(const QJsonObject &layout)
    {
        return {{QStringLiteral("ports"),
                    QJsonArray {QJsonObject {{QStringLiteral("port"), 1}}, QJsonObject {{QStringLiteral("port"), 2}}}},
            {QStringLiteral("monitors"), layout.value(QStringLiteral("monitors"))},
            {QStringLiteral("mousePosition"),
                layout.value(QStringLiteral("mouse")).toObject().value(QStringLiteral("position"))}};
    }

    const QJsonObject m_first = layout({monitor(1, 1, 1, 1, 1920, 1080), monitor(2, 1, 1, 2, 2560, 1440)}, 4);
    const QJsonObject m_second = layout(
        {monitor(2, 1, 2, 3, 1280, 1024), monitor(1, 1, 2, 2, 3840, 2160), monitor(1, 2, 1, 2, 1920, 1200)}, 5);

private slots:
    void cleanupTestCase()
    {
        for (auto &p : m_switches) {
            p->kill();
            p->waitForFinished(3000);
        }
    }

    void exportLoadExport()
    {
        const QString socket = startSwitch(QStringLiteral("a"), switchFile(m_first));
        QVERIFY(!socket.isEmpty());

        const Result exported = ctl(socket, {QStringLiteral("layout"), QStringLiteral("--json")});
        QCOMPARE(exported.code, 0);
        QCOMPARE(exported.json(), m_first);

        const Result loaded = ctl(
            socket, {QStringLiteral("layout"), QStringLiteral("load"), write(QStringLiteral("second.json"), m_second)});
        QVERIFY2(loaded.code == 0, loaded.err.constData());
        QVERIFY(loaded.out.contains("pick the new layout up"));
        QCOMPARE(ctl(socket, {QStringLiteral("layout"), QStringLiteral("--json")}).json(), m_second);

        // What was exported goes back in unchanged.
        QVERIFY(exported.out.size() > 0);
        QFile f(m_tmp.filePath(QStringLiteral("exported.json")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(exported.out);
        f.close();
        QCOMPARE(ctl(socket, {QStringLiteral("layout"), QStringLiteral("load"), f.fileName()}).code, 0);
        QCOMPARE(ctl(socket, {QStringLiteral("layout"), QStringLiteral("--json")}).json(), m_first);
        // The grid as this computer (port 2) sees it.
        const QByteArray grid = ctl(socket, {QStringLiteral("layout")}).out;
        QVERIFY2(grid.contains("*1 1920x1080") && grid.contains("| 2 2560x1440"), grid.constData());
    }

    // A switch that received an upload answers like one that started with that layout.
    void uploadedAnswersLikeStarted()
    {
        const QString uploaded = startSwitch(QStringLiteral("b"), switchFile(m_first));
        const QString started = startSwitch(QStringLiteral("c"), switchFile(m_second));
        QVERIFY(!uploaded.isEmpty() && !started.isEmpty());
        QCOMPARE(ctl(uploaded,
                     {QStringLiteral("layout"), QStringLiteral("load"), write(QStringLiteral("second.json"), m_second)})
                     .code,
            0);
        for (const QStringList &args : {QStringList {QStringLiteral("status"), QStringLiteral("--json")},
                 QStringList {QStringLiteral("layout"), QStringLiteral("--json")},
                 QStringList {QStringLiteral("layout")}}) {
            const Result a = ctl(uploaded, args), b = ctl(started, args);
            QCOMPARE(a.code, 0);
            QCOMPARE(a.out, b.out);
        }
        QCOMPARE(ctl(started, {QStringLiteral("status"), QStringLiteral("--json")})
                     .json()
                     .value(QStringLiteral("monitorEntries"))
                     .toInt(),
            3);
    }

    void failuresAsTheUserSeesThem()
    {
        const Result none = ctl(m_tmp.filePath(QStringLiteral("nothing")), {QStringLiteral("status")});
        QCOMPARE(none.code, 1);
        QCOMPARE(none.err.count('\n'), 1);
        QVERIFY(none.err.startsWith("spanlinkctl: no switch answers"));

        QJsonObject bad = m_second;
        QJsonArray monitors = bad.value(QStringLiteral("monitors")).toArray();
        monitors.append(monitor(9, 1, 4, 4, 800, 600));
        bad.insert(QStringLiteral("monitors"), monitors);
        const Result badFile = ctl(m_tmp.filePath(QStringLiteral("nothing")),
            {QStringLiteral("layout"), QStringLiteral("load"), write(QStringLiteral("bad.json"), bad)});
        QCOMPARE(badFile.code, 2);
        QVERIFY2(badFile.err.contains("monitor entry 4: \"port\" is 9, must be 1 to 8"), badFile.err.constData());
    }

    // Two X screens: Qt reports each as a desktop of its own, which detect puts side by side.
    void detectOnTwoScreens()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty())
            QSKIP("Xvfb is not installed");
        Xvfb x;
        if (!x.start(QStringList {QStringLiteral("1280x1024x24"), QStringLiteral("1024x768x24")}))
            QSKIP("Xvfb does not start here");

        const Result r = ctl({},
            {QStringLiteral("layout"), QStringLiteral("detect"), QStringLiteral("--port"), QStringLiteral("2"),
                QStringLiteral("--at"), QStringLiteral("1,2")},
            x.display());
        QVERIFY2(r.code == 0, r.err.constData());
        const QJsonObject expected {
            {QStringLiteral("monitors"), QJsonArray {monitor(2, 1, 1, 2, 1280, 1024), monitor(2, 2, 1, 3, 1024, 768)}}};
        QCOMPARE(r.json(), expected);
        // The second screen is narrower than a column of the first: the nearest cell, and a warning.
        QVERIFY2(r.err.contains("spanlinkctl: warning: screen 2 (1024x768 at 1280,0) does not tile the grid"),
            r.err.constData());

        // Merged with the other computer's monitor, it is a layout the switch takes.
        const QString socket = startSwitch(QStringLiteral("d"), switchFile(m_first));
        QVERIFY(!socket.isEmpty());
        QJsonArray merged = r.json().value(QStringLiteral("monitors")).toArray();
        merged.prepend(monitor(1, 1, 1, 1, 1920, 1080));
        const QJsonObject file = layout(merged, 4);
        QCOMPARE(
            ctl(socket, {QStringLiteral("layout"), QStringLiteral("load"), write(QStringLiteral("merged.json"), file)})
                .code,
            0);
        QCOMPARE(ctl(socket, {QStringLiteral("layout"), QStringLiteral("--json")}).json(), file);
    }
};

QTEST_GUILESS_MAIN(TestSpanlinkCtlVswitch)
#include "tst_spanlinkctl_vswitch.moc"
