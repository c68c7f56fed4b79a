// spanlinkctl's commands against the in-process switch, and its file checks, grid and screen placement.

#include "ctl.h"
#include "layoutfile.h"
#include "virtualhid.h"

#include <QtTest>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <thread>
#endif

namespace
{
struct Result {
    int code = -1;
    QString out, err;
};
QByteArray entry(int port, int index, int row, int col, int width = 1920, int height = 1080)
{
    return QString::asprintf(R"({"port": %d, "index": %d, "row": %d, "col": %d, "width": %d, "height": %d})", port,
        index, row, col, width, height)
        .toUtf8();
}
QJsonObject json(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}
const QByteArray s_one = R"({"monitors": [)" + entry(1, 1, 1, 1) + ", ";
const QByteArray s_three = R"({"monitors": [)" + entry(1, 1, 1, 1) + ", " + entry(2, 1, 1, 2, 2560, 1440) + ", "
    + entry(3, 1, 2, 1, 1280, 1024) + R"(], "mouse": {"position": 2, "acceleration": 1, "speed": 3}})";
const QVector<SwitchModel::MonitorEntry> s_before
    = {{1, 1, 1, 1, 800, 600}, {2, 1, 1, 2, 800, 600}, {2, 2, 1, 3, 8, 6}};
} // namespace

class TestSpanlinkCtl : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;

    // The command line, and with a file's content, the path of that file (none: a file not there).
    Result ctl(const QString &line, const QByteArray &file = {}, bool withFile = false)
    {
        static int n = 0;
        QStringList a = (QStringLiteral("spanlinkctl ") + line).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        QFile f(m_tmp.filePath(QStringLiteral("layout%1.json").arg(++n)));
        if (withFile || !file.isEmpty())
            a << f.fileName();
        if (!file.isEmpty() && !(f.open(QIODevice::WriteOnly) && f.write(file) == file.size() && f.flush()))
            return {};
        Result r;
        QTextStream out(&r.out), err(&r.err);
        r.code = SpanlinkCtl::run(a, out, err);
        out.flush();
        err.flush();
        return r;
    }

private slots:
    void init()
    {
        VirtualHid::reset();
        VirtualHid::model().monitors = s_before;
    }

    // Refused command lines and files: a line on stderr, exit code 2, nothing sent.
    void badInput_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message"); // on stderr, or on stdout for a success
        QByteArray many = R"({"monitors": [)" + entry(1, 1, 1, 1);
        for (int i = 1; i < 256; ++i)
            many += ", " + entry(1 + i % 8, 1, 1, 1);
        const std::tuple<const char *, QByteArray, int, const char *> rows[] = {{"--help", "", 0, "layout load FILE"},
            {"layout detect --port 1", "", 2, "needs --port N and --at ROW,COL"},
            {"layout detect --port 9 --at 1,1", "", 2, "--port must be a port from 1 to 8, not \"9\""},
            {"layout detect --port 1 --at 1,0", "", 2, "--at must be ROW,COL with each from 1 to 16, not \"1,0\""},
            {"status --port 1", "", 2, "--port and --at belong to layout detect"},
            {"layout load", "", 2, "cannot read "},
            {"layout load", many + "]}", 2, "256 entries, the switch holds at most 255"},
            {"layout load", s_one + entry(2, 1, 0, 2) + "]}", 2, "monitor entry 2: \"row\" is 0, must be 1 to 16"},
            {"layout load", s_one + R"({"port": 2, "index": 1, "row": 1.5, "col": 2, "width": 9, "height": 9}]})", 2,
                "\"row\" must be a whole number from 1 to 16, not 1.5"},
            {"layout load", s_one + entry(2, 1, 1, 2, 65536) + "]}", 2,
                "entry 2: \"width\" is 65536, must be 320 to 65535"},
            // Smaller than any real monitor: the pointer could never leave it again.
            {"layout load", s_one + entry(2, 1, 1, 2, 1, 1) + "]}", 2, "entry 2: \"width\" is 1, must be 320 to 65535"},
            {"layout load", s_one + entry(2, 1, 1, 2, 1920, 199) + "]}", 2, "\"height\" is 199, must be 200 to 65535"},
            {"layout load",
                s_one + R"({"port": 2, "index": 1, "row": 1, "col": 2, "width": 65535.00000000001, "height": 1080}]})",
                2, "\"width\" must be a whole number from 320 to 65535, not 65535.00000000001"},
            // A JSON reader keeps the last of two equal fields: the second list would wipe the switch.
            {"layout load", s_one + entry(2, 1, 1, 2) + R"(], "monitors": []})", 2,
                "field \"monitors\" is given twice in one object (at byte 167)"},
            {"layout load",
                R"({"monitors": [{"port": 1, "index": 1, "row": 1, "col": 1, "width": 1920, "height": 1080, )"
                R"("\u0077idth": 800}]})",
                2, "field \"width\" is given twice"},
            {"layout load", s_one + entry(2, 1, 1, 2) + ", " + entry(3, 1, 1, 1) + "]}", 2,
                "monitor entry 3: cell 1,1 (\"row\", \"col\") already holds monitor entry 1"},
            {"layout load", R"({"monitors": [], "mouse": {"position": 6}})", 2, "\"position\" is 6, must be 0 to 5"},
            // Text from the file is quoted on one line.
            {"layout load", R"({"monitors": [], "m\u000aouse": 1})", 2, R"(layout: unknown field "m\nouse" (known:)"},
            {"layout load", R"({"monitors": [)" + QByteArray(1024 * 1024, ' ') + "]}", 2, "larger than 1048576 bytes"}};
        for (const auto &[line, file, code, message] : rows)
            QTest::newRow(message) << QString::fromLatin1(line) << file << code << QString::fromUtf8(message);
    }
    void badInput()
    {
        QFETCH(QString, line);
        QFETCH(QByteArray, file);
        QFETCH(int, code);
        QFETCH(QString, message);
        const Result r = ctl(line, file, line.startsWith(QLatin1String("layout load")));
        QCOMPARE(r.code, code);
        QVERIFY2((code ? r.err : r.out).contains(message) && r.err.count(QLatin1Char('\n')) == (code ? 1 : 0),
            qPrintable(r.err + r.out));
        QVERIFY(VirtualHid::sentFrames().isEmpty());
        const QString call = QStringLiteral("spanlinkctl ") + line; // only detect needs the desktop
        QCOMPARE(SpanlinkCtl::needsScreens(call.split(QLatin1Char(' '))), line.startsWith(QLatin1String("layout det")));
    }

    // Every limit at its edge is accepted, uploaded and exported as it was.
    void fileAtTheLimits()
    {
        QByteArray full = R"({"monitors": [)";
        for (int i = 0; i < 255; ++i)
            full += (i ? ", " : "")
                + entry(1 + i % 8, 255, 1 + i / 16, 1 + i % 16, i == 254 ? 65535 : 320, i ? 200 : 65535);
        const Result r
            = ctl(QStringLiteral("layout load"), full + R"(], "mouse": {"position": 5, "acceleration": 255}})");
        QVERIFY2(r.code == 0 && r.out.contains(QLatin1String("Uploaded 255 monitor entries")), qPrintable(r.err));
        QCOMPARE(json(ctl(QStringLiteral("layout --json")).out),
            json(QString::fromUtf8(full + R"(], "mouse": {"position": 5}})")));
        // A file without a mouse position keeps the switch's.
        const Result kept = ctl(QStringLiteral("layout load"), s_one + entry(2, 1, 1, 2) + "]}");
        QVERIFY2(kept.code == 0 && kept.out.contains(QLatin1String("keeping the switch's 5")), qPrintable(kept.out));
        QCOMPARE(VirtualHid::model().mousePosition, 5);
    }

#ifdef Q_OS_UNIX
    // What is not a plain file is refused at once, also a FIFO that nobody writes to.
    void nonRegularFiles()
    {
        const QString fifo = m_tmp.filePath(QStringLiteral("fifo.json"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        // A reader left waiting for a writer is let go after 3 s, and that is noted: a hang fails, not stalls.
        std::promise<void> done;
        std::atomic<bool> rescued {false};
        std::thread writer([fifo, &rescued, finished = done.get_future()] {
            if (finished.wait_for(std::chrono::seconds(3)) == std::future_status::ready)
                return;
            // Without a reader waiting, this open fails.
            const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                rescued = true;
                ::close(fd);
            }
        });
        const auto joined = qScopeGuard([&] {
            done.set_value();
            writer.join();
        });
        for (const QString &path : {fifo, m_tmp.path(), QStringLiteral("/dev/zero")}) {
            const Result r = ctl(QStringLiteral("layout load ") + path);
            QVERIFY2(!rescued && r.code == 2 && r.err.contains(QLatin1String(": not a regular file; nothing was sent")),
                qPrintable(r.err));
        }
        QVERIFY(VirtualHid::sentFrames().isEmpty());
    }
#endif

    // A switch that refuses, does not answer or is not there: exit code 1, one line, the switch unchanged.
    void switchFaults_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("reportId"); // refused, or when negative, not answered
        QTest::addColumn<int>("skip");
        QTest::addColumn<QString>("message");
        QTest::newRow("opening") << "layout load" << 0x42 << 0 << "refused frame 1 of 6 (opening the upload)";
        QTest::newRow("last entry") << "layout load" << 0x43 << 2 << "refused frame 4 of 6 (monitor entry 3)";
        QTest::newRow("mouse settings") << "layout load" << 0x44 << 0 << "refused frame 5 of 6 (the mouse settings)";
        QTest::newRow("closing") << "layout load" << 0x45 << 0 << "refused frame 6 of 6 (closing the upload)";
        QTest::newRow("closing unanswered") << "layout load" << -0x45 << 0 << "did not answer frame 6 of 6 (closing";
        QTest::newRow("unanswered") << "layout load" << -0x43 << 1 << "did not answer frame 3 of 6 (monitor entry 2)";
        QTest::newRow("read") << "layout" << 0x47 << 2 << "the switch does not answer for monitor entry 3 of 3";
        QTest::newRow("none") << "status" << 0 << 0 << "no switch answers: none is attached, or this user may not";
    }
    void switchFaults()
    {
        QFETCH(QString, line);
        QFETCH(int, reportId);
        QFETCH(int, skip);
        QFETCH(QString, message);
        reportId > 0 ? VirtualHid::refuseNextWithId(reportId, skip) : VirtualHid::failNextSend(-reportId, skip);
        if (!reportId)
            VirtualHid::unplug();
        const Result r = ctl(line, line == QLatin1String("layout load") ? s_three : QByteArray());
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.startsWith(QLatin1String("spanlinkctl: ")) && r.err.contains(message)
                && r.err.count(QLatin1Char('\n')) == 1,
            qPrintable(r.err));
        QCOMPARE(VirtualHid::model().monitors, s_before); // an upload that did not close changes nothing
        QVERIFY(!reportId || uchar(VirtualHid::sentFrames().last().at(0)) == qAbs(reportId)); // and nothing follows
    }

    // An upload the switch accepted but reports back otherwise: each field of an entry counts.
    void readBackDiffers_data()
    {
        QTest::addColumn<int>("field");
        QTest::newRow("port") << 0;
        QTest::newRow("index") << 1;
        QTest::newRow("row") << 2;
        QTest::newRow("col") << 3;
        QTest::newRow("width") << 4;
        QTest::newRow("height") << 5;
    }
    void readBackDiffers()
    {
        QFETCH(int, field);
        const auto restore = qScopeGuard([] { VirtualHid::setReplySource({}); });
        VirtualHid::setReplySource([field](const QByteArray &request, QByteArray &reply) {
            if (request.startsWith(QByteArray::fromHex("47 01"))) { // the read-back of entry 1
                SwitchModel::MonitorEntry &m = VirtualHid::model().monitors[0];
                int *const fields[] = {&m.port, &m.monitorIndex, &m.row, &m.col, &m.width, &m.height};
                *fields[field] += 1;
            }
            // The upload's frames were taken in when sent; the queries are answered again here.
            const char id = request.isEmpty() ? 0 : request.at(0);
            reply = id >= 0x42 && id <= 0x45 ? SwitchModel::reply(id, SwitchModel::Accepted)
                                             : VirtualHid::model().handle(1, request);
            return true;
        });
        const Result r = ctl(QStringLiteral("layout load"), s_three);
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains(QLatin1String("uploaded, but the switch reports 3 monitor entries that differ")),
            qPrintable(r.err));
    }

    void status()
    {
        VirtualHid::setAttachPort(2);
        VirtualHid::model().presentMask = 0x85;
        VirtualHid::model().currentPort = 3;
        VirtualHid::model().highlightOn = false;
        QCOMPARE(json(ctl(QStringLiteral("status --json")).out), json(QStringLiteral(R"({"answers": true, "thisPort": 2,
            "version": "101230", "currentPort": 3, "presentPorts": [1, 3, 8], "monitorEntries": 3, "mousePosition": 0,
            "highlight": {"on": false, "duration": 1}, "wrapAround": false})")));
        QVERIFY(!ctl(QStringLiteral("status")).out.contains(QLatin1String("session")));
        // In a Wayland session the switch may answer, but crossings need an X11 session.
        qputenv("XDG_SESSION_TYPE", "wayland");
        const QString json = ctl(QStringLiteral("status --json")).out, text = ctl(QStringLiteral("status")).out;
        qunsetenv("XDG_SESSION_TYPE");
        const QString note = QStringLiteral("Crossings need an X11 session; this is a Wayland session.");
        QCOMPARE(QJsonDocument::fromJson(json.toUtf8()).object().value(QStringLiteral("session")).toString(), note);
        QVERIFY2(text.endsWith(QStringLiteral("session:          ") + note + QLatin1Char('\n')), qPrintable(text));
    }

    void grid()
    {
        const QString text = SwitchLayout::drawGrid(
            {{1, 1, 1, 2, 1920, 1080}, {2, 1, 3, 5, 2560, 1440}, {3, 1, 17, 1, 800, 600}, {3, 2, 1, 2, 640, 480}}, 1);
        QVERIFY2(text.contains(QLatin1String("*1 1920x1080/3 640x480")), qPrintable(text));
        QVERIFY(text.contains(QLatin1String("note: cell 1,2 holds more than one monitor")));
        QVERIFY(text.contains(QLatin1String("note: entry 3 (port 3, 800x600) lies at 17,1, outside the 16 x 16 grid")));
    }

    void placeScreens_data()
    {
        QTest::addColumn<QVector<QRect>>("screens");
        QTest::addColumn<int>("col");
        QTest::addColumn<QString>("cells"); // "row,col" of each entry by index, or the error's start
        QTest::addColumn<int>("warnings");
        const QRect hd(0, 0, 1920, 1080), right = hd.translated(1920, 0);
        QTest::newRow("side by side") << QVector<QRect> {right, hd} << 1 << "1,1 1,2" << 0;
        // Sizes that do not tile are fine: the agent finds each monitor on its screen.
        QTest::newRow("narrower") << QVector<QRect> {QRect(0, 0, 1280, 1024), QRect(1280, 0, 1024, 768)} << 2
                                  << "1,2 1,3" << 0;
        QTest::newRow("offset down") << QVector<QRect> {hd, hd.translated(1920, 300)} << 1 << "1,1 1,2" << 0;
        QTest::newRow("wide, then two narrow")
            << QVector<QRect> {QRect(0, 0, 2560, 1440), QRect(2560, 0, 1280, 1024), QRect(3840, 0, 1280, 1024)} << 1
            << "1,1 1,3 1,4" << 0;
        QTest::newRow("mirrored") << QVector<QRect> {hd, hd} << 1 << "1,1 1,2" << 2;
        QTest::newRow("off the grid") << QVector<QRect> {hd, right} << 16
                                      << "error: screen 2 (1920x1080 at 1920,0) would lie in cell 1,17" << 0;
    }
    void placeScreens()
    {
        QFETCH(QVector<QRect>, screens);
        QFETCH(int, col);
        QFETCH(QString, cells);
        QFETCH(int, warnings);
        QVector<SwitchLayout::MonitorEntry> monitors;
        QStringList warned, got;
        QString error;
        const bool ok = SwitchLayout::placeScreens(screens, 5, 1, col, monitors, warned, error);
        for (int i = 0; i < monitors.size(); ++i) {
            QCOMPARE(monitors.at(i).index, i + 1);
            got << QStringLiteral("%1,%2").arg(monitors.at(i).row).arg(monitors.at(i).col);
        }
        QCOMPARE(ok ? got.join(QLatin1Char(' ')) : QStringLiteral("error: ") + error.left(cells.size() - 7), cells);
        QCOMPARE(warned.size(), warnings);
    }
};

QTEST_GUILESS_MAIN(TestSpanlinkCtl)
#include "tst_spanlinkctl.moc"
