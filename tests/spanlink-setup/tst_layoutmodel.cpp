// Spanlink Setup's picture of the grid without a view: edits and their undo, the problems it
// marks, detect, files shared with spanlinkctl, and the switch (the in-process one).

#include "ctl.h"
#include "layoutmodel.h"
#include "virtualhid.h"

#include <QSignalSpy>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

using SwitchLayout::Layout;
using Monitor = SwitchLayout::MonitorEntry;
using Monitors = QVector<Monitor>;
Q_DECLARE_METATYPE(Monitor)

namespace
{
// Port 1 with two monitors side by side, port 2 with one below the first.
const Monitors s_start = {{1, 1, 1, 1, 1920, 1080}, {1, 2, 1, 2, 2560, 1440}, {2, 1, 2, 1, 1280, 1024}};

Layout layoutOf(const Monitors &monitors, int position = 0)
{
    Layout l;
    l.monitors = monitors;
    l.mouse.position = position;
    l.mouse.hasPosition = true;
    return l;
}

// What the model's problems say, as "entry:field" words, in order.
QStringList keys(const char *words)
{
    return QString::fromLatin1(words).split(QLatin1Char(' '));
}

QStringList problemKeys(const LayoutModel &model)
{
    QStringList out;
    for (const SwitchLayout::Problem &p : model.problems())
        out << QStringLiteral("%1:%2").arg(p.entry).arg(p.field);
    return out;
}
} // namespace

class TestLayoutModel : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;

    int ctl(const QString &line, QString *output = nullptr)
    {
        QString out, err;
        QTextStream o(&out), e(&err);
        const int code = SpanlinkCtl::run((QStringLiteral("spanlinkctl ") + line).split(QLatin1Char(' ')), o, e);
        o.flush();
        e.flush();
        if (output)
            *output = out + err;
        return code;
    }

private slots:
    void init() { VirtualHid::reset(); }

    // Every edit, then undo back to the start and redo forward to the edit again.
    void edits_data()
    {
        QTest::addColumn<QString>("edit");
        QTest::addColumn<bool>("done");
        QTest::addColumn<Monitors>("after");
        Monitors moved = s_start;
        moved[2].row = 2;
        moved[2].col = 2;
        Monitors added = s_start;
        added.append({2, 2, 3, 1, 800, 600});
        Monitors removed = s_start;
        removed.remove(1);
        Monitors resized = s_start;
        resized[0].width = 3840;
        resized[0].height = 2160;
        QTest::newRow("move") << "move 2 2 2" << true << moved;
        QTest::newRow("move to its own cell") << "move 2 2 1" << false << s_start;
        QTest::newRow("move off the grid") << "move 0 0 1" << false << s_start;
        QTest::newRow("move past column 16") << "move 0 1 17" << false << s_start;
        QTest::newRow("move a monitor not there") << "move 3 1 5" << false << s_start;
        QTest::newRow("add, next number of its port") << "add 2 3 1 800 600" << true << added;
        QTest::newRow("add to port 9") << "add 9 3 1 800 600" << false << s_start;
        QTest::newRow("add without a width") << "add 2 3 1 0 600" << false << s_start;
        QTest::newRow("add 199 high") << "add 2 3 1 800 199" << false << s_start;
        QTest::newRow("remove") << "remove 1" << true << removed;
        QTest::newRow("remove a monitor not there") << "remove 3" << false << s_start;
        QTest::newRow("resize") << "resize 0 3840 2160" << true << resized;
        QTest::newRow("resize to its own size") << "resize 0 1920 1080" << false << s_start;
        QTest::newRow("resize past 65535") << "resize 0 65536 1080" << false << s_start;
        QTest::newRow("resize below the smallest monitor") << "resize 0 319 1080" << false << s_start;
        Monitors smallest = s_start;
        smallest[0].width = 320;
        smallest[0].height = 200;
        QTest::newRow("resize to the smallest monitor") << "resize 0 320 200" << true << smallest;
    }
    void edits()
    {
        QFETCH(QString, edit);
        QFETCH(bool, done);
        QFETCH(Monitors, after);
        LayoutModel model;
        model.setLayout(layoutOf(s_start));
        const QStringList w = edit.split(QLatin1Char(' '));
        const auto n = [&](int i) {
            return w.at(i).toInt();
        };
        bool result = false;
        if (w.at(0) == QLatin1String("move"))
            result = model.moveTo(n(1), n(2), n(3));
        else if (w.at(0) == QLatin1String("add"))
            result = model.addMonitor(n(1), n(2), n(3), n(4), n(5)) >= 0;
        else if (w.at(0) == QLatin1String("remove"))
            result = model.removeMonitor(n(1));
        else if (w.at(0) == QLatin1String("resize"))
            result = model.resize(n(1), n(2), n(3));
        QCOMPARE(result, done);
        QCOMPARE(model.layout().monitors, after);
        QCOMPARE(model.rowCount(), after.size());
        QCOMPARE(model.canRedo(), false);
        model.undo();
        QCOMPARE(model.layout().monitors, s_start);
        QVERIFY(!model.canUndo());
        QVERIFY(!model.modified());
        QCOMPARE(model.canRedo(), done);
        model.redo();
        QCOMPARE(model.layout().monitors, after);
        QCOMPARE(model.modified(), done);
    }

    // A run of edits undone one by one, and a new edit after undo drops the redo.
    void undoHistory()
    {
        LayoutModel model;
        model.setLayout(layoutOf(s_start));
        QVERIFY(model.moveTo(2, 3, 1));
        QVERIFY(model.moveTo(2, 3, 2));
        model.setMousePosition(4);
        QCOMPARE(model.mousePosition(), 4);
        QCOMPARE(model.undoText(), QStringLiteral("mouse position 4"));
        model.undo();
        QCOMPARE(model.mousePosition(), 0);
        model.undo();
        QCOMPARE(model.layout().monitors.at(2).col, 1);
        QCOMPARE(model.layout().monitors.at(2).row, 3);
        QVERIFY(model.moveTo(1, 1, 3));
        QVERIFY(!model.canRedo());
        model.undo();
        model.undo();
        QCOMPARE(model.layout().monitors, s_start);
        QVERIFY(!model.canUndo());
    }

    // Each kind of problem, on the monitors it concerns, as soon as an edit makes it; Upload is
    // offered only without any.
    void checks_data()
    {
        QTest::addColumn<Monitors>("monitors");
        QTest::addColumn<QStringList>("problems");
        QTest::addColumn<QString>("firstText");
        QTest::newRow("none") << s_start << QStringList() << QString();
        Monitors same = s_start;
        same[2].row = 1; // onto port 1's first monitor
        QTest::newRow("two in one cell") << same << keys("2:cell 0:cell")
                                         << "port 2, monitor 1: row 1 column 1 also holds port 1, monitor 1";
        Monitors outside = s_start;
        outside[2].row = 17;
        QTest::newRow("outside the grid")
            << outside << keys("2:cell") << "port 2, monitor 1: row 17 column 1 lies outside the 16 by 16 grid";
        Monitors port9 = s_start;
        port9[2].port = 9;
        QTest::newRow("port 9") << port9 << keys("2:port")
                                << "port 9, monitor 1: port 9 does not exist: ports are 1 to 8";
        Monitors apart = s_start;
        apart[1].col = 3; // a gap between port 1's two monitors
        QTest::newRow("not touching") << apart << keys("1:touch")
                                      << "port 1, monitor 2: does not touch the other monitors of port 1";
        Monitors diagonal = s_start;
        diagonal[1].row = 2;
        diagonal[1].col = 2;
        QTest::newRow("corners only") << diagonal << keys("1:touch")
                                      << "port 1, monitor 2: does not touch the other monitors of port 1";
        Monitors bigger = s_start; // three against one: the one is reported
        bigger.append({1, 3, 1, 3, 800, 600});
        bigger.append({1, 4, 2, 3, 800, 600});
        bigger[0].col = 5;
        QTest::newRow("the smaller group")
            << bigger << keys("0:touch") << "port 1, monitor 1: does not touch the other monitors of port 1";
        Monitors size0 = s_start;
        size0[0].height = 0;
        QTest::newRow("no height") << size0 << keys("0:size")
                                   << "port 1, monitor 1: size 1920 by 0, must be 320 to 65535 by 200 to 65535";
    }
    void checks()
    {
        QFETCH(Monitors, monitors);
        QFETCH(QStringList, problems);
        QFETCH(QString, firstText);
        LayoutModel model;
        QSignalSpy changed(&model, &LayoutModel::contentChanged);
        model.setLayout(layoutOf(s_start));
        model.setLayout(layoutOf(monitors));
        QCOMPARE(changed.count(), 2);
        QCOMPARE(problemKeys(model), problems);
        QCOMPARE(model.valid(), problems.isEmpty());
        QCOMPARE(model.problemTexts().value(0), firstText);
        // The tile says it too, to the eye and to a screen reader.
        for (const SwitchLayout::Problem &p : model.problems()) {
            const QModelIndex i = model.index(p.entry);
            QVERIFY(model.data(i, LayoutModel::ProblemRole).toString().contains(p.text));
            QVERIFY(model.data(i, LayoutModel::AccessibleNameRole)
                        .toString()
                        .contains(QStringLiteral("problem: ") + p.text));
        }
        if (!problems.isEmpty()) {
            QVERIFY(model.upload().startsWith(QStringLiteral("not uploaded: ")));
            QCOMPARE(VirtualHid::sentFrames().size(), 0);
        }
        model.setLayout(layoutOf(s_start));
        QVERIFY(model.valid());
        QCOMPARE(model.data(model.index(0), LayoutModel::ProblemRole).toString(), QString());
    }

    void accessibleName()
    {
        LayoutModel model;
        model.setLayout(layoutOf({{2, 1, 3, 4, 1920, 1080}}));
        QCOMPARE(model.data(model.index(0), LayoutModel::AccessibleNameRole).toString(),
            QStringLiteral("port 2, monitor 1, 1920 by 1080, row 3 column 4"));
    }

    // This computer's screens replace its port's monitors, from the chosen cell on.
    void detect_data()
    {
        QTest::addColumn<QVector<QRect>>("screens");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("col");
        QTest::addColumn<Monitors>("after");
        QTest::addColumn<QString>("message");
        const Monitor port2 = s_start.at(2);
        QTest::newRow("two side by side for port 1")
            << QVector<QRect> {{0, 0, 1920, 1080}, {1920, 0, 1920, 1080}} << 1 << 1 << 3
            << Monitors {port2, {1, 1, 1, 3, 1920, 1080}, {1, 2, 1, 4, 1920, 1080}} << QString();
        QTest::newRow("one above the other for port 3")
            << QVector<QRect> {{0, 1080, 1920, 1080}, {0, 0, 1920, 1080}} << 3 << 3 << 1
            << (s_start + Monitors {{3, 1, 3, 1, 1920, 1080}, {3, 2, 4, 1, 1920, 1080}}) << QString();
        QTest::newRow("a narrower second screen, beside it")
            << QVector<QRect> {{0, 0, 1280, 1024}, {1280, 0, 1024, 768}} << 2 << 2 << 1
            << Monitors {s_start.at(0), s_start.at(1), {2, 1, 2, 1, 1280, 1024}, {2, 2, 2, 2, 1024, 768}} << QString();
        QTest::newRow("mirrored, the second beside")
            << QVector<QRect> {{0, 0, 800, 600}, {0, 0, 800, 600}} << 4 << 5 << 5
            << (s_start + Monitors {{4, 1, 5, 5, 800, 600}, {4, 2, 5, 6, 800, 600}})
            << "screen 2 (800x600 at 0,0) shares its cell with another: placed in the nearest free cell, 5,6";
        QTest::newRow("past the grid") << QVector<QRect> {{0, 0, 800, 600}, {800, 0, 800, 600}} << 2 << 1 << 16
                                       << s_start << "would lie in cell 1,17, outside the 16 x 16 grid";
        QTest::newRow("no screens") << QVector<QRect> {} << 2 << 1 << 1 << s_start << "the desktop reports no screens";
        QTest::newRow("port 0") << QVector<QRect> {{0, 0, 800, 600}} << 0 << 1 << 1 << s_start
                                << "port 0 at row 1 column 1 is not a place in the grid";
    }
    void detect()
    {
        QFETCH(QVector<QRect>, screens);
        QFETCH(int, port);
        QFETCH(int, row);
        QFETCH(int, col);
        QFETCH(Monitors, after);
        QFETCH(QString, message);
        LayoutModel model;
        model.setLayout(layoutOf(s_start));
        const QString result = model.placeScreens(screens, port, row, col);
        QVERIFY2(message.isEmpty() ? result.isEmpty() : result.contains(message), qPrintable(result));
        QCOMPARE(model.layout().monitors, after);
        if (after != s_start) {
            model.undo();
            QCOMPARE(model.layout().monitors, s_start);
        }
    }

    // Files go both ways between the two tools, and a file spanlinkctl refuses is refused here too.
    void filesWithSpanlinkctl()
    {
        VirtualHid::model().monitors = {{3, 1, 4, 4, 1024, 768}, {3, 2, 4, 5, 800, 600}};
        VirtualHid::model().mousePosition = 3;
        QString out;
        QCOMPARE(ctl(QStringLiteral("layout --json"), &out), 0);
        const QString fromCtl = m_tmp.filePath(QStringLiteral("ctl.json"));
        QFile f(fromCtl);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(out.toUtf8()) > 0);
        f.close();

        LayoutModel model;
        QCOMPARE(model.open(fromCtl), QString());
        QCOMPARE(model.layout().monitors, (Monitors {{3, 1, 4, 4, 1024, 768}, {3, 2, 4, 5, 800, 600}}));
        QCOMPARE(model.mousePosition(), 3);
        QVERIFY(!model.modified());
        QVERIFY(model.moveTo(1, 5, 4));
        QVERIFY(model.modified());
        const QString fromSetup = m_tmp.filePath(QStringLiteral("setup.json"));
        QCOMPARE(model.save(fromSetup), QString());
        QVERIFY(!model.modified());
        QCOMPARE(ctl(QStringLiteral("layout load ") + fromSetup, &out), 0);
        QCOMPARE(VirtualHid::model().monitors,
            (QVector<SwitchModel::MonitorEntry> {{3, 1, 4, 4, 1024, 768}, {3, 2, 5, 4, 800, 600}}));

        // Port 3's two monitors apart: a problem here, a warning from spanlinkctl.
        QVERIFY(model.moveTo(1, 6, 4));
        QCOMPARE(problemKeys(model), keys("1:touch"));
        QCOMPARE(model.save(fromSetup), QString());
        QCOMPARE(ctl(QStringLiteral("layout load ") + fromSetup, &out), 0);
        QVERIFY2(out.contains(QLatin1String("warning: monitor entry 2: does not touch the other monitors of port 3")),
            qPrintable(out));

        // A file that is no layout leaves the picture as it was.
        QFile bad(m_tmp.filePath(QStringLiteral("bad.json")));
        QVERIFY(bad.open(QIODevice::WriteOnly) && bad.write(R"({"monitors": [{"port": 1}]})") > 0);
        bad.close();
        const Monitors before = model.layout().monitors;
        QVERIFY(model.open(bad.fileName()).contains(QStringLiteral("monitor entry 1: \"index\" is missing")));
        QCOMPARE(model.layout().monitors, before);
        QVERIFY(model.open(m_tmp.filePath(QStringLiteral("none.json"))).startsWith(QStringLiteral("cannot read ")));
#ifdef Q_OS_UNIX
        // A FIFO would block the GUI waiting for a writer: refused at once, like spanlinkctl does.
        const QString fifo = m_tmp.filePath(QStringLiteral("fifo.json"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QVERIFY(model.open(fifo).endsWith(QLatin1String(": not a regular file")));
        QCOMPARE(model.layout().monitors, before);
#endif
    }

    // The switch read, uploaded to and read back; a refusing or silent switch names the frame
    // and leaves the picture as it was.
    void withTheSwitch_data()
    {
        QTest::addColumn<int>("reportId"); // refused, or when negative, not answered; 0: no fault
        QTest::addColumn<int>("skip");
        QTest::addColumn<QString>("message");
        QTest::newRow("accepted") << 0 << 0 << QString();
        QTest::newRow("opening refused") << 0x42 << 0 << "the switch refused frame 1 of 5 (opening the upload)";
        QTest::newRow("second entry refused") << 0x43 << 1 << "the switch refused frame 3 of 5 (monitor entry 2)";
        QTest::newRow("second entry unanswered")
            << -0x43 << 1 << "the switch did not answer frame 3 of 5 (monitor entry 2)";
        QTest::newRow("mouse settings refused") << 0x44 << 0 << "the switch refused frame 4 of 5 (the mouse settings)";
        QTest::newRow("closing unanswered")
            << -0x45 << 0 << "the switch did not answer frame 5 of 5 (closing the upload)";
    }
    void withTheSwitch()
    {
        QFETCH(int, reportId);
        QFETCH(int, skip);
        QFETCH(QString, message);
        VirtualHid::model().monitors = {{1, 1, 1, 1, 1920, 1080}, {2, 1, 1, 2, 1280, 1024}};
        VirtualHid::model().presentMask = 0x05;
        VirtualHid::model().cyclicSwitch = 1;
        LayoutModel model;
        QCOMPARE(model.readSwitch(), QString());
        QVERIFY(model.connected());
        QCOMPARE(model.thisPort(), 1);
        QVERIFY(model.portPresent(1) && !model.portPresent(2) && model.portPresent(3));
        QVERIFY(model.wrapAround());
        QCOMPARE(model.layout().monitors, (Monitors {{1, 1, 1, 1, 1920, 1080}, {2, 1, 1, 2, 1280, 1024}}));
        QVERIFY(model.moveTo(1, 2, 1));
        const Monitors edited = model.layout().monitors;
        if (reportId > 0)
            VirtualHid::refuseNextWithId(reportId, skip);
        else if (reportId < 0)
            VirtualHid::failNextSend(-reportId, skip);
        QList<int> frames; // each announced before it goes, then 0 when the upload is over
        connect(&model, &LayoutModel::uploadProgressChanged, this, [&] {
            frames << model.uploadFrame();
            QVERIFY(model.uploadFrames() == 5 || model.uploadFrame() == 0);
        });
        const QString result = model.upload();
        QVERIFY2(result.contains(message), qPrintable(result));
        QCOMPARE(model.layout().monitors, edited);
        const bool uploaded = message.isEmpty();
        QVERIFY2(uploaded == result.isEmpty(), qPrintable(result));
        QCOMPARE(model.modified(), !uploaded);
        QCOMPARE(VirtualHid::model().monitors.size() == 2 && VirtualHid::model().monitors.at(1).row == 2, uploaded);
        const int reached
            = uploaded ? 5 : QRegularExpression(QStringLiteral("frame (\\d)")).match(result).captured(1).toInt();
        QList<int> expected;
        for (int f = 1; f <= reached; ++f)
            expected << f;
        QCOMPARE(frames, expected << 0);
    }

    // A switch pulled out during the session and put back: the next upload reaches it.
    void replugged()
    {
        VirtualHid::model().monitors = {{1, 1, 1, 1, 1920, 1080}};
        LayoutModel model;
        QCOMPARE(model.readSwitch(), QString());
        QVERIFY(model.moveTo(0, 2, 2));
        VirtualHid::unplug();
        QVERIFY(model.upload().contains(QLatin1String("did not answer frame 1 of 4 (opening the upload)")));
        QVERIFY(!model.connected());
        VirtualHid::plug();
        QCOMPARE(model.upload(), QString());
        QVERIFY(model.connected());
        QCOMPARE(VirtualHid::model().monitors, (QVector<SwitchModel::MonitorEntry> {{1, 1, 2, 2, 1920, 1080}}));
    }
};

QTEST_GUILESS_MAIN(TestLayoutModel)
#include "tst_layoutmodel.moc"
