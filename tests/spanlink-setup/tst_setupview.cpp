// Spanlink Setup as a user runs it: on an X server, against the virtual switch daemon, its
// tiles dragged with the pointer and moved with the keyboard, the result uploaded and read
// back with spanlinkctl. Screenshots go to the test's folder for a look.

#include "need.h"
#include "waitfor.h"
#include "xvfb.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace
{
const char s_switch[] = R"({"ports": [{"port": 1}, {"port": 2}, {"port": 3, "present": false}],
  "monitors": [{"port": 1, "index": 1, "row": 2, "col": 2, "width": 1920, "height": 1080},
               {"port": 1, "index": 2, "row": 2, "col": 3, "width": 2560, "height": 1440},
               {"port": 2, "index": 1, "row": 3, "col": 2, "width": 1280, "height": 1024},
               {"port": 3, "index": 1, "row": 1, "col": 2, "width": 1024, "height": 768}],
  "mousePosition": 2, "cyclicSwitch": 1, "highlight": {"on": true, "duration": 3}})";

// The grid's place in the window and its cell size, as the scene draws them.
constexpr int GridLeft = 20, GridTop = 20, Cell = 48;

// "port row col" of every monitor the switch holds, in its order.
QStringList cells(const QJsonObject &layout)
{
    QStringList out;
    for (const QJsonValue &v : layout.value(QStringLiteral("monitors")).toArray()) {
        const QJsonObject m = v.toObject();
        out << QStringLiteral("%1 %2 %3")
                   .arg(m.value(QStringLiteral("port")).toInt())
                   .arg(m.value(QStringLiteral("row")).toInt())
                   .arg(m.value(QStringLiteral("col")).toInt());
    }
    return out;
}
} // namespace

class TestSetupView : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    QProcessEnvironment m_env;
    QPoint m_window;

    QByteArray run(const QString &program, const QStringList &args)
    {
        QProcess p;
        p.setProcessEnvironment(m_env);
        p.start(program, args);
        if (!p.waitForFinished(15000))
            return {};
        return p.readAllStandardOutput();
    }
    void xdo(const QString &line) { run(QStringLiteral("xdotool"), line.split(QLatin1Char(' '))); }
    QPoint centre(int row, int col) const
    {
        return m_window + QPoint(GridLeft + (col - 1) * Cell + Cell / 2, GridTop + (row - 1) * Cell + Cell / 2);
    }
    // Pressed, moved in steps (a drag starts past a threshold), released.
    void drag(int fromRow, int fromCol, int toRow, int toCol)
    {
        const QPoint a = centre(fromRow, fromCol), b = centre(toRow, toCol);
        xdo(QStringLiteral("mousemove %1 %2").arg(a.x()).arg(a.y()));
        xdo(QStringLiteral("mousedown 1"));
        for (int i = 1; i <= 10; ++i) {
            const QPoint p = a + (b - a) * i / 10;
            xdo(QStringLiteral("mousemove %1 %2").arg(p.x()).arg(p.y()));
            QTest::qWait(30);
        }
        xdo(QStringLiteral("mouseup 1"));
        // Off the grid, so that no tooltip covers it in the screenshots.
        xdo(QStringLiteral("mousemove %1 %2").arg(m_window.x() + 5).arg(m_window.y() + 860));
    }
    QStringList switchCells()
    {
        return cells(QJsonDocument::fromJson(
            run(QStringLiteral(CTL_BINARY), {QStringLiteral("layout"), QStringLiteral("--json")}))
                         .object());
    }
    void shot(const QString &name)
    {
        run(QStringLiteral("import"),
            {QStringLiteral("-window"), QStringLiteral("root"), QStringLiteral(SHOTS_DIR "/") + name});
    }

private slots:
    void dragsKeysAndUpload()
    {
        NEED("Xvfb", "xdotool", "import");
        Xvfb x;
        if (!x.start(QStringLiteral("1280x900x24")))
            QSKIP("Xvfb does not start here");
        QDir().mkpath(QStringLiteral(SHOTS_DIR));
        const QString socket = m_tmp.filePath(QStringLiteral("switch"));
        QFile config(m_tmp.filePath(QStringLiteral("switch.json")));
        QVERIFY(config.open(QIODevice::WriteOnly) && config.write(s_switch) > 0);
        config.close();
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert(QStringLiteral("DISPLAY"), x.display());
        m_env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        m_env.insert(QStringLiteral("SPANLINK_VSWITCH_SOCKET"), socket);

        QProcess vswitch;
        vswitch.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        vswitch.start(QStringLiteral(VSWITCH_BINARY), {QStringLiteral("serve"), socket, config.fileName()});
        QVERIFY(waitFor([&] { return QFile::exists(socket); }));
        const QStringList before = QStringLiteral("1 2 2,1 2 3,2 3 2,3 1 2").split(QLatin1Char(','));
        QCOMPARE(switchCells(), before);

        QProcess setup;
        setup.setProcessEnvironment(m_env);
        setup.setStandardOutputFile(QProcess::nullDevice());
        setup.setStandardErrorFile(m_tmp.filePath(QStringLiteral("setup.log")));
        setup.start(QStringLiteral(SETUP_BINARY), QStringList());
        QByteArray window;
        QVERIFY(waitFor(
            [&] {
                window = run(QStringLiteral("xdotool"),
                    {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                        QStringLiteral("^Spanlink Setup$")})
                             .trimmed();
                return !window.isEmpty();
            },
            20000));
        const QByteArray geometry = run(QStringLiteral("xdotool"),
            {QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), QString::fromLatin1(window)});
        for (const QByteArray &line : geometry.split('\n')) {
            if (line.startsWith("X="))
                m_window.setX(line.mid(2).toInt());
            else if (line.startsWith("Y="))
                m_window.setY(line.mid(2).toInt());
        }
        xdo(QStringLiteral("windowfocus ") + QString::fromLatin1(window));
        QTest::qWait(1000); // the scene's first frame
        shot(QStringLiteral("1-read.png"));

        // Port 2's monitor dropped on port 1's second: two in one cell, nothing may be sent.
        drag(3, 2, 2, 3);
        QTest::qWait(300);
        xdo(QStringLiteral("key ctrl+u"));
        QTest::qWait(500);
        shot(QStringLiteral("2-two-in-a-cell.png"));
        QCOMPARE(switchCells(), before);

        // Undone, then dropped beside it; port 3's monitor (the next tile for Tab) two cells right.
        xdo(QStringLiteral("key ctrl+z"));
        QTest::qWait(200);
        drag(3, 2, 3, 3);
        QTest::qWait(300);
        xdo(QStringLiteral("key Tab"));
        xdo(QStringLiteral("key Right"));
        xdo(QStringLiteral("key Right"));
        QTest::qWait(300);
        shot(QStringLiteral("3-moved.png"));

        // A switch pulled out: the upload names the frame nobody answered; the picture stays.
        const QStringList vswitchCtl {QStringLiteral("ctl"), socket};
        run(QStringLiteral(VSWITCH_BINARY), vswitchCtl + QStringList {QStringLiteral("unplug")});
        xdo(QStringLiteral("key ctrl+u"));
        QTest::qWait(1000);
        shot(QStringLiteral("4-unplugged.png"));
        run(QStringLiteral(VSWITCH_BINARY), vswitchCtl + QStringList {QStringLiteral("plug")});
        QCOMPARE(switchCells(), before);

        xdo(QStringLiteral("key ctrl+u"));
        const QStringList after = QStringLiteral("1 2 2,1 2 3,2 3 3,3 1 4").split(QLatin1Char(','));
        QStringList now;
        QVERIFY2(
            waitFor([&] { return (now = switchCells()) == after; }, 10000), qPrintable(now.join(QLatin1Char(','))));
        QTest::qWait(300);
        shot(QStringLiteral("5-uploaded.png"));

        setup.terminate();
        QVERIFY(setup.waitForFinished(5000));
        vswitch.terminate();
        QVERIFY(vswitch.waitForFinished(5000));
    }
};

QTEST_GUILESS_MAIN(TestSetupView)
#include "tst_setupview.moc"
