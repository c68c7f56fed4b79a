#include "monitorlogic.h"

#include <QtTest>

using namespace MonitorLogic;

namespace
{
// A 1920 x 1080 monitor in cell (1, col) of a computer whose origin is (1, 1).
OwnCell monitorAt(int col)
{
    const int c = col - 1;
    return makeOwnCell(1, 1, col, 1920, 1080, c * 1920, 0, (c + 1) * 1920, 1080, 1, 1);
}

QList<Cell> visited(int code, Cell from, bool cyclic)
{
    QList<Cell> cells;
    walk(code, from, cyclic, [&](Cell c) {
        cells.append(c);
        return false;
    });
    return cells;
}

QList<Cell> line(Cell start, int dRow, int dCol, int n)
{
    QList<Cell> cells;
    for (int i = 0; i < n; ++i)
        cells.append({start.row + i * dRow, start.col + i * dCol});
    return cells;
}
} // namespace

namespace QTest
{
template <> char *toString(const MonitorLogic::Cell &c)
{
    return qstrdup(QByteArray("(" + QByteArray::number(c.row) + ", " + QByteArray::number(c.col) + ")").constData());
}
} // namespace QTest

class TestMonitorLogic : public QObject
{
    Q_OBJECT

private slots:
    void bands_data()
    {
        QTest::addColumn<int>("col");
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("y");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("percent");

        QTest::newRow("inside") << 1 << 960 << 540 << 0 << 0;
        QTest::newRow("desktop corner") << 1 << 0 << 0 << 1 << 0;
        QTest::newRow("past the desktop corner") << 1 << -40 << -3 << 1 << 0;
        QTest::newRow("X <= 0 on a monitor that is not leftmost") << 2 << 0 << 0 << 1 << 0;
        QTest::newRow("left corner band top") << 1 << 3 << 10 << 1 << 0;
        QTest::newRow("left edge, first middle row") << 1 << 3 << 11 << 2 << 1;
        QTest::newRow("left edge band, outer bound") << 1 << 5 << 540 << 2 << 50;
        QTest::newRow("left, outside the edge band") << 1 << 6 << 540 << 0 << 0;
        QTest::newRow("7 px in, 40 px down") << 1 << 7 << 40 << 0 << 0;
        QTest::newRow("left past the desktop") << 1 << -50 << 500 << 2 << 46;
        QTest::newRow("lower-left corner") << 1 << 3 << 1070 << 3 << 0;
        QTest::newRow("left edge, last middle row") << 1 << 3 << 1069 << 2 << 98;
        QTest::newRow("top edge") << 1 << 960 << 0 << 4 << 50;
        QTest::newRow("top edge band, inner bound") << 1 << 960 << 5 << 4 << 50;
        QTest::newRow("below the top edge band") << 1 << 960 << 6 << 0 << 0;
        QTest::newRow("bottom edge") << 1 << 960 << 1076 << 5 << 50;
        QTest::newRow("far below") << 1 << 480 << 5000 << 5 << 25;
        QTest::newRow("upper-right corner") << 1 << 1920 << 5 << 6 << 0;
        QTest::newRow("worked example") << 1 << 1917 << 300 << 7 << 27;
        QTest::newRow("right edge, no outer bound") << 1 << 5000 << 300 << 7 << 27;
        QTest::newRow("right of the corner band") << 1 << 1921 << 5 << 0 << 0;
        QTest::newRow("lower-right corner") << 1 << 1920 << 1075 << 8 << 0;
        QTest::newRow("second monitor's left edge") << 2 << 1922 << 500 << 2 << 46;
        QTest::newRow("second monitor's top edge") << 2 << 2880 << 0 << 4 << 50;
    }

    void bands()
    {
        QFETCH(int, col);
        QFETCH(int, x);
        QFETCH(int, y);
        const Band band = classify(x, y, monitorAt(col), 5, 10);
        QTEST(band.code, "code");
        QTEST(band.percent, "percent");
    }

    void sizeZeroGivesPercentZero()
    {
        // Extents that disagree with a size of 0: the percentage must not divide by it.
        OwnCell m = monitorAt(1);
        m.width = m.height = 0;
        for (const QPoint p : {QPoint(960, 0), QPoint(1917, 300)}) {
            const Band band = classify(p.x(), p.y(), m, 5, 10);
            QCOMPARE(band.code, p.y() ? 7 : 4);
            QCOMPARE(band.percent, 0);
        }
    }

    void walks()
    {
        // From column 1 to the left: on at column 16 when wrapping, nowhere without.
        QCOMPARE(visited(2, {3, 1}, false), QList<Cell>());
        QCOMPARE(visited(2, {3, 1}, true), line({3, 16}, 0, -1, 16));

        QCOMPARE(visited(7, {3, 16}, true).value(0), Cell({3, 1}));
        QCOMPARE(visited(4, {1, 5}, true).value(0), Cell({16, 5}));
        QCOMPARE(visited(5, {16, 5}, true).value(0), Cell({1, 5}));

        // Without wrapping the walk runs to the grid's end and stops.
        QCOMPARE(visited(7, {3, 12}, false), line({3, 13}, 0, 1, 4));

        // The first qualifying cell wins.
        const auto found = walk(7, {2, 2}, false, [](Cell c) { return c.col >= 5; });
        QVERIFY(found);
        QCOMPARE(*found, Cell({2, 5}));

        // Upper-left corner of (1, 1): the whole main diagonal from (16, 16) back to (1, 1).
        QCOMPARE(visited(1, {1, 1}, false), QList<Cell>());
        QCOMPARE(visited(1, {1, 1}, true), line({16, 16}, -1, -1, 16));
        // Lower-left corner of (1, 1): a diagonal of one cell, which is (1, 1) itself.
        QCOMPARE(visited(3, {1, 1}, true), QList<Cell>({{1, 1}}));
        QCOMPARE(visited(8, {16, 16}, true), line({1, 1}, 1, 1, 16));

        // Off the main diagonal: D = 2 has 14 cells.
        QCOMPARE(visited(8, {5, 3}, true), line({6, 4}, 1, 1, 11) + line({3, 1}, 1, 1, 3));
        QCOMPARE(visited(1, {3, 5}, true), line({2, 4}, -1, -1, 2) + line({14, 16}, -1, -1, 12));

        // Anti-diagonals on both sides of the middle.
        QCOMPARE(visited(6, {5, 3}, true), line({4, 4}, -1, 1, 4) + line({7, 1}, -1, 1, 3));
        QCOMPARE(visited(3, {16, 10}, true), line({10, 16}, 1, -1, 7));
        QCOMPARE(visited(6, {16, 10}, false), line({15, 11}, -1, 1, 6));

        // A cell outside the grid makes no step.
        QCOMPARE(visited(1, {20, 1}, true), QList<Cell>());
    }

    void parkingPoints_data()
    {
        QTest::addColumn<int>("setting");
        QTest::addColumn<int>("col");
        QTest::addColumn<QPoint>("park");
        QTest::newRow("0") << 0 << 1 << QPoint(1907, 1067);
        QTest::newRow("1") << 1 << 1 << QPoint(13, 13);
        QTest::newRow("2") << 2 << 1 << QPoint(1907, 13);
        QTest::newRow("3") << 3 << 1 << QPoint(13, 1067);
        QTest::newRow("4") << 4 << 1 << QPoint(1907, 1067);
        QTest::newRow("5") << 5 << 1 << QPoint(960, 540);
        QTest::newRow("7") << 7 << 1 << QPoint(1907, 1067);
        QTest::newRow("1, second monitor") << 1 << 2 << QPoint(1933, 13);
        QTest::newRow("5, second monitor") << 5 << 2 << QPoint(2880, 540);
    }

    void parkingPoints()
    {
        QFETCH(int, setting);
        QFETCH(int, col);
        QTEST(parkingPoint(setting, monitorAt(col), 10), "park");
    }

    void placements_data()
    {
        QTest::addColumn<int>("direction");
        QTest::addColumn<int>("percent");
        QTest::addColumn<int>("c");
        QTest::addColumn<QPoint>("pos");
        // Entered monitor one column right of the origin, 1920 x 1080.
        QTest::newRow("1") << 1 << 50 << 1 << QPoint(3827, 1067);
        QTest::newRow("2") << 2 << 50 << 1 << QPoint(3832, 540);
        QTest::newRow("3") << 3 << 50 << 1 << QPoint(3827, 13);
        QTest::newRow("4") << 4 << 50 << 1 << QPoint(2880, 1072);
        QTest::newRow("5") << 5 << 50 << 1 << QPoint(2880, 8);
        QTest::newRow("6") << 6 << 50 << 1 << QPoint(1933, 1067);
        QTest::newRow("7") << 7 << 50 << 1 << QPoint(1928, 540);
        QTest::newRow("8") << 8 << 50 << 1 << QPoint(1933, 13);
        QTest::newRow("0") << 0 << 50 << 1 << QPoint(0, 0);
        QTest::newRow("9") << 9 << 50 << 1 << QPoint(0, 0);
        QTest::newRow("4 at 100 percent") << 4 << 100 << 1 << QPoint(3840, 1072);
        QTest::newRow("left of the origin") << 7 << 0 << -1 << QPoint(-1912, 0);
        QTest::newRow("1 on the origin") << 1 << 0 << 0 << QPoint(1907, 1067);
    }

    void placements()
    {
        QFETCH(int, direction);
        QFETCH(int, percent);
        QFETCH(int, c);
        QTEST(placement(direction, percent, 0, c, 1920, 1080, 5, 10), "pos");
    }

    void speed()
    {
        SpeedMeter meter;
        QCOMPARE(meter.take(100), 0.0);

        meter.add(1000, {500, 500});
        QCOMPARE(meter.take(100), 0.0);

        meter.add(1000, {0, 0});
        meter.add(1040, {30, 40});
        QCOMPARE(meter.take(100), 0.5);
        // Each take starts a new period.
        QCOMPARE(meter.take(100), 0.0);

        // Two samples in one millisecond: the later one counts.
        meter.add(2000, {0, 0});
        meter.add(2001, {900, 900});
        meter.add(2001, {30, 40});
        QCOMPARE(meter.count(), 2);
        QCOMPARE(meter.take(100), 0.5);

        meter.add(3000, {900, 900});
        meter.add(3000, {0, 0});
        meter.add(3050, {30, 40});
        QCOMPARE(meter.take(100), 0.5);

        // Only the first and the last position matter, not the path between.
        meter.add(4000, {0, 0});
        meter.add(4010, {1000, 0});
        meter.add(4020, {0, 39});
        QCOMPARE(meter.take(100), 0.39);
    }

    void truncation()
    {
        QCOMPARE(truncToInt(27.9), 27);
        QCOMPARE(truncToInt(-0.5), 0);
        QCOMPARE(truncToInt(-1.5), -1);
        QCOMPARE(truncToInt(std::numeric_limits<double>::quiet_NaN()), 0);
        QCOMPARE(truncToInt(1e20), std::numeric_limits<int>::max());
        QCOMPARE(truncToInt(-std::numeric_limits<double>::infinity()), std::numeric_limits<int>::min());
    }
};

QTEST_GUILESS_MAIN(TestMonitorLogic)
#include "tst_monitorlogic.moc"
