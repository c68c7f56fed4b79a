// spanlinkctl's commands in-process against the in-process virtual switch, and its plain
// functions: file checks, grid drawing and screen placement.

#include "ctl.h"
#include "layoutfile.h"
#include "virtualhid.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTextStream>
#include <QtTest>

using SwitchLayout::Monitor;

namespace
{
struct Result {
    int code = -1;
    QString out, err;
};

QStringList args(const QString &line)
{
    return line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

Result ctl(const QStringList &a)
{
    Result r;
    QTextStream out(&r.out), err(&r.err);
    r.code = SpanlinkCtl::run(QStringList {QStringLiteral("spanlinkctl")} + a, out, err);
    out.flush();
    err.flush();
    return r;
}

QByteArray entry(int port, int index, int row, int col, int width = 1920, int height = 1080)
{
    return QStringLiteral(R"({"port": %1, "index": %2, "row": %3, "col": %4, "width": %5, "height": %6})")
        .arg(port)
        .arg(index)
        .arg(row)
        .arg(col)
        .arg(width)
        .arg(height)
        .toUtf8();
}

QByteArray second(const QByteArray &e)
{
    return R"({"monitors": [)" + entry(1, 1, 1, 1) + ", " + e + "]}";
}

QByteArray mouse(const QByteArray &m)
{
    return R"({"monitors": [], "mouse": )" + m + "}";
}

const QByteArray s_three = R"({"monitors": [)" + entry(1, 1, 1, 1) + ", " + entry(2, 1, 1, 2, 2560, 1440) + ", "
    + entry(3, 1, 2, 1, 1280, 1024) + R"(], "mouse": {"position": 2, "acceleration": 1, "speed": 3}})";
const QVector<SwitchModel::MonitorEntry> s_before = {{1, 1, 1, 1, 800, 600}};
} // namespace

class TestSpanlinkCtl : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;

    QString write(const QByteArray &content)
    {
        static int n = 0;
        QFile f(m_tmp.filePath(QStringLiteral("layout%1.json").arg(++n)));
        return f.open(QIODevice::WriteOnly) && f.write(content) == content.size() ? f.fileName() : QString();
    }

private slots:
    void init()
    {
        VirtualHid::reset();
        VirtualHid::model().monitors = s_before;
        VirtualHid::model().mousePosition = 4;
    }

    void badFilesSendNothing_data()
    {
        QTest::addColumn<QByteArray>("content"); // empty: no file at all
        QTest::addColumn<QString>("message");
        QByteArray many = R"({"monitors": [)";
        for (int i = 0; i < 256; ++i)
            many += (i ? ", " : "") + entry(1 + i % 8, 1, 1, 1);
        const std::pair<QByteArray, const char *> rows[] = {{"", "cannot read "}, {"{\"monitors\": [", "not JSON"},
            {"[]", "not a layout"}, {R"({"monitors": [], "colour": 1})", "unknown field \"colour\""},
            {"{}", "\"monitors\" must be a list of monitor entries, not nothing"},
            {R"({"monitors": {}})", "not an object"}, {many + "]}", "256 entries, the switch holds at most 255"},
            {second("7"), "monitor entry 2: must be an object, not 7"},
            {second(R"({"port": 1, "index": 2, "row": 1, "col": 2, "width": 9})"), "entry 2: \"height\" is missing"},
            {second(R"({"port": 2, "index": 1, "row": 1, "colum": 2, "width": 9, "height": 9})"),
                "monitor entry 2: unknown field \"colum\""},
            {second(entry(0, 1, 1, 2)), "monitor entry 2: \"port\" is 0, must be 1 to 8"},
            {second(entry(9, 1, 1, 2)), "monitor entry 2: \"port\" is 9, must be 1 to 8"},
            {second(R"({"port": "2", "index": 1, "row": 1, "col": 2, "width": 9, "height": 9})"),
                "\"port\" must be a whole number from 1 to 8, not \"2\""},
            {second(entry(2, 0, 1, 2)), "monitor entry 2: \"index\" is 0, must be 1 to 255"},
            {second(entry(2, 1, 0, 2)), "monitor entry 2: \"row\" is 0, must be 1 to 16"},
            {second(entry(2, 1, 17, 2)), "monitor entry 2: \"row\" is 17, must be 1 to 16"},
            {second(R"({"port": 2, "index": 1, "row": 1.5, "col": 2, "width": 9, "height": 9})"),
                "\"row\" must be a whole number from 1 to 16, not 1.5"},
            {second(entry(2, 1, 1, 17)), "monitor entry 2: \"col\" is 17, must be 1 to 16"},
            {second(entry(2, 1, 1, 2, 0)), "monitor entry 2: \"width\" is 0, must be 1 to 65535"},
            {second(entry(2, 1, 1, 2, 65536)), "monitor entry 2: \"width\" is 65536, must be 1 to 65535"},
            {second(entry(2, 1, 1, 2, 1920, 65536)), "monitor entry 2: \"height\" is 65536, must be 1 to 65535"},
            {second(entry(2, 1, 1, 2) + ", " + entry(3, 1, 1, 1)),
                "monitor entry 3: cell 1,1 (\"row\", \"col\") already holds monitor entry 1"},
            {mouse("4"), "\"mouse\" must be an object, not 4"},
            {mouse(R"({"position": 6})"), "\"mouse\": \"position\" is 6, must be 0 to 5"},
            {mouse(R"({"acceleration": 256})"), "\"mouse\": \"acceleration\" is 256, must be 0 to 255"},
            {mouse(R"({"speed": -1})"), "\"mouse\": \"speed\" is -1, must be 0 to 255"},
            {mouse(R"({"sped": 1})"), "\"mouse\": unknown field \"sped\""},
            {R"({"monitors": [)" + QByteArray(1024 * 1024, ' ') + "]}", "larger than 1048576 bytes"}};
        for (const auto &[content, message] : rows)
            QTest::newRow(message) << content << QString::fromUtf8(message);
    }
    void badFilesSendNothing()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, message);
        const QString path = content.isEmpty() ? m_tmp.filePath(QStringLiteral("none")) : write(content);
        const Result r = ctl({QStringLiteral("layout"), QStringLiteral("load"), path});
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains(message), qPrintable(r.err));
        QVERIFY(content.isEmpty() || r.err.contains(QLatin1String("nothing was sent")));
        QCOMPARE(r.err.count(QLatin1Char('\n')), 1);
        QVERIFY(r.out.isEmpty());
        QVERIFY(VirtualHid::sentFrames().isEmpty());
        QCOMPARE(VirtualHid::model().monitors, s_before);
    }

    // Every limit at its edge is accepted, uploaded and read back.
    void fileAtTheLimits()
    {
        QByteArray full = R"({"monitors": [)";
        QVector<SwitchModel::MonitorEntry> expected;
        for (int i = 0; i < 255; ++i) {
            const int port = 1 + i % 8, row = 1 + i / 16, col = 1 + i % 16;
            const int width = i == 254 ? 65535 : 1, height = i == 0 ? 65535 : 1;
            full += (i ? ", " : "") + entry(port, 255, row, col, width, height);
            expected.append({port, 255, row, col, width, height});
        }
        full += R"(], "mouse": {"position": 5, "acceleration": 255, "speed": 0}})";
        const Result r = ctl({QStringLiteral("layout"), QStringLiteral("load"), write(full)});
        QVERIFY2(r.code == 0, qPrintable(r.err));
        QVERIFY(r.out.contains(QLatin1String("Uploaded 255 monitor entries")));
        QVERIFY(r.out.contains(QLatin1String("when the switch reconnects or the agent restarts")));
        QCOMPARE(VirtualHid::model().monitors, expected);
        QCOMPARE(VirtualHid::model().mousePosition, 5);
        QCOMPARE(VirtualHid::model().mouseSettings.acceleration, 255);

        // Values the file leaves out: the switch's position stays, the two it never reports go as 0.
        const Result kept = ctl({QStringLiteral("layout"), QStringLiteral("load"), write(second(entry(2, 1, 1, 2)))});
        QCOMPARE(kept.code, 0);
        for (const char *said : {"keeping the switch's 5", "no mouse acceleration or speed", "acceleration 0, speed 0"})
            QVERIFY2(kept.out.contains(QLatin1String(said)), said);
        QCOMPARE(VirtualHid::model().mousePosition, 5);
        QCOMPARE(VirtualHid::model().mouseSettings.speed, 0);
    }

    void failedUploadFrame_data()
    {
        QTest::addColumn<int>("reportId");
        QTest::addColumn<int>("skip");
        QTest::addColumn<bool>("refuse"); // or the send itself fails
        QTest::addColumn<QString>("message");
        const QString last = QStringLiteral("refused frame 5 or 6 of 6 (the mouse settings or the closing frame)");
        QTest::newRow("opening") << 0x42 << 0 << true << "refused frame 1 of 6 (opening the upload)";
        QTest::newRow("first entry") << 0x43 << 0 << true << "refused frame 2 of 6 (monitor entry 1)";
        QTest::newRow("last entry") << 0x43 << 2 << true << "refused frame 4 of 6 (monitor entry 3)";
        QTest::newRow("mouse settings") << 0x44 << 0 << true << last;
        QTest::newRow("closing") << 0x45 << 0 << true << last;
        QTest::newRow("unanswered") << 0x43 << 1 << false << "did not answer frame 3 of 6 (monitor entry 2)";
    }
    void failedUploadFrame()
    {
        QFETCH(int, reportId);
        QFETCH(int, skip);
        QFETCH(bool, refuse);
        QFETCH(QString, message);
        const QString path = write(s_three);
        refuse ? VirtualHid::refuseNextWithId(reportId, skip) : VirtualHid::failNextSend(reportId, skip);
        const Result r = ctl({QStringLiteral("layout"), QStringLiteral("load"), path});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains(message), qPrintable(r.err));
        QCOMPARE(r.err.count(QLatin1Char('\n')), 1);
        QVERIFY(!r.out.contains(QLatin1String("Uploaded")));
        QCOMPARE(VirtualHid::model().monitors, s_before); // an upload that did not close changes nothing
        QCOMPARE(uchar(VirtualHid::sentFrames().last().at(0)), reportId); // and nothing follows the failed frame
    }

    void switchThatDoesNotAnswer()
    {
        VirtualHid::unplug();
        for (const QStringList &a : {args(QStringLiteral("status")), args(QStringLiteral("layout")),
                 args(QStringLiteral("layout load ")) << write(s_three)}) {
            const Result r = ctl(a);
            QCOMPARE(r.code, 1);
            QCOMPARE(r.err,
                QStringLiteral("spanlinkctl: no switch answers: none is attached, or this user may not open it\n"));
        }
        const Result json = ctl(args(QStringLiteral("status --json")));
        QCOMPARE(json.code, 1);
        QCOMPARE(
            QJsonDocument::fromJson(json.out.toUtf8()).object(), QJsonObject({{QStringLiteral("answers"), false}}));

        // Plugged, but it stops answering half-way through the list.
        VirtualHid::plug();
        VirtualHid::model().monitors = {{1, 1, 1, 1, 800, 600}, {2, 1, 1, 2, 800, 600}, {2, 2, 1, 3, 800, 600}};
        VirtualHid::refuseNextWithId(0x47, 1);
        const Result half = ctl(args(QStringLiteral("layout")));
        QCOMPARE(half.code, 1);
        QCOMPARE(half.err, QStringLiteral("spanlinkctl: the switch does not answer for monitor entry 2 of 3\n"));
        QVERIFY(half.out.isEmpty());
    }

    void status()
    {
        SwitchModel &m = VirtualHid::model();
        VirtualHid::setAttachPort(2);
        m.presentMask = 0x85;
        m.currentPort = 3;
        m.mousePosition = 2;
        m.highlightOn = false;
        m.highlightDuration = 7;
        m.cyclicSwitch = 1;
        const Result r = ctl(args(QStringLiteral("status --json")));
        QCOMPARE(r.code, 0);
        const QJsonObject expected {{QStringLiteral("answers"), true},
            {QStringLiteral("version"), QStringLiteral("101230")}, {QStringLiteral("thisPort"), 2},
            {QStringLiteral("currentPort"), 3}, {QStringLiteral("presentPorts"), QJsonArray {1, 3, 8}},
            {QStringLiteral("monitorEntries"), 1}, {QStringLiteral("mousePosition"), 2},
            {QStringLiteral("highlight"), QJsonObject {{QStringLiteral("on"), false}, {QStringLiteral("duration"), 7}}},
            {QStringLiteral("wrapAround"), true}};
        QCOMPARE(QJsonDocument::fromJson(r.out.toUtf8()).object(), expected);
        const Result text = ctl(args(QStringLiteral("status")));
        QCOMPARE(text.code, 0);
        for (const char *line : {"this computer:    port 2", "keyboard, mouse:  port 3", "ports present:    1 3 8",
                 "highlight:        off, duration 7", "wrap-around:      on"})
            QVERIFY2(text.out.contains(QLatin1String(line)), line);
    }

    void commandLine_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message"); // on stderr, or on stdout for a success
        const std::tuple<const char *, int, const char *> rows[]
            = {{"--help", 0, "layout load FILE"}, {"--version", 0, "spanlinkctl 1."}, {"", 2, "no command given"},
                {"reboot", 2, "unknown command \"reboot\""}, {"status --nope", 2, "Unknown option 'nope'"},
                {"layout load", 2, "unknown command \"layout load\""},
                {"layout detect", 2, "needs --port N and --at ROW,COL"},
                {"layout detect --port 1", 2, "needs --port N and --at ROW,COL"},
                {"layout detect --at 1,1", 2, "needs --port N and --at ROW,COL"},
                {"layout detect --port 9 --at 1,1", 2, "--port must be a port from 1 to 8, not \"9\""},
                {"layout detect --port 1 --at 0,1", 2, "--at must be ROW,COL with each from 1 to 16, not \"0,1\""},
                {"layout detect --port 1 --at 1,0", 2, "--at must be ROW,COL with each from 1 to 16, not \"1,0\""},
                {"layout detect --port 1 --at 1,2,3", 2, "--at must be ROW,COL"},
                {"status --port 1", 2, "--port and --at belong to layout detect"}};
        for (const auto &[line, code, message] : rows)
            QTest::newRow(line) << QString::fromLatin1(line) << code << QString::fromUtf8(message);
    }
    void commandLine()
    {
        QFETCH(QString, line);
        QFETCH(int, code);
        QFETCH(QString, message);
        const Result r = ctl(args(line));
        QCOMPARE(r.code, code);
        QVERIFY2((code ? r.err : r.out).contains(message), qPrintable(r.err + r.out));
        QCOMPARE(r.err.count(QLatin1Char('\n')), code ? 1 : 0);
        QVERIFY(VirtualHid::sentFrames().isEmpty());
    }

    void onlyDetectNeedsTheDesktop()
    {
        const auto needs = [](const char *line) {
            return SpanlinkCtl::needsScreens(args(QStringLiteral("spanlinkctl ") + QLatin1String(line)));
        };
        QVERIFY(needs("layout detect"));
        QVERIFY(needs("--port layout layout detect"));
        QVERIFY(!needs("layout load detect"));
        QVERIFY(!needs("status --json"));
    }

    void grid()
    {
        const QVector<Monitor> monitors = {{1, 1, 1, 2, 1920, 1080}, {2, 1, 3, 5, 2560, 1440}, {1, 2, 3, 2, 1280, 1024},
            {3, 1, 17, 1, 800, 600}, {3, 2, 1, 2, 640, 480}};
        const QString text = SwitchLayout::drawGrid(monitors, 1);
        const QStringList lines = text.split(QLatin1Char('\n'));
        QVERIFY2(lines.value(0).contains(QLatin1String("col 2")) && lines.value(0).contains(QLatin1String("col 5")),
            qPrintable(text));
        QVERIFY(!text.contains(QLatin1String("col 1 ")) && !text.contains(QLatin1String("col 3")));
        QVERIFY(text.contains(QLatin1String("row 3")) && !text.contains(QLatin1String("row 2")));
        // Row 3: this computer's second monitor under column 2, port 2's under column 5.
        const QString row3 = lines.filter(QStringLiteral("row 3")).value(0);
        QVERIFY2(row3.indexOf(QLatin1String("*1 1280x1024")) < row3.indexOf(QLatin1String(" 2 2560x1440")),
            qPrintable(row3));
        QVERIFY(text.contains(QLatin1String("*1 1920x1080/3 640x480")));
        QVERIFY(text.contains(QLatin1String("note: cell 1,2 holds more than one monitor")));
        QVERIFY(text.contains(QLatin1String("note: entry 4 (port 3, 800x600) lies at 17,1, outside the 16 x 16 grid")));
        const QStringList table = lines.filter(QRegularExpression(QStringLiteral("^(row|   |---)")));
        for (const QString &l : table)
            QCOMPARE(l.size(), table.first().size());
        QCOMPARE(SwitchLayout::drawGrid({}, 1), QStringLiteral("The switch holds no monitor entries.\n"));
    }

    void placeScreens_data()
    {
        QTest::addColumn<QVector<QRect>>("screens");
        QTest::addColumn<QString>("at");
        QTest::addColumn<QString>("cells"); // "row,col" of each entry by index, or the error's start
        QTest::addColumn<int>("warnings");
        const QRect hd(0, 0, 1920, 1080);
        const auto x = [&](int dx, int dy) {
            return hd.translated(dx, dy);
        };
        QTest::newRow("one") << QVector<QRect> {hd} << "3,4"
                             << "3,4" << 0;
        QTest::newRow("side by side") << QVector<QRect> {x(1920, 0), hd} << "1,1"
                                      << "1,1 1,2" << 0;
        QTest::newRow("two by two") << QVector<QRect> {hd, x(1920, 0), x(0, 1080), x(1920, 1080)} << "2,2"
                                    << "2,2 2,3 3,2 3,3" << 0;
        QTest::newRow("left of the origin") << QVector<QRect> {hd, x(-1920, 0)} << "1,1"
                                            << "1,1 1,2" << 0;
        QTest::newRow("narrower") << QVector<QRect> {QRect(0, 0, 1280, 1024), QRect(1280, 0, 1024, 768)} << "1,2"
                                  << "1,2 1,3" << 1;
        QTest::newRow("offset down") << QVector<QRect> {hd, x(1920, 300)} << "1,1"
                                     << "1,1 1,2" << 1;
        QTest::newRow("same place") << QVector<QRect> {hd, hd} << "1,1"
                                    << "1,1 1,2" << 1;
        QTest::newRow("off the grid") << QVector<QRect> {hd, x(1920, 0)} << "1,16"
                                      << "error: screen 2 (1920x1080 at 1920,0) would lie in cell 1,17" << 0;
        QTest::newRow("off below") << QVector<QRect> {hd, x(0, 1080)} << "16,1"
                                   << "error: screen 2 (1920x1080 at 0,1080) would lie in cell 17,1" << 0;
        QTest::newRow("none") << QVector<QRect>() << "1,1"
                              << "error: the desktop reports no screens" << 0;
    }
    void placeScreens()
    {
        QFETCH(QVector<QRect>, screens);
        QFETCH(QString, at);
        QFETCH(QString, cells);
        QFETCH(int, warnings);
        QVector<Monitor> monitors;
        QStringList warned;
        QString error;
        const QStringList rc = at.split(QLatin1Char(','));
        const bool ok
            = SwitchLayout::placeScreens(screens, 5, rc.at(0).toInt(), rc.at(1).toInt(), monitors, warned, error);
        QCOMPARE(ok, !cells.startsWith(QLatin1String("error: ")));
        if (!ok)
            QVERIFY2(error.startsWith(cells.mid(7)), qPrintable(error));
        QStringList got;
        for (int i = 0; ok && i < monitors.size(); ++i) {
            QCOMPARE(monitors.at(i).port, 5);
            QCOMPARE(monitors.at(i).index, i + 1);
            got << QStringLiteral("%1,%2").arg(monitors.at(i).row).arg(monitors.at(i).col);
        }
        QCOMPARE(ok ? got.join(QLatin1Char(' ')) : cells, cells);
        QCOMPARE(warned.size(), ok ? warnings : warned.size());
    }
};

QTEST_GUILESS_MAIN(TestSpanlinkCtl)
#include "tst_spanlinkctl.moc"
