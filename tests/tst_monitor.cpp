// The switching engine: its decisions as plain functions, then the engine over the virtual switch.

#include "enginefixture.h"
#include "messagelog.h"
#include "platform/null/nullinputhooks.h"

#include <QCursor>
#include <QGuiApplication>
#include <QtTest>

#include <climits>
#include <numeric>

// Hooks that install nothing, count removals and pass events on with 42: "passed on", not "swallowed".
struct FakeInputHooks : InputHooks {
    HookHandle installMouseHook(Procedure) override { return fail ? nullptr : HookHandle(&fail); }
    HookHandle installKeyboardHook(Procedure) override { return fail ? nullptr : HookHandle(&uninstalled); }
    void uninstall(HookHandle) override { ++uninstalled; }
    std::intptr_t callNext(int, std::uintptr_t, std::intptr_t) override { return 42; }
    bool fail = false;
    int uninstalled = 0;
};
constexpr std::intptr_t PassedOn = 42;

using namespace MonitorLogic;
using Entries = QVector<SwitchModel::MonitorEntry>;
using Rects = QVector<QRect>;
Q_DECLARE_METATYPE(SwitchModel::MonitorEntry)

QStringList texts(const std::vector<const char *> &items)
{
    QStringList out;
    for (const char *item : items)
        out << QString::fromUtf8(item);
    return out;
}

// A data table of one column, "case", whose rows are `Case`s; a case's row is fetched by fetch().
template <typename Case> void table(std::initializer_list<std::pair<const char *, Case>> rows)
{
    QTest::addColumn<Case>("case");
    for (const auto &[name, row] : rows)
        QTest::newRow(name) << row;
}
template <typename Case> const Case &fetch()
{
    return *static_cast<const Case *>(QTest::qData("case", qMetaTypeId<Case>()));
}

struct BandCase {
    int col, width;
    QPoint at;
    int code, percent;
};
struct ParkingCase {
    int col, setting; // the monitor in cell (1, col), the switch's setting
    QPoint point;
};
struct SessionCase {
    const char *variable, *value; // set in the environment, if any
    bool wayland; // the note says so
};
struct ArrivalPointCase {
    int direction, percent, col;
    QPoint point;
};
struct WalkCase {
    int code;
    QPoint from; // row, column
    bool cyclic;
    int count;
    QPoint first, last;
};
struct PlacementCase {
    Entries monitors;
    Rects screens;
    QString placed; // the log's word on it, if any
    QPoint origin; // row, column of our first monitor in the switch's list
    std::vector<const char *> own, ports;
};
struct CrossingCase {
    Entries monitors;
    Rects screens;
    int absentPort;
    bool wrapAround;
    QVector<QPoint> path;
    QPoint push;
    std::vector<const char *> sent;
};
struct ArrivalCase {
    Entries monitors;
    Rects screens;
    int row, col, direction, percent; // the switch's word of where the pointer enters
    QPoint at;
    QRect frame;
    QVector<QPoint> path = {}; // moves after it, passed on
    QPoint push = {};
    const char *sent = nullptr;
    QPoint parked = {};
};
struct LayoutChangeCase {
    Entries before, after;
    bool here; // uploaded by this computer's own connection
    int beats; // heartbeats until the new layout is in force
    QPoint push;
    const char *sent;
};
Q_DECLARE_METATYPE(BandCase)
Q_DECLARE_METATYPE(ParkingCase)
Q_DECLARE_METATYPE(SessionCase)
Q_DECLARE_METATYPE(ArrivalPointCase)
Q_DECLARE_METATYPE(WalkCase)
Q_DECLARE_METATYPE(PlacementCase)
Q_DECLARE_METATYPE(CrossingCase)
Q_DECLARE_METATYPE(ArrivalCase)
Q_DECLARE_METATYPE(LayoutChangeCase)

// A 1920 x 1080 monitor in cell (1, col) of a computer whose origin is (1, 1).
OwnCell monitorAt(int col, int width = 1920)
{
    return makeOwnCell(1, 1, col, QRect((col - 1) * 1920, 0, width, 1080));
}

// The engine's clock in tests: a millisecond further at every look, so that moves one after another are a
// millisecond apart; after() puts time in between.
std::int64_t s_now = 1000;
std::int64_t testClock()
{
    return s_now++;
}
void after(int msec)
{
    s_now += msec;
}

// What the hook procedures leave for the event loop is done right after the event, as the loop would.
void settle()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
}
std::intptr_t move(int x, int y)
{
    const std::intptr_t r = moveTo(x, y);
    settle();
    return r;
}
std::intptr_t button(std::uintptr_t message)
{
    const std::intptr_t r = pointerEvent(message, 1000, 500);
    settle();
    return r;
}
std::intptr_t key(std::uint32_t vk, std::uintptr_t message = HookMessage::KeyDown)
{
    const std::intptr_t r = keyEvent(message, vk);
    settle();
    return r;
}

class TestMonitor : public QObject
{
    Q_OBJECT

    FakeInputHooks m_hooks;
    std::optional<MessageLog> m_log;
    Monitor *e = nullptr;
    std::optional<QSignalSpy> m_changed;

    // The engine, this computer on port 1 with the focus, over `monitors` (numbered in order); the desktop's
    // screens are `screens`, or where the layout puts our monitors when there are none.
    Monitor *setUp(Entries monitors, Rects screens = {}, quint8 presentMask = 0xFF)
    {
        for (int i = 0; i < monitors.size(); ++i)
            monitors[i].monitorIndex = i + 1;
        e = setUpEngine(monitors, 1, presentMask, 4, screens.isEmpty() ? std::nullopt : std::optional(screens));
        e->m_clock = &testClock;
        m_changed.emplace(e, &Monitor::monitorChanged);
        return e;
    }
    // The log's lines that match, then a clean log.
    QStringList takeLog(const QString &pattern)
    {
        const QStringList lines = m_log->lines().filter(QRegularExpression(pattern));
        m_log->clear();
        return lines;
    }
    QStringList takeFailures() { return takeLog(QStringLiteral("(?i)fail")); }
    int takeSwitchCommandsLogged() { return int(takeLog(QStringLiteral("^postSwitchCmd")).size()); }
    int takeSignals()
    {
        const int n = int(m_changed->size());
        m_changed->clear();
        return n;
    }
    // The highlight rectangle and its "switchport" mark.
    std::pair<QRect, int> frame() const
    {
        const auto v = [this](const char *key) {
            return e->m_frameInfo.value(QLatin1String(key)).toInt();
        };
        return {QRect(v("x"), v("y"), v("width"), v("height")), v("switchport")};
    }
    // The switch's word of where the pointer enters (row, column, direction, percent); then the arrival.
    void mouseStatus(int row, int col, int direction, int percent)
    {
        VirtualHid::model().mouseStatus = {1, row, col, direction, percent};
    }
    void arrive(int row, int col, int direction, int percent)
    {
        mouseStatus(row, col, direction, percent);
        e->getMouseData();
        settle();
    }
    // The switch has handed the focus to another port and back to ours: an arrival is due.
    void focusElsewhere() { e->m_curPort = 2; }
    // Every own monitor as "cell: left,top right,bottom" and every monitor as "cell: port".
    QStringList ownMonitors() const
    {
        QStringList out;
        for (auto it = e->m_ownMonitors.cbegin(); it != e->m_ownMonitors.cend(); ++it) {
            const auto v = [&](const char *k) {
                return it->value(QLatin1String(k)).toInt();
            };
            out << QStringLiteral("%1: %2,%3 %4,%5")
                       .arg(it.key())
                       .arg(v("min_x"))
                       .arg(v("min_y"))
                       .arg(v("max_x"))
                       .arg(v("max_y"));
        }
        return out;
    }
    QStringList portsByCell() const
    {
        QStringList out;
        for (auto it = e->m_allMonitors.cbegin(); it != e->m_allMonitors.cend(); ++it)
            out << it.key() + QStringLiteral(": ") + it->value(QStringLiteral("portNum")).toString();
        return out;
    }
    // Moves `dx`, `dy` apart, `msApart` ms apart, from where the pointer is: at which move the pointer was held,
    // 0 for none.
    int slide(int dx, int dy, int moves, int msApart)
    {
        const QPoint from = e->m_lastPointer.value_or(QPoint());
        for (int i = 1; i <= moves; ++i) {
            after(msApart - 1);
            if (move(from.x() + i * dx, from.y() + i * dy) == Swallowed)
                return i;
        }
        return 0;
    }
    // Moves that the hooks pass on, every one of them.
    bool passedOn(const QVector<QPoint> &path)
    {
        for (const QPoint &p : path) {
            if (move(p.x(), p.y()) != PassedOn) {
                qWarning("swallowed: %d,%d", p.x(), p.y());
                return false;
            }
        }
        return true;
    }
    void heartBeat()
    {
        e->m_device.heartBeat();
        settle();
    }
    // Pushed across, the pointer is parked and the switch asked; this port keeps the focus in the tests.
    void focusBackHere()
    {
        e->m_curPort = 1;
        e->m_switchPending = 0;
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init()
    {
        m_hooks = {};
        InputHooks::setInstance(&m_hooks);
        m_log.emplace();
    }
    void cleanup()
    {
        InputHooks::setInstance(nullptr);
        QTest::qWait(60); // no single-shot of one case may end the pending switch of the next
        Monitor::getInstance()->m_switchPending = 0;
        // A connect's heartbeat would ask the switch during the cases after this one.
        if (QTimer *beat = Monitor::getInstance()->m_device.m_heartBeatTimer)
            beat->stop();
        m_changed.reset();
        m_log.reset();
    }

    // Edge bands of a monitor: direction code and percent along the edge; a monitor of width 0 has none.
    void bands_data()
    {
        table<BandCase>({{"middle", {1, 1920, {960, 540}, 0, 0}}, {"upper-left corner", {1, 1920, {0, 0}, 1, 0}},
            {"beyond the upper-left", {1, 1920, {-40, -3}, 1, 0}}, {"corner rows end", {1, 1920, {3, 10}, 1, 0}},
            {"left edge starts", {1, 1920, {3, 11}, 2, 1}}, {"left edge", {1, 1920, {5, 540}, 2, 50}},
            {"left band ends", {1, 1920, {6, 540}, 0, 0}}, {"inside near the top", {1, 1920, {7, 40}, 0, 0}},
            {"beyond the left edge", {1, 1920, {-50, 500}, 2, 46}}, {"lower-left corner", {1, 1920, {3, 1070}, 3, 0}},
            {"left edge ends", {1, 1920, {3, 1069}, 2, 98}}, {"top edge", {1, 1920, {960, 0}, 4, 50}},
            {"top band", {1, 1920, {960, 5}, 4, 50}}, {"top band ends", {1, 1920, {960, 6}, 0, 0}},
            {"bottom edge", {1, 1920, {960, 1076}, 5, 50}}, {"beyond the bottom", {1, 1920, {480, 5000}, 5, 25}},
            {"upper-right corner", {1, 1920, {1920, 5}, 6, 0}}, {"right edge", {1, 1920, {1917, 300}, 7, 27}},
            {"beyond the right edge", {1, 1920, {5000, 300}, 7, 27}},
            {"on the next monitor", {1, 1920, {1921, 5}, 0, 0}}, {"lower-right corner", {1, 1920, {1920, 1075}, 8, 0}},
            {"second: upper-left corner", {2, 1920, {0, 0}, 1, 0}},
            {"second: left edge", {2, 1920, {1922, 500}, 2, 46}}, {"second: top edge", {2, 1920, {2880, 0}, 4, 50}},
            {"width 0: top", {1, 0, {960, 0}, 0, 0}}, {"width 0: right", {1, 0, {1917, 300}, 7, 27}}});
    }
    void bands()
    {
        const BandCase &c = fetch<BandCase>();
        const Band b = classify(c.at.x(), c.at.y(), monitorAt(c.col, c.width), 5, 10);
        QCOMPARE(b.code, c.code);
        QCOMPARE(b.percent, c.percent);
    }

    // Where the pointer is parked after a switch, by the switch's setting (0 and unknown ones: lower right).
    void parkingPoints_data()
    {
        table<ParkingCase>({{"0", {1, 0, {1907, 1067}}}, {"upper left", {1, 1, {13, 13}}},
            {"upper right", {1, 2, {1907, 13}}}, {"lower left", {1, 3, {13, 1067}}},
            {"lower right", {1, 4, {1907, 1067}}}, {"centre", {1, 5, {960, 540}}}, {"unknown", {1, 7, {1907, 1067}}},
            {"second: upper left", {2, 1, {1933, 13}}}, {"second: centre", {2, 5, {2880, 540}}}});
    }
    void parkingPoints()
    {
        const auto &[col, setting, point] = fetch<ParkingCase>();
        QCOMPARE(parkingPoint(setting, monitorAt(col), 10), point);
    }

    // Where an arriving pointer is put on the monitor in column `col` (0-based, 1920 wide): the side opposite
    // the direction it left by, at its percent.
    // Where an arriving pointer is put on the monitor in column `col` (0-based, 1920 wide): the side opposite
    // the direction it left by, at its percent.
    void arrivalPoints_data()
    {
        table<ArrivalPointCase>({{"from upper left", {1, 50, 1, {3827, 1067}}},
            {"from the left", {2, 50, 1, {3832, 540}}}, {"from lower left", {3, 50, 1, {3827, 13}}},
            {"from the top", {4, 50, 1, {2880, 1072}}}, {"from the bottom", {5, 50, 1, {2880, 8}}},
            {"from upper right", {6, 50, 1, {1933, 1067}}}, {"from the right", {7, 50, 1, {1928, 540}}},
            {"from lower right", {8, 50, 1, {1933, 13}}}, {"code 0", {0, 50, 1, {0, 0}}},
            {"code 9", {9, 50, 1, {0, 0}}}, {"top, 100 %", {4, 100, 1, {3840, 1072}}},
            {"left of the origin", {7, 0, -1, {-1912, 0}}}, {"first column", {1, 0, 0, {1907, 1067}}}});
    }
    void arrivalPoints()
    {
        const ArrivalPointCase &c = fetch<ArrivalPointCase>();
        QCOMPARE(placement(c.direction, c.percent, QRect(c.col * 1920, 0, 1920, 1080), 5, 10), c.point);
    }

    // The cells a crossing looks at: along the row or column for edges, diagonally for corners; with
    // wrap-around back from the grid's far side (16 x 16).
    // The cells a crossing looks at: along the row or column for edges, diagonally for corners; with
    // wrap-around back from the grid's far side (16 x 16).
    void walks_data()
    {
        table<WalkCase>({{"left from the first column", {2, {3, 1}, false, 0, {}, {}}},
            {"left, wrapping", {2, {3, 1}, true, 16, {3, 16}, {3, 1}}},
            {"right from the last column, wrapping", {7, {3, 16}, true, 16, {3, 1}, {3, 16}}},
            {"up from the first row, wrapping", {4, {1, 5}, true, 16, {16, 5}, {1, 5}}},
            {"right to the edge", {7, {3, 12}, false, 4, {3, 13}, {3, 16}}},
            {"upper left from the corner", {1, {1, 1}, false, 0, {}, {}}},
            {"upper left, wrapping", {1, {1, 1}, true, 16, {16, 16}, {1, 1}}},
            {"lower left from row 1, wrapping", {3, {1, 1}, true, 1, {1, 1}, {1, 1}}},
            {"lower right from the far corner", {8, {16, 16}, true, 16, {1, 1}, {16, 16}}},
            {"lower right", {8, {5, 3}, true, 14, {6, 4}, {5, 3}}},
            {"upper left from inside", {1, {3, 5}, true, 14, {2, 4}, {3, 5}}},
            {"upper right", {6, {5, 3}, true, 7, {4, 4}, {5, 3}}},
            {"lower left from the last row", {3, {16, 10}, true, 7, {10, 16}, {16, 10}}},
            {"upper right, no wrap", {6, {16, 10}, false, 6, {15, 11}, {10, 16}}},
            {"outside the grid", {1, {20, 1}, true, 0, {}, {}}}});
    }
    void walks()
    {
        const WalkCase &c = fetch<WalkCase>();
        QVector<QPoint> cells;
        walk(c.code, {c.from.x(), c.from.y()}, c.cyclic, [&](Cell cell) {
            cells << QPoint(cell.row, cell.col);
            return false;
        });
        QCOMPARE(int(cells.size()), c.count);
        if (!cells.isEmpty()) {
            QCOMPARE(cells.first(), c.first);
            QCOMPARE(cells.last(), c.last);
        }
    }

    void truncation()
    {
        QCOMPARE(truncToInt(-1.5), -1);
        QCOMPARE(truncToInt(qQNaN()), 0);
        QCOMPARE(truncToInt(-1e20), INT_MIN);
        QCOMPARE(truncToInt(1e20), INT_MAX);
    }

    // Speed over the 100 ms up to a moment: the first and the last position in them count; of two in one
    // millisecond (or a clock gone back), the later.
    void speedMeter()
    {
        SpeedMeter meter;
        meter.add(2000, {900, 900});
        meter.add(2000, {0, 0});
        meter.add(2010, {1000, 0});
        meter.add(2020, {900, 900});
        meter.add(2020, {30, 40});
        meter.add(2015, {60, 80});
        QCOMPARE(meter.count(), 3);
        QCOMPARE(int(meter.speed(2020, 100) * 100), 100);
        QCOMPARE(int(meter.speed(2100, 100) * 100), 100);
        QCOMPARE(int(meter.speed(2110, 100) * 100), 943);
        QCOMPARE(int(meter.speed(2121, 100) * 100), 0);
        // A ring of the latest: 300 moves of 1 px, one a millisecond, still measure 100 ms.
        for (int t = 0; t < 300; ++t)
            meter.add(3000 + t, {t, 0});
        QCOMPARE(meter.count(), SpeedMeter::Capacity);
        QCOMPARE(int(meter.speed(3299, 100) * 100), 100);
        QCOMPARE(int(meter.speed(3350, 100) * 100), 49);
    }

    // Offline, no wrap-around and no button held until the switch says otherwise.
    void freshMonitor()
    {
        const Monitor fresh;
        QCOMPARE(fresh.m_devstatus, 0);
        QCOMPARE(fresh.m_cyclicSwitch, 0);
        QCOMPARE(fresh.m_leftButtonDown, 0);
    }

    // The tray's note: crossings need X11, by the session type or a Wayland compositor's socket.
    void sessionNote_data()
    {
        table<SessionCase>({{"neither", {nullptr, nullptr, false}}, {"x11 session", {"XDG_SESSION_TYPE", "x11", false}},
            {"Wayland session", {"XDG_SESSION_TYPE", "Wayland", true}},
            {"Wayland socket", {"WAYLAND_DISPLAY", "wayland-0", true}}});
    }
    void sessionNote()
    {
        const auto &[variable, value, wayland] = fetch<SessionCase>();
        qunsetenv("XDG_SESSION_TYPE");
        qunsetenv("WAYLAND_DISPLAY");
        if (variable)
            qputenv(variable, value);
        const Monitor fresh;
        const QString note = fresh.property("sessionNote").toString();
        if (variable)
            qunsetenv(variable);
        QCOMPARE(
            note, wayland ? QStringLiteral("Crossings need an X11 session; this is a Wayland session.") : QString());
    }

    // The hook procedures neither write the log nor drive the scene: both come right after the event, from the
    // event loop, once for all that changed in it.
    void hookPathLeavesWork()
    {
        setUp({at(2, 1, 1), at(1, 1, 2), at(1, 1, 3)});
        m_log->clear();
        // Signals emitted and lines logged so far.
        const auto done = [this] {
            return std::pair(int(m_changed->size()), int(m_log->lines().size()));
        };
        moveTo(500, 500);
        QCOMPARE(done(), std::pair(0, 0));
        settle();
        QCOMPARE(done(), std::pair(1, 0));
        moveTo(2500, 500);
        moveTo(600, 500);
        QCOMPARE(done(), std::pair(1, 0));
        settle();
        QCOMPARE(done(), std::pair(2, 0));
        moveTo(-50, 500); // a switch
        QCOMPARE(done(), std::pair(2, 0));
        settle();
        QCOMPARE(done(), std::pair(3, 1));
        QVERIFY2(m_log->lines().value(0).startsWith(QLatin1String("postSwitchCmd nextportnum 2")),
            qPrintable(m_log->lines().value(0)));
        mouseStatus(1, 3, 7, 50);
        VirtualHid::model().currentPort = 1;
        keyEvent(HookMessage::KeyDown, FocusArrivalKey); // an arrival
        QCOMPARE(done(), std::pair(3, 1));
        settle();
        QCOMPARE(done(), std::pair(4, 1));
        VirtualHid::model().mouseStatus = {2, 1, 1, 7, 50}; // entered port 2's monitor: only logged
        keyEvent(HookMessage::KeyDown, FocusArrivalKey);
        QCOMPARE(done(), std::pair(4, 1));
        settle();
        QCOMPARE(done(), std::pair(4, 2));
    }

    // The element repeats a change to the scene at once, but a hand-over only as the pointer's hold ends: the crossing
    // is then still under way on the other computer. An arrival meanwhile is said at once, the hand-over not after it.
    void sceneHearsOfHandOverAsHoldEnds()
    {
        setUp({at(2, 1, 1), at(1, 1, 2), at(1, 1, 3)});
        Monitor element;
        connect(e, &Monitor::monitorChanged, &element, &Monitor::notifyToQml);
        QSignalSpy scene(&element, &Monitor::monitorChanged);
        const auto now = [&] {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
            return scene.size();
        };
        const auto arrive = [&] {
            mouseStatus(1, 2, 7, 50);
            VirtualHid::model().currentPort = 1;
            keyEvent(HookMessage::KeyDown, FocusArrivalKey);
            return now();
        };
        moveTo(500, 500);
        QCOMPARE(now(), 1);
        moveTo(-50, 500);
        QCOMPARE(now(), 1);
        QTRY_COMPARE(scene.size(), 2);
        QCOMPARE(arrive(), 3);
        VirtualHid::refuseNextWithId(0x49);
        moveTo(600, 500);
        moveTo(-50, 600);
        QCOMPARE(now(), 4);
        moveTo(600, 500);
        moveTo(-50, 700);
        QCOMPARE(now(), 4);
        QCOMPARE(e->m_switchPending, 1);
        QCOMPARE(arrive(), 5);
        QTest::qWait(2 * Monitor::PendingMsec);
        QCOMPARE(scene.size(), 5);
    }

    // What the engine says about a layout that does not fit this desktop, or cannot be real.
    void layoutWarnings_data()
    {
        QTest::addColumn<Entries>("monitors");
        QTest::addColumn<Rects>("screens");
        QTest::addColumn<QStringList>("said");
        QTest::newRow("layout agrees, desktop not at 0,0")
            << Entries {at(1, 1, 1), at(2, 1, 2)} << Rects {{-1920, 0, 1920, 1080}} << QStringList();
        QTest::newRow("layout smaller than the screen")
            << Entries {at(1, 1, 1, 800, 600)} << Rects {{0, 0, 1920, 1080}}
            << texts({"The switch's layout does not match this desktop: 1 monitor(s) of this computer in the "
                      "layout (800 x 600 at 0,0), 1 screen(s) on the desktop (1920 x 1080 at 0,0)"});
        QTest::newRow("a screen more")
            << Entries {at(1, 1, 1)} << Rects {{0, 0, 1920, 1080}, {1920, 0, 1920, 1080}}
            << texts({"The switch's layout does not match this desktop: 1 monitor(s) of this computer in the "
                      "layout (1920 x 1080 at 0,0), 2 screen(s) on the desktop (1920 x 1080 at 0,0, 1920 x 1080 "
                      "at 1920,0)"});
        QTest::newRow("neighbours too small")
            << Entries {at(1, 1, 1), at(2, 1, 2, 0, 0), at(3, 2, 1, 1920, 199)} << Rects()
            << texts({"The switch's layout has monitors smaller than 320 x 200 (port 2 in cell 1,2, 0 x 0; port 3 "
                      "in cell 2,1, 1920 x 199): no real monitor is that small"});
        QTest::newRow("a monitor of 1 x 1")
            << Entries {at(1, 1, 2, 1, 1), at(2, 1, 1), at(2, 1, 3)} << Rects {{0, 0, 1920, 1080}}
            << texts({"The switch's layout gives this computer a monitor of 1 x 1 in cell 1,2, smaller than 320 x "
                      "200: the pointer leaves it by the edges of 1920 x 1080 at 0,0",
                   "The switch's layout does not match this desktop: 1 monitor(s) of this computer in the layout (1 x "
                   "1 at 0,0), 1 screen(s) on the desktop (1920 x 1080 at 0,0)"});
        QTest::newRow("screens do not match: one screen")
            << Entries {at(1, 1, 1), at(1, 1, 2, 1280, 1024)} << Rects {{0, 0, 3200, 1080}}
            << texts({"The switch's layout does not match this desktop: 2 monitor(s) of this computer in the "
                      "layout (1920 x 1080 at 0,0, 1280 x 1024 at 1920,0), 1 screen(s) on the desktop (3200 x "
                      "1080 at 0,0)"});
    }
    void layoutWarnings()
    {
        QFETCH(Entries, monitors);
        QFETCH(Rects, screens);
        QFETCH(QStringList, said);
        setUp(monitors, screens);
        QCOMPARE(takeLog(QStringLiteral("^The switch's")), said);
    }

    // Where our monitors lie on the desktop: on the screens that match them, else each after the sizes of those
    // before it in its row or column; the origin is our first cell in key order.
    void ownMonitorsPlaced_data()
    {
        const QString byCells
            = QStringLiteral("This computer's monitors are placed by their cells in the switch's layout: ");
        table<PlacementCase>({{"key order",
                                  {{at(1, 1, 10), at(1, 1, 2), at(2, 1, 3)}, {}, {}, {1, 2},
                                      {"1,10: 15360,0 17280,1080", "1,2: 0,0 1920,1080"},
                                      {"1,10: 1", "1,2: 1", "1,3: 2"}}},
            {"below-left",
                {{at(1, 3, 2), at(1, 2, 3)}, {}, {}, {2, 3}, {"2,3: 0,0 1920,1080", "3,2: -1920,1080 0,2160"},
                    {"2,3: 1", "3,2: 1"}}},
            {"side by side, sizes differ",
                {{at(1, 1, 1), at(1, 1, 2, 1280, 1024), at(2, 1, 3)}, {{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}},
                    QStringLiteral("This computer's monitors lie where its screens are"), {1, 1},
                    {"1,1: 0,0 1920,1080", "1,2: 1920,0 3200,1024"}, {"1,1: 1", "1,2: 1", "1,3: 2"}}},
            {"stacked, centred",
                {{at(1, 1, 1), at(1, 2, 1, 1280, 1024), at(2, 3, 1)}, {{0, 0, 1920, 1080}, {320, 1080, 1280, 1024}}, {},
                    {1, 1}, {"1,1: 0,0 1920,1080", "2,1: 320,1080 1600,2104"}, {"1,1: 1", "2,1: 1", "3,1: 2"}}},
            {"offset, bottoms aligned",
                {{at(1, 1, 1, 2560, 1440), at(1, 1, 2)}, {{0, 0, 2560, 1440}, {2560, 360, 1920, 1080}}, {}, {1, 1},
                    {"1,1: 0,0 2560,1440", "1,2: 2560,360 4480,1440"}, {"1,1: 1", "1,2: 1"}}},
            {"a screen left of the primary one",
                {{at(2, 1, 1), at(1, 1, 2), at(1, 1, 3)}, {{-1920, 0, 1920, 1080}, {0, 0, 1920, 1080}}, {}, {1, 2},
                    {"1,2: -1920,0 0,1080", "1,3: 0,0 1920,1080"}, {"1,1: 2", "1,2: 1", "1,3: 1"}}},
            {"screens do not match: one screen",
                {{at(1, 1, 1), at(1, 1, 2, 1280, 1024)}, {{0, 0, 3200, 1080}},
                    byCells + QStringLiteral("2 monitor(s) of this computer in the layout, 1 screen(s) on the desktop"),
                    {1, 1}, {"1,1: 0,0 1920,1080", "1,2: 1920,0 3200,1024"}, {"1,1: 1", "1,2: 1"}}},
            {"screens do not match: sizes",
                {{at(1, 1, 1), at(1, 1, 2, 1280, 1024)}, {{0, 0, 1920, 1080}, {1920, 0, 1920, 1080}},
                    byCells
                        + QStringLiteral(
                            "the sizes differ: 1920 x 1080, 1280 x 1024 in the layout, 1920 x 1080, 1920 x 1080 "
                            "on the desktop"),
                    {1, 1}, {"1,1: 0,0 1920,1080", "1,2: 1920,0 3200,1024"}, {"1,1: 1", "1,2: 1"}}},
            {"screens do not match: one column, apart",
                {{at(1, 1, 1), at(1, 2, 1, 1280, 1024)}, {{0, 0, 1920, 1080}, {1920, 1080, 1280, 1024}},
                    byCells + QStringLiteral("the screens do not lie as the cells' rows and columns do"), {1, 1},
                    {"1,1: 0,0 1920,1080", "2,1: 0,1080 1280,2104"}, {"1,1: 1", "2,1: 1"}}},
            {"screens do not match: arrangement",
                {{at(1, 1, 1), at(1, 2, 1, 1280, 1024)}, {{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}},
                    byCells + QStringLiteral("the screens do not lie as the cells' rows and columns do"), {1, 1},
                    {"1,1: 0,0 1920,1080", "2,1: 0,1080 1280,2104"}, {"1,1: 1", "2,1: 1"}}}});
    }
    void ownMonitorsPlaced()
    {
        const auto &[monitors, screens, placed, origin, own, ports] = fetch<PlacementCase>();
        setUp(monitors, screens);
        if (!placed.isEmpty())
            QCOMPARE(
                m_log->lines().filter(QRegularExpression(QStringLiteral("^This computer's"))), QStringList(placed));
        QCOMPARE(e->m_originRow, origin.x());
        QCOMPARE(e->m_originCol, origin.y());
        QCOMPARE(ownMonitors(), texts(own));
        QCOMPARE(portsByCell(), texts(ports));
    }

    // A list count of 0 from the switch leaves the layout as it was.
    void listCountOfZeroKeepsTheLayout()
    {
        setUp({at(1, 1, 1)});
        e->m_listCount = 0;
        e->buildLayout();
        e->readLayoutToEnd();
        QCOMPARE(e->m_originRow, 1);
        QCOMPARE(e->m_originCol, 1);
        QCOMPARE(ownMonitors(), texts({"1,1: 0,0 1920,1080"}));
        QCOMPARE(portsByCell(), texts({"1,1: 1"}));
    }

    // A fast push over the right edge switches: the switch is asked, the pointer parked and held, the frame
    // marked; pointer input is swallowed until the switch's 50 ms are over, then passed on and ignored.
    void crossing()
    {
        setUp({at(1, 2, 2), at(2, 2, 3)});
        QVERIFY(passedOn({{960, 540}, {1867, 300}}));
        after(99);
        QCOMPARE(move(1917, 300), Swallowed);
        QCOMPARE(takeSwitchRequests(), texts({"2:2,3,7,27"}));
        QCOMPARE(e->m_curPort, 2);
        QCOMPARE(e->m_switchPending, 1);
        QCOMPARE(QCursor::pos(), QPoint(1907, 1067));
        QCOMPARE(frame(), std::pair(QRect(0, 0, 1920, 1080), 1));
        QCOMPARE(takeSignals(), 2);

        QCOMPARE(button(HookMessage::LeftButtonDown), Swallowed);
        QCOMPARE(e->m_leftButtonDown, 1);
        QCOMPARE(e->m_rightButtonDown, 0);
        QCOMPARE(button(HookMessage::LeftButtonUp), Swallowed);
        QCOMPARE(button(HookMessage::MouseWheel), Swallowed);
        QCOMPARE(e->m_leftButtonDown, 0);
        QCOMPARE(move(1917, 300), Swallowed);
        QCOMPARE(move(1917, 301), Swallowed);
        QCOMPARE(VirtualHid::sentFrames().size(), 0);

        QTest::qWait(100);
        QCOMPARE(e->m_switchPending, 0);
        QCOMPARE(move(1918, 301), PassedOn);
        QCOMPARE(VirtualHid::sentFrames().size(), 0);
        // Focus back, but offline: nothing asked of the switch.
        e->m_curPort = 1;
        e->m_connected = false;
        QCOMPARE(move(1919, 540), PassedOn);
        QCOMPARE(VirtualHid::sentFrames().size(), 0);
    }

    // The speed is the pointer's over the 100 ms up to the move: from the first position seen in them; at least
    // 0.4 px/ms.
    void crossingNeedsSpeed()
    {
        setUp({at(1, 1, 1), at(2, 1, 2)});
        QVERIFY(passedOn({{960, 540}, {1878, 300}}));
        after(99);
        QCOMPARE(move(1917, 300), PassedOn); // 39 px in 100 ms
        after(200);
        QCOMPARE(move(0, 540), PassedOn); // nowhere to go
        QCOMPARE(move(1877, 540), PassedOn);
        after(99);
        QCOMPARE(move(1917, 540), Swallowed); // 40 px
        QCOMPARE(takeSwitchRequests(), texts({"2:1,2,7,50"}));
    }

    // Whether a crossing may happen is settled before the switch is asked which ports are present.
    void slowSlideFastFlick()
    {
        setUp({at(1, 1, 1), at(2, 1, 2)});
        QCOMPARE(move(960, 540), PassedOn);
        after(200);
        QCOMPARE(move(1917, 100), PassedOn);
        QCOMPARE(slide(0, 5, 60, 20), 0); // down the right edge band
        QCOMPARE(takeReportIds(), QStringList());
        after(200);
        QCOMPARE(move(1000, 5), PassedOn);
        QCOMPARE(slide(8, 0, 40, 4), 0); // along the top, slowly, toward no neighbour
        QCOMPARE(takeReportIds(), QStringList());
        QCOMPARE(move(1909, 540), PassedOn);
        after(1000);
        QCOMPARE(slide(4, 0, 30, 2), 11);
        QCOMPARE(takeReportIds(), texts({"4a", "49"}));
        QCOMPARE(takeSwitchCommandsLogged(), 1);
    }

    void noCrossingWithAButtonHeld()
    {
        setUp({at(1, 1, 1), at(2, 1, 2), at(2, 2, 2)});
        QCOMPARE(move(960, 540), PassedOn);
        QCOMPARE(button(HookMessage::LeftButtonDown), PassedOn);
        QCOMPARE(move(1917, 300), PassedOn);
        QCOMPARE(button(HookMessage::RightButtonDown), PassedOn);
        QCOMPARE(button(HookMessage::LeftButtonUp), PassedOn);
        QCOMPARE(move(1917, 301), PassedOn); // the right one still held
        QCOMPARE(button(HookMessage::RightButtonUp), PassedOn);
        after(200);
        QCOMPARE(button(HookMessage::LeftButtonDown), PassedOn);
        QCOMPARE(move(1920, 1075), Swallowed);
        QCOMPARE(takeSwitchRequests(), texts({"2:2,2,8,0"}));
    }

    // Pushes over an edge, fast, after moves that are passed on: the request sent, or none and the push passed on.
    void crossings_data()
    {
        const Entries wrapping {at(1, 1, 1), at(2, 1, 16), at(2, 16, 16)};
        table<CrossingCase>(
            {{"empty cell and absent port skipped",
                 {{at(1, 1, 1), at(3, 1, 3), at(2, 1, 4)}, {}, 3, false, {{960, 540}}, {1919, 540}, {"2:1,4,7,50"}}},
                {"no wrap-around", {wrapping, {}, 0, false, {{960, 540}, {0, 0}, {-3, 270}}, {-3, 271}, {}}},
                {"wrap-around, left", {wrapping, {}, 0, true, {{960, 540}}, {-3, 271}, {"2:1,16,2,25"}}},
                {"wrap-around, upper-left corner", {wrapping, {}, 0, true, {{960, 540}}, {1, 1}, {"2:16,16,1,0"}}},
                {"wrap-around to our own port",
                    {{at(1, 1, 1), at(1, 1, 16), at(2, 2, 1)}, {}, 0, true, {{960, 540}}, {0, 540}, {}}},
                {"a screen left of the primary one",
                    {{at(2, 1, 1), at(1, 1, 2), at(1, 1, 3)}, {{-1920, 0, 1920, 1080}, {0, 0, 1920, 1080}}, 0, false,
                        {{500, 500}, {-1000, 500}, {-1000, 0}}, {-1920, 500}, {"2:1,1,2,46"}}}});
    }
    void crossings()
    {
        const auto &[monitors, screens, absentPort, wrapAround, path, push, sent] = fetch<CrossingCase>();
        setUp(monitors, screens, absentPort ? quint8(~(1 << (absentPort - 1))) : quint8(0xFF));
        e->m_cyclicSwitch = wrapAround;
        QVERIFY(passedOn(path));
        QCOMPARE(move(push.x(), push.y()), sent.empty() ? PassedOn : Swallowed);
        QCOMPARE(takeSwitchRequests(), texts(sent));
    }

    // A switch the switch refuses leaves the focus here, the pointer where it was and the frame marked; the
    // next request needs the pointer to leave the edge band and come back.
    void refusedSwitch()
    {
        setUp({at(1, 1, 1), at(3, 1, 2)}, {}, quint8(~0x04));
        QCOMPARE(move(960, 540), PassedOn);
        QCursor::setPos(5, 5);
        QCOMPARE(move(1919, 540), PassedOn);
        QCOMPARE(takeSwitchRequests(), texts({"3:1,2,7,50"}));
        QCOMPARE(e->m_curPort, 1);
        QCOMPARE(e->m_switchPending, 0);
        QCOMPARE(QCursor::pos(), QPoint(5, 5));
        QCOMPARE(frame(), std::pair(QRect(0, 0, 1920, 1080), 1));
        QCOMPARE(takeSwitchCommandsLogged(), 1);
        QVERIFY(passedOn({{1919, 541}, {1919, 900}, {1930, 900}}));
        QCOMPARE(takeReportIds(), QStringList());
        QCOMPARE(takeSwitchCommandsLogged(), 0);
        QVERIFY(passedOn({{1000, 900}, {1919, 900}}));
        QCOMPARE(takeSwitchRequests(), texts({"3:1,2,7,83"}));
        QCOMPARE(takeSwitchCommandsLogged(), 1);
    }

    // Beyond: an absent port, then our own; one port-status query, then nothing until the pointer leaves.
    void onlyAbsentPortsBeyond()
    {
        setUp({at(1, 1, 1), at(3, 1, 2), at(1, 1, 3)}, {}, quint8(~0x04));
        e->m_cyclicSwitch = 1;
        QVERIFY(passedOn({{960, 540}, {1919, 540}}));
        QCOMPARE(takeReportIds(), texts({"4a"}));
        QVERIFY(passedOn({{1919, 600}, {1919, 700}}));
        QCOMPARE(takeReportIds(), QStringList());
        QCOMPARE(takeSwitchRequests(), QStringList());
        QCOMPARE(takeSwitchCommandsLogged(), 0);
    }

    // The layout's monitor is smaller than the screen: its edges, and the screen's beyond it, are left by.
    void crossingALayoutSmallerThanTheScreen()
    {
        setUp({at(1, 1, 1, 800, 600), at(2, 1, 2), at(3, 2, 1)}, {{0, 0, 1920, 1080}});
        QVERIFY(passedOn({{400, 300}, {1500, 300}, {400, 900}}));
        // One push after another, the focus back here in between.
        const std::pair<QPoint, const char *> pushes[] = {{{797, 300}, "2:1,2,7,50"}, {{400, 597}, "3:2,1,5,50"},
            {{1919, 300}, "2:1,2,7,50"}, {{1990, 150}, "2:1,2,7,25"}, {{200, 1079}, "3:2,1,5,25"}};
        for (const auto &[push, request] : pushes) {
            QCOMPARE(move(push.x(), push.y()), Swallowed);
            QCOMPARE(takeSwitchRequests(), texts({request}));
            focusBackHere();
        }
    }

    // The frame follows the pointer over our monitors; one signal per change, none for a move that changes
    // nothing; a monitor of 0 x 0 is never entered.
    void highlightFollowsThePointer()
    {
        setUp({at(1, 1, 1), at(1, 1, 2, 1280, 1024), at(1, 2, 1, 0, 0)});
        QVERIFY(passedOn({{0, 0}, {0, 0}}));
        QCOMPARE(VirtualHid::sentFrames().size(), 0);
        QCOMPARE(takeSignals(), 0);
        QVERIFY(passedOn({{100, 100}, {101, 100}}));
        QCOMPARE(takeSignals(), 1);
        QCOMPARE(move(2560, 100), PassedOn);
        QCOMPARE(frame(), std::pair(QRect(1920, 0, 1280, 1024), 0));
        QVERIFY(passedOn({{10, 1000}, {10, 1080}, {10, 1500}, {10, 2200}}));
        QCOMPARE(frame(), std::pair(QRect(0, 0, 1920, 1080), 0));
        QCOMPARE(takeSwitchRequests(), QStringList());
        // A button event without its record changes nothing.
        QCOMPARE(Monitor::mouseProc(0, HookMessage::LeftButtonDown, 0), PassedOn);
        settle();
        QCOMPARE(e->m_leftButtonDown, 0);
        QCOMPARE(e->m_rightButtonDown, 0);
    }

    // A monitor too large for its screens is framed by the desktop, by hovering and by arrivals alike.
    void hugeMonitorFramedByTheDesktop_data()
    {
        QTest::addColumn<Rects>("screens");
        QTest::addColumn<QRect>("frame");
        QTest::newRow("two screens") << Rects {{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}} << QRect(0, 0, 3200, 1080);
        QTest::newRow("an empty screen") << Rects {QRect()} << QRect(0, 0, 0, 0);
    }
    void hugeMonitorFramedByTheDesktop()
    {
        QFETCH(Rects, screens);
        QFETCH(QRect, frame);
        setUp({at(1, 1, 1, 65535, 65535), at(2, 1, 2)}, screens);
        QCOMPARE(move(100, 100), PassedOn);
        QCOMPARE(this->frame(), std::pair(frame, 0));
        for (const int col : {1, 5}) {
            e->m_frameInfo.clear();
            arrive(1, col, 2, 50);
            QCOMPARE(this->frame(), std::pair(frame, 0));
        }
    }

    // The pointer enters 8 px inside the side opposite the one it left by (an unknown direction: at 0,0 of the
    // entered monitor's placement; a cell of no monitor of ours: on our first monitor's centre), the entered
    // monitor framed; the frame stays on it while the pointer moves on, and a push from it crosses.
    void arrivals_data()
    {
        const Entries sizes {at(2, 1, 1), at(1, 1, 2), at(1, 1, 3, 1280, 1024)};
        const Rects side {{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}};
        const QRect small(1920, 0, 1280, 1024);
        const Entries offset {at(1, 1, 1, 2560, 1440), at(1, 1, 2)};
        const Rects offsetScreens {{0, 0, 2560, 1440}, {2560, 360, 1920, 1080}};
        table<ArrivalCase>({{"from the left", {sizes, side, 1, 3, 7, 50, {1928, 512}, small}},
            {"unknown direction", {sizes, side, 1, 3, 12, 50, {0, 0}, small}},
            {"no monitor of ours", {sizes, side, 1, 7, 2, 50, {960, 540}, {0, 0, 1920, 1080}}},
            {"sizes differ",
                {{at(1, 1, 1), at(1, 1, 2, 1280, 1024), at(2, 1, 3)}, side, 1, 2, 7, 50, {1928, 512}, small,
                    {{2500, 500}, {1925, 500}}, {3199, 500}, "2:1,3,7,48", {3187, 1011}}},
            {"stacked, centred",
                {{at(1, 1, 1), at(1, 2, 1, 1280, 1024), at(2, 3, 1)}, {{0, 0, 1920, 1080}, {320, 1080, 1280, 1024}}, 2,
                    1, 4, 50, {960, 2096}, {320, 1080, 1280, 1024}, {{960, 1500}, {960, 1600}}, {960, 2100},
                    "2:3,1,5,50", {1587, 2091}}},
            {"offset, from the left", {offset, offsetScreens, 1, 2, 7, 0, {2568, 360}, {2560, 360, 1920, 1080}}},
            {"offset, from upper right",
                {offset, offsetScreens, 1, 2, 6, 0, {2573, 1427}, {2560, 360, 1920, 1080}, {{100, 100}, {3000, 500}}}},
            {"screens do not match",
                {{at(1, 1, 1), at(1, 1, 2, 1280, 1024)}, {{0, 0, 3200, 1080}}, 1, 2, 7, 50, {1928, 512}, small}}});
    }
    void arrivals()
    {
        const ArrivalCase &c = fetch<ArrivalCase>();
        setUp(c.monitors, c.screens);
        focusElsewhere();
        arrive(c.row, c.col, c.direction, c.percent);
        QCOMPARE(QCursor::pos(), c.at);
        QCOMPARE(frame(), std::pair(c.frame, 0));
        QCOMPARE(e->m_curPort, 1);
        QCOMPARE(takeSignals(), 1);
        after(150);
        QVERIFY(passedOn(c.path));
        QCOMPARE(frame(), std::pair(c.frame, 0));
        if (c.sent) {
            QCOMPARE(move(c.push.x(), c.push.y()), Swallowed);
            QCOMPARE(takeSwitchRequests(), texts({c.sent}));
            QCOMPARE(QCursor::pos(), c.parked);
        }
    }
    // Its edge bands would be out of reach: it stands for its screen, which the user leaves by its edges.
    void monitorOfOneByOneStandsForItsScreen()
    {
        setUp({at(1, 1, 2, 1, 1), at(2, 1, 1), at(2, 1, 3)}, {{0, 0, 1920, 1080}});
        QCOMPARE(move(960, 540), PassedOn);
        QCOMPARE(frame(), std::pair(QRect(0, 0, 1920, 1080), 0));
        QCOMPARE(move(0, 540), Swallowed);
        QCOMPARE(takeSwitchRequests(), texts({"2:1,1,2,50"}));
        focusBackHere();
        QCOMPARE(move(1919, 300), Swallowed);
        QCOMPARE(takeSwitchRequests(), texts({"2:1,3,7,27"}));
    }

    // The entered monitor is the current one: the pointer can go straight back, also from a monitor not the
    // last one used.
    void arrivalThenStraightBack()
    {
        setUp({at(2, 1, 1), at(1, 1, 2), at(1, 1, 3)});
        focusElsewhere();
        arrive(1, 2, 7, 50);
        QCOMPARE(QCursor::pos(), QPoint(8, 540));
        QCOMPARE(e->m_curPort, 1);
        after(50);
        QCOMPARE(move(-40, 540), Swallowed);
        QCOMPARE(takeSwitchRequests(), texts({"2:1,1,2,50"}));
        focusBackHere();
        QCOMPARE(move(2500, 540), PassedOn);
        focusElsewhere();
        VirtualHid::model().currentPort = 1;
        arrive(1, 2, 7, 50);
        after(50);
        QCOMPARE(move(-40, 540), Swallowed);
        QCOMPARE(takeSwitchRequests(), texts({"2:1,1,2,50"}));
    }

    // Only the key-down of the focus-arrival key is an arrival; other keys, key-ups, system keys and a
    // missing record are passed on and change nothing.
    // Only the switch's key-down of the focus-arrival key, when the switch gives the focus to this port, is an
    // arrival; a key of our own keyboard, other keys, key-ups, system keys and a missing record are passed on
    // and change nothing.
    void focusArrivalKey()
    {
        setUp({at(1, 1, 1), at(2, 1, 2)});
        QCursor::setPos(5, 5);
        QCOMPARE(key(FocusArrivalKey), PassedOn);
        QCOMPARE(QCursor::pos(), QPoint(5, 5));
        QCOMPARE(e->m_curPort, 1);
        QCOMPARE(move(960, 540), PassedOn);
        QCOMPARE(move(1919, 540), Swallowed);
        QCOMPARE(takeSwitchRequests(), texts({"2:1,2,7,50"}));
        QCOMPARE(e->m_switchPending, 1);
        QCOMPARE(key(FocusArrivalKey), PassedOn); // the switch has given the focus to port 2
        QCOMPARE(QCursor::pos(), QPoint(1907, 1067));
        QCOMPARE(e->m_curPort, 2);
        QCOMPARE(e->m_switchPending, 1);
        e->m_curPort = 1;
        mouseStatus(1, 1, 7, 25);
        QCOMPARE(key(FocusArrivalKey), PassedOn);
        QCOMPARE(QCursor::pos(), QPoint(1907, 1067));
        QCOMPARE(e->m_curPort, 1);
        VirtualHid::model().currentPort = 1; // now it gives it back
        focusElsewhere();
        QCOMPARE(key(FocusArrivalKey, HookMessage::KeyUp), PassedOn);
        QCOMPARE(key(FocusArrivalKey, HookMessage::SysKeyDown), PassedOn);
        QCOMPARE(key(65), PassedOn);
        QCOMPARE(Monitor::keyboardProc(0, HookMessage::KeyDown, 0), PassedOn);
        settle();
        QCOMPARE(QCursor::pos(), QPoint(1907, 1067));
        QCOMPARE(e->m_switchPending, 1);
        QCOMPARE(key(FocusArrivalKey), PassedOn);
        QCOMPARE(QCursor::pos(), QPoint(8, 270));
        QCOMPARE(e->m_curPort, 1);
        QCOMPARE(e->m_switchPending, 0);
        QCOMPARE(takeFailures(), QStringList());
    }

    // An arrival whose mouse status or port status cannot be read moves nothing and draws no frame.
    void arrivalUnreadable()
    {
        setUp({at(1, 1, 1)});
        focusElsewhere();
        QCursor::setPos(5, 5);
        VirtualHid::refuseNext(1);
        arrive(1, 1, 8, 0);
        QCOMPARE(takeFailures(), texts({"getMouseStatus fail"}));
        QCOMPARE(e->m_curPort, 1);
        QCOMPARE(QCursor::pos(), QPoint(5, 5));
        QVERIFY(e->m_frameInfo.isEmpty());
        VirtualHid::failNextSend(0x4A);
        arrive(1, 1, 8, 0);
        QCOMPARE(takeFailures(), texts({"getPortStatus fail"}));
        QCOMPARE(QCursor::pos(), QPoint(13, 13));
    }

    // The heartbeat finds the switch lost and back; the layout is read again when it is back.
    void switchMissingLostAndBack()
    {
        setUp({at(1, 1, 1), at(2, 1, 2)});
        Monitor element;
        QSignalSpy status(&element, &Monitor::statusChanged);
        SwitchModel &sw = VirtualHid::model();
        VirtualHid::unplug();
        e->m_device.close();
        e->m_device.m_status = 0;
        e->m_allMonitors.clear();
        QCOMPARE(element.connectDevice(), false);
        QCOMPARE(element.devstatus(), 0);
        QCOMPARE(status.size(), 0);
        QCOMPARE(e->m_allMonitors.size(), 0);
        QCOMPARE(takeFailures(), texts({"Connection device fail"}));
        QCOMPARE(element.m_speedTimer->interval(), 100);
        QVERIFY(e->m_device.m_heartBeatTimer->isActive());
        e->m_device.m_heartBeatTimer->stop(); // the next connect starts another

        VirtualHid::plug();
        heartBeat();
        QCOMPARE(element.devstatus(), 1);
        QCOMPARE(status.size(), 1);
        e->readLayoutToEnd();
        QCOMPARE(e->m_allMonitors.size(), 2);

        e->m_switchPending = 1;
        VirtualHid::unplug();
        heartBeat();
        QCOMPARE(element.devstatus(), 0);
        QCOMPARE(status.size(), 2);
        QCOMPARE(e->m_switchPending, 0);

        sw.monitors.append({1, 9, 2, 1, 1920, 1080});
        VirtualHid::plug();
        heartBeat();
        QCOMPARE(element.devstatus(), 1);
        QCOMPARE(status.size(), 3);
        QCOMPARE(e->m_allMonitors.size(), 2);
        e->readLayoutToEnd();
        QCOMPARE(e->m_allMonitors.size(), 3);

        sw.monitors.append({2, 9, 2, 2, 1920, 1080});
        QCOMPARE(element.connectDevice(), true);
        e->readLayoutToEnd();
        QCOMPARE(e->m_allMonitors.size(), 4);
    }

    // Lost and back between two moves: the next push crosses at once.
    void repluggedAndPushedAcrossAtOnce()
    {
        setUp({at(1, 1, 1), at(2, 1, 2)});
        Monitor element;
        QSignalSpy status(&element, &Monitor::statusChanged);
        QCOMPARE(element.connectDevice(), true);
        QCOMPARE(move(960, 540), PassedOn);
        VirtualHid::unplug();
        heartBeat();
        QCOMPARE(element.devstatus(), 0);
        QCOMPARE(status.size(), 1);
        QCOMPARE(move(1917, 540), PassedOn);
        VirtualHid::plug();
        heartBeat();
        QCOMPARE(element.devstatus(), 1);
        QCOMPARE(status.size(), 2);
        QCOMPARE(move(1917, 541), Swallowed);
        QCOMPARE(takeSwitchRequests(), texts({"2:1,2,7,50"}));
    }

    void anotherAgentOnOurPort()
    {
        setUp({at(1, 1, 1)});
        Monitor element;
        QCOMPARE(element.connectDevice(), true);
        heartBeat();
        QCOMPARE(element.portNote(), QString());
        static KV830Data other;
        other.open(1, 2);
        heartBeat();
        QCOMPARE(element.portNote(), QStringLiteral("Another agent is on port 1 of the switch"));
    }

    // The switch's highlight settings and wrap-around; a lost switch: off, 1 s, no wrap-around.
    void highlightSettings()
    {
        setUp({at(1, 1, 1)});
        Monitor element;
        VirtualHid::model().highlightDuration = 3;
        VirtualHid::model().cyclicSwitch = 1;
        QVariantMap h = element.getMouseHighlightData();
        QCOMPARE(h.value(QStringLiteral("status")).toInt(), 1);
        QCOMPARE(h.value(QStringLiteral("duration")).toInt(), 3);
        QCOMPARE(h.size(), 3);
        QCOMPARE(e->m_cyclicSwitch, 1);
        VirtualHid::unplug();
        h = element.getMouseHighlightData();
        QCOMPARE(h.value(QStringLiteral("status")).toInt(), 0);
        QCOMPARE(h.value(QStringLiteral("duration")).toInt(), 1);
        QCOMPARE(h.size(), 2);
        QCOMPARE(e->m_cyclicSwitch, 0);
    }

    // Hooks set and removed (closing the switch too); a failed install is logged; without hooks events go to
    // no next hook.
    void hooks()
    {
        setUp({at(1, 1, 1)});
        Monitor element;
        QCOMPARE(element.setHook(), true);
        QVERIFY(element.m_mouseHook);
        QVERIFY(element.m_keyboardHook);
        QCOMPARE(takeFailures(), QStringList());
        element.uninstallHook();
        QCOMPARE(m_hooks.uninstalled, 2);
        QCOMPARE(VirtualHid::openHandles(), 0);

        m_hooks.fail = true;
        QCOMPARE(element.setHook(), true);
        QVERIFY(!element.m_mouseHook);
        QVERIFY(!element.m_keyboardHook);
        QCOMPARE(takeFailures(), texts({"Mouse Hook failed", "KB Hook Failed"}));

        static NullInputHooks none;
        InputHooks::setInstance(&none);
        QCOMPARE(element.setHook(), true);
        QVERIFY(!element.m_mouseHook);
        QVERIFY(!element.m_keyboardHook);
        QCOMPARE(move(960, 540), std::intptr_t(0));
        QCOMPARE(key(65), std::intptr_t(0));
    }

    // A slow switch's layout is read one answer a turn of the event loop, and the layout in force
    // stays until the new one is complete; answers out of step during the read make it read again.
    void layoutReadInTurns()
    {
        setUp({at(1, 1, 1), at(2, 1, 2)});
        const QList<QString> before = e->m_allMonitors.keys();
        Monitor element;
        element.m_devstatus = 1;
        QVector<SwitchModel::MonitorEntry> &monitors = VirtualHid::model().monitors;
        monitors.clear();
        for (int i = 0; i < 12; ++i)
            monitors.append({1 + i % 2, i + 1, 1 + i / 4, 1 + i % 4, 1000 + i, 1024});
        const auto entriesAsked = [] {
            const QList<QByteArray> sent = VirtualHid::sentFrames();
            return int(std::count_if(
                sent.cbegin(), sent.cend(), [](const QByteArray &f) { return f.startsWith(char(0x47)); }));
        };
        const auto widths = [this] {
            QVector<int> out;
            for (const QVariantMap &m : qAsConst(e->m_allMonitors))
                out << m.value(QStringLiteral("width")).toInt();
            return out;
        };
        QVector<int> perTurn;
        VirtualHid::setAnswerDelay(20); // more than a turn may take: one answer a turn
        element.readPortStatus();
        perTurn << entriesAsked();
        while (e->layoutReading() && perTurn.size() < 1000) {
            QCOMPARE(e->m_allMonitors.keys(), before);
            VirtualHid::clearSentFrames();
            // Until the read's next turn has been (Windows' dispatcher does not wake a waiting
            // processEvents for a timer's expiry).
            static_cast<void>(QTest::qWaitFor([&] { return entriesAsked() > 0 || !e->layoutReading(); }, 1000));
            perTurn << entriesAsked();
        }
        VirtualHid::setAnswerDelay(0);
        QCOMPARE(perTurn.first(), 0);
        QCOMPARE(*std::max_element(perTurn.cbegin(), perTurn.cend()), 1);
        QCOMPARE(std::accumulate(perTurn.cbegin(), perTurn.cend(), 0), 12);
        const QVector<int> all = {1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008, 1009, 1010, 1011};
        QCOMPARE(widths(), all);
        QCOMPARE(e->m_ownMonitors.size(), 6);

        // An entry's answer given twice: the entries after it shift by one until the closing port status
        // shows the stray answer; the read is thrown away and done again.
        monitors[0].width = 999;
        element.readPortStatus();
        VirtualHid::answerTwice(1);
        e->readLayoutToEnd();
        QCOMPARE(widths(), QVector<int>({999}) + all.mid(1));
        QVERIFY(
            m_log->contains(QStringLiteral("Answers out of step during the layout read: reading the layout again")));

        // A switch that never confirms the layout read: the one in force stays.
        monitors[0].width = 998;
        element.readPortStatus();
        VirtualHid::setReplySource([](const QByteArray &request, QByteArray &reply) {
            reply = VirtualHid::model().handle(1, request);
            reply[0] = char(request.startsWith(char(0x4A)) ? 0xC7 : reply.at(0)); // the port status always astray
            return true;
        });
        e->readLayoutToEnd();
        VirtualHid::setReplySource({});
        QCOMPARE(widths(), QVector<int>({999}) + all.mid(1));
        QVERIFY(m_log->contains(
            QStringLiteral("The switch did not confirm the layout just read: the previous one stays in force")));

        // Pulled during the read: one failed entry ends it, not one failure per entry left.
        element.readPortStatus();
        VirtualHid::unplug();
        VirtualHid::clearSentFrames();
        e->readLayoutToEnd();
        QCOMPARE(entriesAsked(), 1);
        QCOMPARE(widths(), QVector<int>({999}) + all.mid(1));
        QVERIFY(m_log->contains(
            QStringLiteral("The switch stopped answering during the layout read: the previous layout stays in force")));
    }

    // A layout uploaded while the agent runs: from another computer, found by the heartbeat's watch within
    // `beats` heartbeats; from this one, at once. Read one answer a turn (a slow switch): the old layout stays in
    // force until the new one is complete and the pointer's moves ask nothing of the switch meanwhile.
    void layoutChangedWhileRunning_data()
    {
        const Entries two {at(1, 1, 1), at(2, 1, 2)};
        table<LayoutChangeCase>({{"columns swapped",
                                     {two, {at(2, 1, 1), at(1, 1, 2)}, false, 1, {-3, 540}, "2:1,1,2,50"}},
            {"a computer more", {two, {at(3, 1, 1), at(1, 1, 2), at(2, 1, 3)}, false, 1, {-3, 540}, "3:1,1,2,50"}},
            {"a computer less",
                {{at(1, 1, 1), at(2, 1, 2), at(3, 2, 1)}, {at(1, 1, 1), at(3, 1, 2)}, false, 1, {1919, 540},
                    "3:1,2,7,50"}},
            // Two heartbeats before the upload compared entries 1, 2, then 3, 1: the next compares 2, 3, the one
            // after 1, the changed one.
            {"first entry moved",
                {{at(1, 1, 1), at(2, 1, 2), at(3, 1, 3)}, {at(1, 2, 2), at(2, 1, 2), at(3, 1, 3)}, false, 2, {960, 0},
                    "2:1,2,4,50"}},
            {"size changed only", {two, {at(1, 1, 1), at(2, 1, 2, 1280, 1024)}, false, 2, {1919, 540}, "2:1,2,7,50"}},
            {"uploaded here", {two, {at(2, 1, 1), at(1, 1, 2)}, true, 0, {-3, 540}, "2:1,1,2,50"}}});
    }
    void layoutChangedWhileRunning()
    {
        const auto &[before, after, here, beats, push, sent] = fetch<LayoutChangeCase>();
        setUp(before);
        // Cell, port and size of every monitor: of a layout, and of the one in force.
        const auto cells = [](const Entries &layout) {
            QMap<QString, QString> out;
            for (const SwitchModel::MonitorEntry &m : layout)
                out.insert(cellKey(m.row, m.col), QStringLiteral("%1,%2,%3").arg(m.port).arg(m.width).arg(m.height));
            return out;
        };
        const auto held = [this] {
            QMap<QString, QString> out;
            for (auto it = e->m_allMonitors.cbegin(); it != e->m_allMonitors.cend(); ++it) {
                const auto v = [&](const char *k) {
                    return it->value(QLatin1String(k)).toInt();
                };
                out.insert(it.key(), QStringLiteral("%1,%2,%3").arg(v("portNum")).arg(v("width")).arg(v("height")));
            }
            return out;
        };
        // Nothing changed: every heartbeat asks the port status and half the entries, in turn.
        const auto share = [](const Entries &layout) {
            QStringList out = texts({"46", "4a"});
            for (int i = 0; i < (layout.size() + 1) / 2; ++i)
                out << QStringLiteral("47");
            return out;
        };
        for (int beat = 0; beat < 2; ++beat) {
            e->m_device.heartBeat();
            QCoreApplication::processEvents();
            QTRY_VERIFY(!e->layoutWatching());
            QCOMPARE(takeReportIds(), share(before));
        }
        QCOMPARE(held(), cells(before));

        Entries uploaded;
        QList<QVariantMap> frames;
        for (SwitchModel::MonitorEntry m : after) {
            m.monitorIndex = int(uploaded.size()) + 1;
            uploaded.append(m);
            frames.append({{QStringLiteral("serialNum"), m.port}, {QStringLiteral("portNum"), m.monitorIndex},
                {QStringLiteral("x"), m.row}, {QStringLiteral("y"), m.col}, {QStringLiteral("w_l"), m.width & 0xFF},
                {QStringLiteral("w_h"), m.width >> 8}, {QStringLiteral("h_l"), m.height & 0xFF},
                {QStringLiteral("h_h"), m.height >> 8}});
        }
        if (here)
            QVERIFY(e->m_device.sendAllCommand(frames.size() + 1, frames,
                {{QStringLiteral("mouse_info"), frames.size() + 1}, {QStringLiteral("position"), 4}}));
        else
            VirtualHid::model().monitors = uploaded;
        QCOMPARE(VirtualHid::model().monitors, uploaded);

        VirtualHid::setAnswerDelay(20); // more than a turn may take: one answer a turn
        int took = -1;
        int turnsReading = 0;
        for (int beat = 0; beat <= 3 && took < 0; ++beat) {
            if (beat > 0)
                e->m_device.heartBeat();
            QCoreApplication::processEvents(); // the queued watch, or the reaction to our own upload
            for (int turn = 0; turn < 200 && (e->layoutWatching() || e->layoutReading()); ++turn) {
                if (e->layoutReading()) {
                    ++turnsReading;
                    QCOMPARE(held(), cells(before));
                }
                VirtualHid::clearSentFrames();
                moveTo(960 + turn % 2, 540);
                QCOMPARE(takeReportIds(), QStringList());
                QTest::qWait(2); // a turn; Windows' dispatcher does not wake a waiting processEvents for a timer
            }
            if (held() == cells(after))
                took = beat;
        }
        VirtualHid::setAnswerDelay(0);
        QCOMPARE(took, beats);
        QVERIFY2(turnsReading > int(uploaded.size()), qPrintable(QString::number(turnsReading)));
        QCOMPARE(takeLog(QStringLiteral(": reading the switch's layout again$")).size(), 1);

        // The new layout in force: it decides the crossing, and an idle heartbeat costs what it did.
        VirtualHid::clearSentFrames();
        e->m_device.heartBeat();
        QCoreApplication::processEvents();
        QTRY_VERIFY(!e->layoutWatching());
        QCOMPARE(takeReportIds(), share(after));
        QCOMPARE(held(), cells(after));
        moveTo(push.x(), push.y()); // straight from where the pointer was while the layout was read
        QCOMPARE(takeSwitchRequests(), texts({sent}));
    }
};

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    TestMonitor test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_monitor.moc"
