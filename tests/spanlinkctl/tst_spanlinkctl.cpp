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

namespace
{
struct Result {
    int code = -1;
    QString out, err;
};

Result ctl(const QString &line, const QString &file = {})
{
    Result r;
    QTextStream out(&r.out), err(&r.err);
    QStringList a = (QStringLiteral("spanlinkctl ") + line).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    r.code = SpanlinkCtl::run(file.isEmpty() ? a : a << file, out, err);
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
            {R"({"monitors": [], "colour": 1})", "unknown field \"colour\""},
            {many + "]}", "256 entries, the switch holds at most 255"},
            {second(entry(9, 1, 1, 2)), "monitor entry 2: \"port\" is 9, must be 1 to 8"},
            {second(entry(2, 1, 0, 2)), "monitor entry 2: \"row\" is 0, must be 1 to 16"},
            {second(R"({"port": 2, "index": 1, "row": 1.5, "col": 2, "width": 9, "height": 9})"),
                "\"row\" must be a whole number from 1 to 16, not 1.5"},
            {second(entry(2, 1, 1, 2, 65536)), "monitor entry 2: \"width\" is 65536, must be 1 to 65535"},
            {second(entry(2, 1, 1, 2) + ", " + entry(3, 1, 1, 1)),
                "monitor entry 3: cell 1,1 (\"row\", \"col\") already holds monitor entry 1"},
            {R"({"monitors": [], "mouse": {"position": 6}})", "\"mouse\": \"position\" is 6, must be 0 to 5"},
            {R"({"monitors": [)" + QByteArray(1024 * 1024, ' ') + "]}", "larger than 1048576 bytes"}};
        for (const auto &[content, message] : rows)
            QTest::newRow(message) << content << QString::fromUtf8(message);
    }
    void badFilesSendNothing()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, message);
        const Result r = ctl(
            QStringLiteral("layout load"), content.isEmpty() ? m_tmp.filePath(QStringLiteral("none")) : write(content));
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains(message) && r.err.count(QLatin1Char('\n')) == 1, qPrintable(r.err));
        QVERIFY(VirtualHid::sentFrames().isEmpty());
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
        const Result r = ctl(QStringLiteral("layout load"), write(full));
        QVERIFY2(r.code == 0 && r.out.contains(QLatin1String("Uploaded 255 monitor entries")), qPrintable(r.err));
        QCOMPARE(VirtualHid::model().monitors, expected);
        QCOMPARE(VirtualHid::model().mouseSettings.acceleration, 255);
        // A file without a mouse position keeps the switch's.
        const Result kept = ctl(QStringLiteral("layout load"), write(second(entry(2, 1, 1, 2))));
        QVERIFY2(kept.code == 0 && kept.out.contains(QLatin1String("keeping the switch's 5")), qPrintable(kept.out));
        QCOMPARE(VirtualHid::model().mousePosition, 5);
    }

    void failedUploadFrame_data()
    {
        QTest::addColumn<int>("reportId");
        QTest::addColumn<int>("skip");
        QTest::addColumn<bool>("refuse"); // or the send itself fails
        QTest::addColumn<QString>("message");
        QTest::newRow("opening") << 0x42 << 0 << true << "refused frame 1 of 6 (opening the upload)";
        QTest::newRow("last entry") << 0x43 << 2 << true << "refused frame 4 of 6 (monitor entry 3)";
        QTest::newRow("closing") << 0x45 << 0 << true << "refused frame 5 or 6 of 6 (the mouse settings or the closing";
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
        const Result r = ctl(QStringLiteral("layout load"), path);
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains(message), qPrintable(r.err));
        QCOMPARE(VirtualHid::model().monitors, s_before); // an upload that did not close changes nothing
        QCOMPARE(uchar(VirtualHid::sentFrames().last().at(0)), reportId); // and nothing follows the failed frame
    }

    void switchThatDoesNotAnswer()
    {
        VirtualHid::unplug();
        const Result r = ctl(QStringLiteral("status"));
        QCOMPARE(r.code, 1);
        QCOMPARE(
            r.err, QStringLiteral("spanlinkctl: no switch answers: none is attached, or this user may not open it\n"));
        // Plugged, but it stops answering at the last entry of the list.
        VirtualHid::plug();
        VirtualHid::model().monitors = {{1, 1, 1, 1, 800, 600}, {2, 1, 1, 2, 800, 600}, {2, 2, 1, 3, 800, 600}};
        VirtualHid::refuseNextWithId(0x47, 2);
        const Result half = ctl(QStringLiteral("layout"));
        QCOMPARE(half.code, 1);
        QCOMPARE(half.err, QStringLiteral("spanlinkctl: the switch does not answer for monitor entry 3 of 3\n"));
    }

    void status()
    {
        SwitchModel &m = VirtualHid::model();
        VirtualHid::setAttachPort(2);
        m.presentMask = 0x85;
        m.currentPort = 3;
        m.highlightOn = false;
        m.highlightDuration = 7;
        const QJsonObject got = QJsonDocument::fromJson(ctl(QStringLiteral("status --json")).out.toUtf8()).object();
        QCOMPARE(got.value(QStringLiteral("thisPort")), 2);
        QCOMPARE(got.value(QStringLiteral("currentPort")), 3);
        QCOMPARE(got.value(QStringLiteral("presentPorts")), QJsonArray({1, 3, 8}));
        QCOMPARE(got.value(QStringLiteral("highlight")),
            QJsonObject({{QStringLiteral("on"), false}, {QStringLiteral("duration"), 7}}));
    }

    void commandLine_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message"); // on stderr, or on stdout for a success
        const std::tuple<const char *, int, const char *> rows[]
            = {{"--help", 0, "layout load FILE"}, {"reboot", 2, "unknown command \"reboot\""},
                {"layout detect --port 1", 2, "needs --port N and --at ROW,COL"},
                {"layout detect --at 1,1", 2, "needs --port N and --at ROW,COL"},
                {"layout detect --port 9 --at 1,1", 2, "--port must be a port from 1 to 8, not \"9\""},
                {"layout detect --port 1 --at 1,0", 2, "--at must be ROW,COL with each from 1 to 16, not \"1,0\""},
                {"status --port 1", 2, "--port and --at belong to layout detect"}};
        for (const auto &[line, code, message] : rows)
            QTest::newRow(line) << QString::fromLatin1(line) << code << QString::fromUtf8(message);
    }
    void commandLine()
    {
        QFETCH(QString, line);
        QFETCH(int, code);
        QFETCH(QString, message);
        const Result r = ctl(line);
        QCOMPARE(r.code, code);
        QVERIFY2((code ? r.err : r.out).contains(message), qPrintable(r.err + r.out));
        QVERIFY(VirtualHid::sentFrames().isEmpty());
        const QString call = QStringLiteral("spanlinkctl ") + line; // only detect needs the desktop
        QCOMPARE(SpanlinkCtl::needsScreens(call.split(QLatin1Char(' '))), line.startsWith(QLatin1String("layout det")));
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
        QTest::newRow("left of the origin") << QVector<QRect> {hd, hd.translated(-1920, 0)} << 1 << "1,1 1,2" << 0;
        QTest::newRow("narrower") << QVector<QRect> {QRect(0, 0, 1280, 1024), QRect(1280, 0, 1024, 768)} << 2
                                  << "1,2 1,3" << 1;
        QTest::newRow("offset down") << QVector<QRect> {hd, hd.translated(1920, 300)} << 1 << "1,1 1,2" << 1;
        QTest::newRow("off the grid") << QVector<QRect> {hd, right} << 16
                                      << "error: screen 2 (1920x1080 at 1920,0) would lie in cell 1,17" << 0;
    }
    void placeScreens()
    {
        QFETCH(QVector<QRect>, screens);
        QFETCH(int, col);
        QFETCH(QString, cells);
        QFETCH(int, warnings);
        QVector<SwitchLayout::Monitor> monitors;
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
