// The switching engine: its decisions as plain functions, then scenes of the engine over the virtual switch.

#include "enginefixture.h"
#include "messagelog.h"
#include "platform/null/nullinputhooks.h"

#include <QCursor>
#include <QGuiApplication>
#include <QtTest>

#include <climits>
#include <map>
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

using namespace MonitorLogic;
using V = QVector<int>;

// clang-format off
V nums(const QString &text)
{
    V out;
    for (auto it = QRegularExpression(QStringLiteral("-?\\d+")).globalMatch(text); it.hasNext();)
        out << it.next().captured().toInt();
    return out;
}
QString joined(const V &values)
{
    QStringList out;
    for (const int v : values) out << QString::number(v);
    return out.join(QLatin1Char(','));
}
// Cases "in,...=out,..." through f, which gets the first `inputs` numbers and returns the rest.
template <typename F> void table(const char *cases, int inputs, F f)
{
    QStringList out;
    for (const QString &c : QString::fromLatin1(cases).split(QLatin1Char(' ')))
        out << joined(nums(c).mid(0, inputs)) + QLatin1Char('=') + joined(f(nums(c)));
    QCOMPARE(out, QString::fromLatin1(cases).split(QLatin1Char(' ')));
}
// A 1920 x 1080 monitor in cell (1, col) of a computer whose origin is (1, 1); or of width 0.
OwnCell monitorAt(int col, int size = 1)
{
    return makeOwnCell(1, 1, col, QRect((col - 1) * 1920, 0, 1920 * size, 1080));
}
V band(const OwnCell &m, V p) { const Band b = classify(p[0], p[1], m, 5, 10); return {b.code, b.percent}; }
V xy(QPoint p) { return {p.x(), p.y()}; }
V walked(V a)
{
    V cells;
    walk(a[0], {a[1], a[2]}, a[3], [&](Cell c) { return cells << c.row << c.col, false; });
    return cells.isEmpty() ? V {0} : V {cells.size() / 2} + cells.mid(0, 2) + cells.mid(cells.size() - 2);
}
QString values(const QVariantMap &map, std::initializer_list<const char *> keys) // of these keys, in this order
{
    QStringList out;
    for (const char *key : keys) out << map.value(QLatin1String(key)).toString();
    return map.isEmpty() ? QStringLiteral("missing") : out.join(QLatin1Char(','));
}
// clang-format on

// The engine's clock in tests: a millisecond further at every look, so that moves one after another are a
// millisecond apart; "after" steps put time in between.
std::int64_t s_now = 1000;
std::int64_t testClock()
{
    return s_now++;
}

// The engine, this computer on port 1, over a layout of "port@row,col[:WxH]", "absent:port" and the
// screens "screen:x,y,w,h" (just "screen": none; no screen at all: as the layout says).
Monitor *setUp(const QString &layout)
{
    QVector<SwitchModel::MonitorEntry> monitors;
    std::optional<QVector<QRect>> screens;
    quint8 mask = 0xFF;
    for (const QString &t : layout.split(QLatin1Char(' '))) {
        const V n = nums(t);
        if (t.startsWith(QLatin1String("screen")))
            screens = screens.value_or(QVector<QRect>()) << QRect(n.value(0), n.value(1), n.value(2), n.value(3));
        else if (t.startsWith(QLatin1String("absent")))
            mask &= ~(1 << (n[0] - 1));
        else
            monitors.append({n[0], monitors.size() + 1, n[1], n[2], n.value(3, 1920), n.value(4, 1080)});
    }
    Monitor *engine = setUpEngine(monitors, 1, mask, 4, screens);
    engine->m_clock = &testClock;
    return engine;
}

class TestMonitor : public QObject
{
    Q_OBJECT

    FakeInputHooks m_hooks;

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() { InputHooks::setInstance(&m_hooks), m_hooks = {}; }
    void cleanup()
    {
        InputHooks::setInstance(nullptr);
        QTest::qWait(60); // no single-shot of one case may end the pending switch of the next
        Monitor::getInstance()->m_switchPending = 0;
    }

    void decisions()
    {
        // Bands, monitor,x,y=code,percent: on the first monitor, the second, and one of size 0 in the first's place.
        table("1,960,540=0,0 1,0,0=1,0 1,-40,-3=1,0 1,3,10=1,0 1,3,11=2,1 1,5,540=2,50 1,6,540=0,0 1,7,40=0,0 "
              "1,-50,500=2,46 1,3,1070=3,0 1,3,1069=2,98 1,960,0=4,50 1,960,5=4,50 1,960,6=0,0 1,960,1076=5,50 "
              "1,480,5000=5,25 1,1920,5=6,0 1,1917,300=7,27 1,5000,300=7,27 1,1921,5=0,0 1,1920,1075=8,0 2,0,0=1,0 "
              "2,1922,500=2,46 2,2880,0=4,50 0,960,0=0,0 0,1917,300=7,27",
            3, [](V p) { return band(monitorAt(std::max(p[0], 1), p[0] > 0), p.mid(1)); });
        // Parking points, monitor,setting=x,y; placements on arrival, direction,percent,column=x,y.
        table("1,0=1907,1067 1,1=13,13 1,2=1907,13 1,3=13,1067 1,4=1907,1067 1,5=960,540 1,7=1907,1067 2,1=1933,13 "
              "2,5=2880,540",
            2, [](V s) { return xy(parkingPoint(s[1], monitorAt(s[0]), 10)); });
        table("1,50,1=3827,1067 2,50,1=3832,540 3,50,1=3827,13 4,50,1=2880,1072 5,50,1=2880,8 6,50,1=1933,1067 "
              "7,50,1=1928,540 8,50,1=1933,13 0,50,1=0,0 9,50,1=0,0 4,100,1=3840,1072 7,0,-1=-1912,0 1,0,0=1907,1067",
            3, [](V a) { return xy(placement(a[0], a[1], QRect(a[2] * 1920, 0, 1920, 1080), 5, 10)); });
        // Walks, code,row,col,cyclic=cells,first,last: edges along the row or column, corners diagonally.
        table("2,3,1,0=0 2,3,1,1=16,3,16,3,1 7,3,16,1=16,3,1,3,16 4,1,5,1=16,16,5,1,5 7,3,12,0=4,3,13,3,16 "
              "1,1,1,0=0 1,1,1,1=16,16,16,1,1 3,1,1,1=1,1,1,1,1 8,16,16,1=16,1,1,16,16 8,5,3,1=14,6,4,5,3 "
              "1,3,5,1=14,2,4,3,5 6,5,3,1=7,4,4,5,3 3,16,10,1=7,10,16,16,10 6,16,10,0=6,15,11,10,16 1,20,1,1=0",
            4, walked);
        QCOMPARE(V({truncToInt(-1.5), truncToInt(qQNaN()), truncToInt(-1e20), truncToInt(1e20)}),
            V({-1, 0, INT_MIN, INT_MAX}));
        // Speed over the 100 ms up to a moment: the first and the last position in them count; of two in one
        // millisecond (or a clock gone back), the later.
        SpeedMeter meter;
        meter.add(2000, {900, 900}), meter.add(2000, {0, 0}), meter.add(2010, {1000, 0}), meter.add(2020, {900, 900});
        meter.add(2020, {30, 40}), meter.add(2015, {60, 80});
        QCOMPARE(meter.count(), 3);
        QCOMPARE(V({int(meter.speed(2020, 100) * 100), int(meter.speed(2100, 100) * 100),
                     int(meter.speed(2110, 100) * 100), int(meter.speed(2121, 100) * 100)}),
            V({100, 100, 943, 0}));
        // A ring of the latest: 300 moves of 1 px, one a millisecond, still measure 100 ms.
        for (int t = 0; t < 300; ++t)
            meter.add(3000 + t, {t, 0});
        QCOMPARE(V({meter.count(), int(meter.speed(3299, 100) * 100), int(meter.speed(3350, 100) * 100)}),
            V({SpeedMeter::Capacity, 100, 49}));
        const Monitor fresh; // offline, no wrap-around and no button held until the switch says otherwise
        QCOMPARE(V({fresh.m_devstatus, fresh.m_cyclicSwitch, fresh.m_leftButtonDown}), V({0, 0, 0}));
        // The tray's note: crossings need X11, by the session type or a Wayland compositor's socket.
        QStringList notes;
        for (const char *var : {"", "XDG_SESSION_TYPE=x11", "XDG_SESSION_TYPE=Wayland", "WAYLAND_DISPLAY=wayland-0"}) {
            const QByteArray v(var);
            if (!v.isEmpty())
                qputenv(v.left(v.indexOf('=')).constData(), v.mid(v.indexOf('=') + 1));
            notes << fresh.property("sessionNote").toString();
            qunsetenv("XDG_SESSION_TYPE"), qunsetenv("WAYLAND_DISPLAY");
        }
        const QString x11 = QStringLiteral("Crossings need an X11 session; this is a Wayland session.");
        QCOMPARE(notes, QStringList({QString(), QString(), x11, x11}));
    }

    // The hook procedures neither write the log nor drive the scene: both come right after the event, from the
    // event loop, once for all that changed in it.
    void hookPathLeavesWork()
    {
        MessageLog log;
        Monitor *e = setUp(QStringLiteral("2@1,1 1@1,2 1@1,3"));
        QSignalSpy changed(e, &Monitor::monitorChanged);
        log.clear();
        const auto after = [&] {
            const QString now = QStringLiteral("%1 %2").arg(changed.size()).arg(log.lines().size());
            QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
            return now + QStringLiteral(" then %1 %2").arg(changed.size()).arg(log.lines().size());
        };
        QCOMPARE((moveTo(500, 500), after()), QStringLiteral("0 0 then 1 0"));
        QCOMPARE((moveTo(2500, 500), moveTo(600, 500), after()), QStringLiteral("1 0 then 2 0"));
        QCOMPARE((moveTo(-50, 500), after()), QStringLiteral("2 0 then 3 1"));
        QVERIFY2(log.lines().value(0).startsWith(QLatin1String("postSwitchCmd nextportnum 2")),
            qPrintable(log.lines().value(0)));
        VirtualHid::model().mouseStatus = {1, 1, 3, 7, 50}, VirtualHid::model().currentPort = 1;
        QCOMPARE((keyEvent(HookMessage::KeyDown, FocusArrivalKey), after()), QStringLiteral("3 1 then 4 1"));
        VirtualHid::model().mouseStatus = {2, 1, 1, 7, 50};
        QCOMPARE((keyEvent(HookMessage::KeyDown, FocusArrivalKey), after()), QStringLiteral("4 1 then 4 2"));
    }

    // The element repeats a change to the scene at once, but a hand-over only as the pointer's hold ends: the crossing
    // is then still under way on the other computer. An arrival meanwhile is said at once, the hand-over not after it.
    void sceneHearsOfHandOverAsHoldEnds()
    {
        Monitor *e = setUp(QStringLiteral("2@1,1 1@1,2 1@1,3"));
        Monitor element;
        connect(e, &Monitor::monitorChanged, &element, &Monitor::notifyToQml);
        QSignalSpy scene(&element, &Monitor::monitorChanged);
        const auto now = [&] {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
            return scene.size();
        };
        const auto arrive = [&] {
            VirtualHid::model().mouseStatus = {1, 1, 2, 7, 50}, VirtualHid::model().currentPort = 1;
            return keyEvent(HookMessage::KeyDown, FocusArrivalKey), now();
        };
        QCOMPARE((moveTo(500, 500), now()), 1);
        QCOMPARE((moveTo(-50, 500), now()), 1);
        QTRY_COMPARE(scene.size(), 2);
        QCOMPARE(arrive(), 3);
        VirtualHid::refuseNextWithId(0x49);
        QCOMPARE((moveTo(600, 500), moveTo(-50, 600), now()), 4);
        QCOMPARE((moveTo(600, 500), moveTo(-50, 700), now()), 4);
        QCOMPARE(e->m_switchPending, 1);
        QCOMPARE(arrive(), 5);
        QTest::qWait(2 * Monitor::PendingMsec);
        QCOMPARE(scene.size(), 5);
    }

    // Steps "what" or "what=seen". m: a move; key: by code; mouse: the switch's word of an arrival (row, column,
    // direction, percent), arrive: and placed; focus, pending: set, or read; held: origin, extents, ports.
    void scenes_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("steps");
        const auto row = [](const char *name, const char *layout, const char *steps) {
            QTest::newRow(name) << QString::fromLatin1(layout) << QString::fromLatin1(steps);
        };
        row("layout agrees, desktop not at 0,0", "1@1,1 2@1,2 screen:-1920,0,1920,1080", "said=none");
        row("layout smaller than the screen", "1@1,1:800x600 screen:0,0,1920,1080",
            "said=The_switch's_layout_does_not_match_this_desktop:_1_monitor(s)_of_this_computer_in_the_layout_"
            "(800_x_600_at_0,0),_1_screen(s)_on_the_desktop_(1920_x_1080_at_0,0)");
        row("a screen more", "1@1,1 screen:0,0,1920,1080 screen:1920,0,1920,1080",
            "said=The_switch's_layout_does_not_match_this_desktop:_1_monitor(s)_of_this_computer_in_the_layout_(1920_x_"
            "1080_at_0,0),_2_screen(s)_on_the_desktop_(1920_x_1080_at_0,0,_1920_x_1080_at_1920,0)");
        row("neighbours too small", "1@1,1 2@1,2:0x0 3@2,1:1920x199",
            "said=The_switch's_layout_has_monitors_smaller_than_320_x_200_(port_2_in_cell_1,2,_0_x_0;_port_3_in_cell_2,"
            "1,_1920_x_199):_no_real_monitor_is_that_small");
        // Its edge bands would be out of reach: it stands for its screen, which the user leaves by its edges.
        row("a monitor of 1 x 1", "1@1,2:1x1 2@1,1 2@1,3 screen:0,0,1920,1080",
            "said=The_switch's_layout_gives_this_computer_a_monitor_of_1_x_1_in_cell_1,2,_smaller_than_320_x_200:_the_"
            "pointer_leaves_it_by_the_edges_of_1920_x_1080_at_0,0;The_switch's_layout_does_not_match_this_desktop:_1_"
            "monitor(s)_of_this_computer_in_the_layout_(1_x_1_at_0,0),_1_screen(s)_on_the_desktop_(1920_x_1080_at_0,0) "
            "m960,540=on frame=0,0,1920,1080,0 m0,540=held sent=2:1,1,2,50 focus1 pending0 m1919,300=held "
            "sent=2:1,3,7,27");
        row("key order", "1@1,10 1@1,2 2@1,3", "held=1,2|1,10=15360,0,17280,1080|1,2=0,0,1920,1080|1,10:1|1,2:1|1,3:2");
        row("one monitor, kept over a count of 0", "1@1,1", "count0 rebuild held=1,1|1,1=0,0,1920,1080|1,1:1");
        row("below-left", "1@3,2 1@2,3", "held=2,3|2,3=0,0,1920,1080|3,2=-1920,1080,0,2160|2,3:1|3,2:1");
        row("irregular", "1@10,5:100x100 1@8,7:100x100 1@9,5:100x100",
            "held=9,5|10,5=0,100,100,200|8,7=200,-100,300,0|9,5=0,0,100,100|10,5:1|8,7:1|9,5:1");
        row("another port in our cell", "1@1,1 2@1,1:1280x1024", "held=1,1|1,1=0,0,1920,1080|1,1:2");
        row("an entry unreadable", "1@1,1 2@1,2 3@1,3",
            "failentry count3 rebuild held=1,1|1,1=0,0,1920,1080|1,1:1|1,3:3");
        row("worked crossing", "1@2,2 2@2,3",
            "m960,540=on m1867,300=on after99 m1917,300=held sent=2:2,3,7,27 focus=2 pending=1 pointer=1907,1067 "
            "frame=0,0,1920,1080,1 signals=2 press=held buttons=1,0 release=held wheel=held buttons=0,0 m1917,300=held "
            "frames=0 m1917,301=held sent=none wait pending=0 m1918,301=on frames=0 focus1 offline m1919,540=on "
            "frames=0");
        // The speed is the pointer's over the 100 ms up to the move: from the first position seen in them.
        row("too slow, or nowhere to go", "1@1,1 2@1,2",
            "m960,540=on m1878,300=on after99 m1917,300=on sent=none after200 m0,540=on sent=none m1877,540=on "
            "after99 m1917,540=held sent=2:1,2,7,50");
        // Whether a crossing may happen is settled before the switch is asked which ports are present.
        row("slow slide, fast flick", "1@1,1 2@1,2",
            "m960,540=on after200 m1917,100=on slide0,5,60,20=none ids=none after200 m1000,5=on slide8,0,40,4=none "
            "ids=none m1909,540=on after1000 slide4,0,30,2=11 ids=4a,49 cmds=1");
        row("a button held", "1@1,1 2@1,2 2@2,2",
            "m960,540=on press=on m1917,300=on rpress=on release=on m1917,301=on sent=none rrelease=on after200 "
            "press=on m1920,1075=held sent=2:2,2,8,0");
        row("empty cell and absent port skipped", "1@1,1 3@1,3 2@1,4 absent:3",
            "m960,540=on m1919,540=held sent=2:1,4,7,50");
        row("wrap", "1@1,1 2@1,16 2@16,16",
            "m960,540=on m0,0=on m-3,270=on sent=none wrap1 m-3,271=held sent=2:1,16,2,25 focus1 pending0 m1,1=held "
            "sent=2:16,16,1,0");
        row("own port beyond", "1@1,1 1@1,16 2@2,1", "wrap1 m960,540=on m0,540=on sent=none");
        row("refused", "1@1,1 3@1,2 absent:3",
            "m960,540=on at5,5 m1919,540=on sent=3:1,2,7,50 focus=1 pending=0 pointer=5,5 frame=0,0,1920,1080,1 "
            "cmds=1 m1919,541=on m1919,900=on m1930,900=on ids=none cmds=0 m1000,900=on m1919,900=on sent=3:1,2,7,83 "
            "cmds=1");
        row("only absent ports beyond", "1@1,1 3@1,2 1@1,3 absent:3",
            "wrap1 m960,540=on m1919,540=on ids=4a m1919,600=on m1919,700=on ids=none sent=none cmds=0");
        row("crossing a layout smaller than the screen", "1@1,1:800x600 2@1,2 3@2,1 screen:0,0,1920,1080",
            "m400,300=on m1500,300=on m400,900=on sent=none m797,300=held sent=2:1,2,7,50 focus1 pending0 "
            "m400,597=held "
            "sent=3:2,1,5,50 focus1 pending0 m1919,300=held sent=2:1,2,7,50 focus1 pending0 m1990,150=held "
            "sent=2:1,2,7,25 focus1 pending0 m200,1079=held sent=3:2,1,5,25");
        row("highlight follows", "1@1,1 1@1,2:1280x1024 1@2,1:0x0",
            "m0,0=on m0,0=on frames=0 signals=0 m100,100=on m101,100=on signals=1 m2560,100=on "
            "frame=1920,0,1280,1024,0 m10,1000=on m10,1080=on m10,1500=on m10,2200=on frame=0,0,1920,1080,0 sent=none "
            "nullpress=on buttons=0,0");
        row("huge monitor, two screens", "1@1,1:65535x65535 2@1,2 screen:0,0,1920,1080 screen:1920,0,1280,1024",
            "m100,100=on frame=0,0,3200,1080,0 forget arrive1,1,2,50 frame=0,0,3200,1080,0 forget arrive1,5,2,50 "
            "frame=0,0,3200,1080,0");
        row("huge monitor, an empty screen", "1@1,1:65535x65535 2@1,2 screen",
            "m100,100=on frame=0,0,0,0,0 forget arrive1,1,2,50 frame=0,0,0,0,0 forget arrive1,5,2,50 frame=0,0,0,0,0");
        row("arrivals", "2@1,1 1@1,2 1@1,3:1280x1024 screen:0,0,1920,1080 screen:1920,0,1280,1024",
            "focus2 arrive1,3,7,50 pointer=1928,512 frame=1920,0,1280,1024,0 focus=1 signals=1 arrive1,3,12,50 "
            "pointer=0,0 frame=1920,0,1280,1024,0 arrive1,7,2,50 pointer=960,540 frame=0,0,1920,1080,0");
        // The entered monitor is the current one: the pointer can go straight back, also from a monitor not
        // the last one used.
        row("arrival, then straight back", "2@1,1 1@1,2 1@1,3",
            "focus2 arrive1,2,7,50 pointer=8,540 focus=1 after50 m-40,540=held sent=2:1,1,2,50 focus1 pending0 "
            "m2500,540=on focus2 focusat1 arrive1,2,7,50 after50 m-40,540=held sent=2:1,1,2,50");
        // The switch's key is an arrival only when the switch gives the focus to this port; any other is passed
        // on and changes nothing.
        row("focus-arrival key from a keyboard of our own", "1@1,1 2@1,2",
            "at5,5 key124=on pointer=5,5 focus=1 m960,540=on m1919,540=held sent=2:1,2,7,50 pending=1 key124=on "
            "pointer=1907,1067 focus=2 pending=1 focus1 mouse1,1,7,25 key124=on pointer=1907,1067 focus=1 focusat1 "
            "key124=on pointer=8,270 focus=1 pending=0 log=none");
        // Monitors of different sizes lie where the desktop has them: on the screens that match them, else
        // each after the sizes of those before it in its row or column.
        row("side by side, sizes differ", "1@1,1 1@1,2:1280x1024 2@1,3 screen:0,0,1920,1080 screen:1920,0,1280,1024",
            "placed=This_computer's_monitors_lie_where_its_screens_are "
            "held=1,1|1,1=0,0,1920,1080|1,2=1920,0,3200,1024|1,1:1|1,2:1|1,3:2 focus2 arrive1,2,7,50 pointer=1928,512 "
            "frame=1920,0,1280,1024,0 m2500,500=on m1925,500=on sent=none m3199,500=held sent=2:1,3,7,48 "
            "pointer=3187,1011");
        row("stacked, centred", "1@1,1 1@2,1:1280x1024 2@3,1 screen:0,0,1920,1080 screen:320,1080,1280,1024",
            "held=1,1|1,1=0,0,1920,1080|2,1=320,1080,1600,2104|1,1:1|2,1:1|3,1:2 focus2 arrive2,1,4,50 "
            "pointer=960,2096 frame=320,1080,1280,1024,0 m960,1500=on after150 m960,1600=on m960,2100=held "
            "sent=2:3,1,5,50 "
            "pointer=1587,2091");
        row("offset, bottoms aligned", "1@1,1:2560x1440 1@1,2 screen:0,0,2560,1440 screen:2560,360,1920,1080",
            "held=1,1|1,1=0,0,2560,1440|1,2=2560,360,4480,1440|1,1:1|1,2:1 focus2 arrive1,2,7,0 pointer=2568,360 "
            "arrive1,2,6,0 pointer=2573,1427 frame=2560,360,1920,1080,0 m100,100=on m3000,500=on "
            "frame=2560,360,1920,1080,0");
        row("a screen left of the primary one", "2@1,1 1@1,2 1@1,3 screen:-1920,0,1920,1080 screen:0,0,1920,1080",
            "held=1,2|1,2=-1920,0,0,1080|1,3=0,0,1920,1080|1,1:2|1,2:1|1,3:1 m500,500=on m-1000,500=on sent=none "
            "m-1000,0=on sent=none m-1920,500=held sent=2:1,1,2,46");
        row("screens do not match: one screen", "1@1,1 1@1,2:1280x1024 screen:0,0,3200,1080",
            "placed=This_computer's_monitors_are_placed_by_their_cells_in_the_switch's_layout:_2_monitor(s)_of_this_"
            "computer_in_the_layout,_1_screen(s)_on_the_desktop "
            "said=The_switch's_layout_does_not_match_this_desktop:_2_monitor(s)_of_this_computer_in_the_layout_(1920_x_"
            "1080_at_0,0,_1280_x_1024_at_1920,0),_1_screen(s)_on_the_desktop_(3200_x_1080_at_0,0) "
            "held=1,1|1,1=0,0,1920,1080|1,2=1920,0,3200,1024|1,1:1|1,2:1 focus2 arrive1,2,7,50 pointer=1928,512 "
            "frame=1920,0,1280,1024,0");
        row("screens do not match: sizes", "1@1,1 1@1,2:1280x1024 screen:0,0,1920,1080 screen:1920,0,1920,1080",
            "placed=This_computer's_monitors_are_placed_by_their_cells_in_the_switch's_layout:_the_sizes_differ:_1920_"
            "x_"
            "1080,_1280_x_1024_in_the_layout,_1920_x_1080,_1920_x_1080_on_the_desktop "
            "held=1,1|1,1=0,0,1920,1080|1,2=1920,0,3200,1024|1,1:1|1,2:1");
        row("screens do not match: one column, apart",
            "1@1,1 1@2,1:1280x1024 screen:0,0,1920,1080 "
            "screen:1920,1080,1280,1024",
            "placed=This_computer's_monitors_are_placed_by_their_cells_in_the_switch's_layout:_the_screens_do_not_lie_"
            "as_the_cells'_rows_and_columns_do held=1,1|1,1=0,0,1920,1080|2,1=0,1080,1280,2104|1,1:1|2,1:1");
        row("screens do not match: arrangement", "1@1,1 1@2,1:1280x1024 screen:0,0,1920,1080 screen:1920,0,1280,1024",
            "placed=This_computer's_monitors_are_placed_by_their_cells_in_the_switch's_layout:_the_screens_do_not_lie_"
            "as_the_cells'_rows_and_columns_do held=1,1|1,1=0,0,1920,1080|2,1=0,1080,1280,2104|1,1:1|2,1:1");
        row("arrival unreadable", "1@1,1",
            "focus2 at5,5 refuse arrive1,1,8,0 log=getMouseStatus_fail focus=1 pointer=5,5 frame=missing failports "
            "arrive1,1,8,0 log=getPortStatus_fail pointer=13,13");
        row("focus-arrival key", "1@1,1 2@1,2",
            "focus2 pending1 mouse1,1,7,25 at1,1 keyup124=on syskey124=on key65=on nullkey=on pointer=1,1 pending=1 "
            "key124=on pointer=8,270 pending=0 focus=1");
        row("switch missing, lost and back", "1@1,1 2@1,2",
            "unplug close connect=0 device=0,0 monitors=0 log=Connection_device_fail timers=100,1 plug beat "
            "device=1,1 read monitors=2 pending1 unplug beat device=0,2 pending=0 add1,2,1 plug beat device=1,3 "
            "monitors=2 read monitors=3 add2,2,2 connect=1 read monitors=4");
        row("replugged and pushed across at once", "1@1,1 2@1,2",
            "connect=1 m960,540=on unplug beat device=0,1 m1917,540=on sent=none plug beat device=1,2 m1917,541=held "
            "sent=2:1,2,7,50");
        row("another agent on our port", "1@1,1",
            "connect=1 beat note= twin beat note=Another_agent_is_on_port_1_of_the_switch");
        row("highlight settings", "1@1,1", "settings3,1 highlight=1,3,3,1 unplug highlight=0,1,2,0");
        row("hooks", "1@1,1",
            "hook=1,1,1 log=none unhook=2,0 failhooks hook=1,0,0 log=Mouse_Hook_failed;KB_Hook_Failed nullhooks "
            "hook=1,0,0 m960,540=off key65=off");
    }

    // A slow switch's layout is read one answer a turn of the event loop, and the layout in force
    // stays until the new one is complete; answers out of step during the read make it read again.
    void layoutReadInTurns()
    {
        MessageLog log;
        Monitor *e = setUp(QStringLiteral("1@1,1 2@1,2"));
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
        const auto widths = [e] {
            V out;
            for (const QVariantMap &m : qAsConst(e->m_allMonitors))
                out << m.value(QStringLiteral("width")).toInt();
            return out;
        };
        V perTurn;
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
        QVERIFY2(perTurn.first() == 0 && *std::max_element(perTurn.cbegin(), perTurn.cend()) == 1
                && std::accumulate(perTurn.cbegin(), perTurn.cend(), 0) == 12,
            qPrintable(joined(perTurn)));
        const V all = {1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008, 1009, 1010, 1011};
        QVERIFY(widths() == all && e->m_ownMonitors.size() == 6);
        // An entry's answer given twice: the entries after it shift by one until the closing port status
        // shows the stray answer; the read is thrown away and done again.
        monitors[0].width = 999;
        element.readPortStatus();
        VirtualHid::answerTwice(1);
        e->readLayoutToEnd();
        QCOMPARE(widths(), V({999}) + all.mid(1));
        QVERIFY(log.contains(QStringLiteral("Answers out of step during the layout read: reading the layout again")));
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
        QCOMPARE(widths(), V({999}) + all.mid(1));
        QVERIFY(log.contains(
            QStringLiteral("The switch did not confirm the layout just read: the previous one stays in force")));
        // Pulled during the read: one failed entry ends it, not one failure per entry left.
        element.readPortStatus();
        VirtualHid::unplug(), VirtualHid::clearSentFrames();
        e->readLayoutToEnd();
        QVERIFY(entriesAsked() == 1 && widths() == V({999}) + all.mid(1));
        QVERIFY(log.contains(
            QStringLiteral("The switch stopped answering during the layout read: the previous layout stays in force")));
    }

    // A layout uploaded while the agent runs: from another computer, found by the heartbeat's watch within
    // `beats` heartbeats; from this one, at once. Read one answer a turn (a slow switch): the old layout stays in
    // force until the new one is complete and the pointer's moves ask nothing of the switch meanwhile.
    void layoutChangedWhileRunning_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::addColumn<bool>("here"); // uploaded by this computer's own connection
        QTest::addColumn<int>("beats");
        QTest::addColumn<QString>("idle"); // what one heartbeat asks, the new layout in force
        QTest::addColumn<QPoint>("push");
        QTest::addColumn<QString>("sent");
        const auto row = [](const char *name, const char *before, const char *after, bool here, int beats,
                             const char *idle, QPoint push, const char *sent) {
            QTest::newRow(name) << QString::fromLatin1(before) << QString::fromLatin1(after) << here << beats
                                << QString::fromLatin1(idle) << push << QString::fromLatin1(sent);
        };
        row("columns swapped", "1@1,1 2@1,2", "2@1,1 1@1,2", false, 1, "46,4a,47", {-3, 540}, "2:1,1,2,50");
        row("a computer more", "1@1,1 2@1,2", "3@1,1 1@1,2 2@1,3", false, 1, "46,4a,47,47", {-3, 540}, "3:1,1,2,50");
        row("a computer less", "1@1,1 2@1,2 3@2,1", "1@1,1 3@1,2", false, 1, "46,4a,47", {1919, 540}, "3:1,2,7,50");
        // Two heartbeats before the upload compared entries 1, 2, then 3, 1: the next compares 2, 3, the one
        // after 1, the changed one.
        row("first entry moved", "1@1,1 2@1,2 3@1,3", "1@2,2 2@1,2 3@1,3", false, 2, "46,4a,47,47", {960, 0},
            "2:1,2,4,50");
        row("size changed only", "1@1,1 2@1,2", "1@1,1 2@1,2:1280x1024", false, 2, "46,4a,47", {1919, 540},
            "2:1,2,7,50");
        row("uploaded here", "1@1,1 2@1,2", "2@1,1 1@1,2", true, 0, "46,4a,47", {-3, 540}, "2:1,1,2,50");
    }
    void layoutChangedWhileRunning()
    {
        QFETCH(QString, before);
        QFETCH(QString, after);
        QFETCH(bool, here);
        QFETCH(int, beats);
        QFETCH(QString, idle);
        QFETCH(QPoint, push);
        QFETCH(QString, sent);
        MessageLog log;
        Monitor *e = setUp(before);
        // Cell, port and size of every monitor: of a layout, and of the one in force.
        const auto cells = [](const QString &layout) {
            QMap<QString, QString> out;
            for (const QString &t : layout.split(QLatin1Char(' '))) {
                const V n = nums(t);
                out.insert(cellKey(n[1], n[2]), joined({n[0], n.value(3, 1920), n.value(4, 1080)}));
            }
            return out;
        };
        const auto held = [e] {
            QMap<QString, QString> out;
            for (auto it = e->m_allMonitors.cbegin(); it != e->m_allMonitors.cend(); ++it)
                out.insert(it.key(), values(*it, {"portNum", "width", "height"}));
            return out;
        };
        const auto ids = [] {
            QStringList out;
            for (const QByteArray &f : VirtualHid::sentFrames())
                out << QString::number(uchar(f[0]), 16);
            VirtualHid::clearSentFrames();
            return out.join(QLatin1Char(','));
        };
        // Nothing changed: every heartbeat asks the port status and half the entries, in turn.
        const int count = int(cells(before).size());
        QStringList asked;
        for (int beat = 0; beat < 2; ++beat) {
            e->m_device.heartBeat(), QCoreApplication::processEvents();
            QTRY_VERIFY(!e->layoutWatching());
            asked << ids();
        }
        const QString share = QStringLiteral(",47").repeated((count + 1) / 2);
        QCOMPARE(asked, QStringList({QStringLiteral("46,4a") + share, QStringLiteral("46,4a") + share}));
        QCOMPARE(held(), cells(before));

        QVector<SwitchModel::MonitorEntry> uploaded;
        QList<QVariantMap> frames;
        for (const QString &t : after.split(QLatin1Char(' '))) {
            const V n = nums(t);
            uploaded.append({n[0], int(uploaded.size()) + 1, n[1], n[2], n.value(3, 1920), n.value(4, 1080)});
            const V values = {n[0], int(uploaded.size()), n[1], n[2], n.value(3, 1920) & 0xFF, n.value(3, 1920) >> 8,
                n.value(4, 1080) & 0xFF, n.value(4, 1080) >> 8};
            QVariantMap frame;
            for (const char *key : {"serialNum", "portNum", "x", "y", "w_l", "w_h", "h_l", "h_h"})
                frame.insert(QLatin1String(key), values[int(frame.size())]);
            frames.append(frame);
        }
        if (here)
            QVERIFY(e->m_device.sendAllCommand(frames.size() + 1, frames,
                {{QStringLiteral("mouse_info"), frames.size() + 1}, {QStringLiteral("position"), 4}}));
        else
            VirtualHid::model().monitors = uploaded;
        QCOMPARE(VirtualHid::model().monitors, uploaded);

        VirtualHid::setAnswerDelay(20); // more than a turn may take: one answer a turn
        int took = -1, turnsReading = 0;
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
                QCOMPARE(ids(), QString());
                QTest::qWait(2); // a turn; Windows' dispatcher does not wake a waiting processEvents for a timer
            }
            if (held() == cells(after))
                took = beat;
        }
        VirtualHid::setAnswerDelay(0);
        QCOMPARE(took, beats);
        QVERIFY2(turnsReading > int(uploaded.size()), qPrintable(QString::number(turnsReading)));
        QCOMPARE(
            log.lines().filter(QRegularExpression(QStringLiteral(": reading the switch's layout again$"))).size(), 1);

        // The new layout in force: it decides the crossing, and an idle heartbeat costs what it did.
        VirtualHid::clearSentFrames();
        e->m_device.heartBeat(), QCoreApplication::processEvents();
        QTRY_VERIFY(!e->layoutWatching());
        QCOMPARE(ids(), idle);
        QCOMPARE(held(), cells(after));
        moveTo(push.x(), push.y()); // straight from where the pointer was while the layout was read
        QStringList requests;
        for (const QByteArray &r : switchRequests())
            requests << QString::number(r[1]) + QLatin1Char(':') + joined({r[2], r[3], r[4], r[5]});
        QCOMPARE(requests.join(QLatin1Char(';')), sent);
    }

    void scenes()
    {
        QFETCH(QString, layout);
        QFETCH(QString, steps);
        MessageLog log;
        Monitor *e = setUp(layout);
        Monitor element;
        QSignalSpy changed(e, &Monitor::monitorChanged), status(&element, &Monitor::statusChanged);
        SwitchModel &sw = VirtualHid::model();
        // clang-format off
        const auto on = [](std::intptr_t r) { // swallowed, passed on to our hooks' next or to none
            return QString::fromLatin1(r == 1 ? "held" : r == 42 ? "on" : r ? "?" : "off"); };
        const auto button = [](std::uintptr_t m) { return [m](V) { return pointerEvent(m, 1000, 500); }; };
        const auto key = [](std::uintptr_t m) { return [m](V n) { return keyEvent(m, std::uint32_t(n[0])); }; };
        const auto lines = [&](const char *pattern) { // the log's lines that match, spaces as "_"
            QString said = log.lines().filter(QRegularExpression(QLatin1String(pattern))).join(QLatin1Char(';'));
            return log.clear(), said.isEmpty() ? QStringLiteral("none")
                                               : said.replace(QLatin1Char(' '), QLatin1Char('_')); };
        const std::map<std::string, std::function<std::intptr_t(V)>> events = {
            {"m", [](V n) { return moveTo(n[0], n[1]); }}, {"key", key(HookMessage::KeyDown)},
            {"keyup", key(HookMessage::KeyUp)}, {"syskey", key(HookMessage::SysKeyDown)},
            {"wheel", button(HookMessage::MouseWheel)},
            {"press", button(HookMessage::LeftButtonDown)}, {"release", button(HookMessage::LeftButtonUp)},
            {"rpress", button(HookMessage::RightButtonDown)}, {"rrelease", button(HookMessage::RightButtonUp)},
            {"nullkey", [](V) { return Monitor::keyboardProc(0, HookMessage::KeyDown, 0); }},
            {"nullpress", [](V) { return Monitor::mouseProc(0, HookMessage::LeftButtonDown, 0); }}};
        const std::map<std::string, int *> state = {{"focus", &e->m_curPort}, {"pending", &e->m_switchPending},
            {"wrap", &e->m_cyclicSwitch}, {"count", &e->m_listCount}};
        const std::map<std::string, std::function<void(V)>> actions = {
            {"after", [](V n) { s_now += n[0]; }}, {"offline", [&](V) { e->m_connected = false; }},
            {"focusat", [&](V n) { sw.currentPort = n[0]; }},
            {"forget", [&](V) { e->m_frameInfo.clear(); }}, {"wait", [](V) { QTest::qWait(100); }},
            {"at", [](V n) { QCursor::setPos(n[0], n[1]); }}, {"refuse", [](V) { VirtualHid::refuseNext(1); }},
            {"failports", [](V) { VirtualHid::failNextSend(0x4A); }}, {"read", [&](V) { e->readLayoutToEnd(); }},
            {"rebuild", [&](V) { e->buildLayout(), e->readLayoutToEnd(); }},
            {"twin", [](V) { static KV830Data other; other.open(1, 2); }},
            {"failentry", [](V) { VirtualHid::failNextSend(0x47, 1); }}, {"beat", [&](V) { e->m_device.heartBeat(); }},
            {"mouse", [&](V n) { sw.mouseStatus = {1, n[0], n[1], n[2], n[3]}; }},
            {"arrive", [&](V n) { sw.mouseStatus = {1, n[0], n[1], n[2], n[3]}, e->getMouseData(); }},
            {"unplug", [](V) { VirtualHid::unplug(); }}, {"plug", [](V) { VirtualHid::plug(); }},
            {"close", [&](V) { e->m_device.close(), e->m_device.m_status = 0, e->m_allMonitors.clear(); }},
            {"add", [&](V n) { sw.monitors.append({n[0], 9, n[1], n[2], 1920, 1080}); }},
            {"settings", [&](V n) { sw.highlightDuration = n[0], sw.cyclicSwitch = n[1]; }},
            {"failhooks", [&](V) { m_hooks.fail = true; }}, {"nullhooks", [](V) { static NullInputHooks none; InputHooks::setInstance(&none); }}};
        const std::map<std::string, std::function<QString()>> looks = {
            {"pointer", [] { return joined(xy(QCursor::pos())); }},
            {"frame", [&] { return values(e->m_frameInfo, {"x", "y", "width", "height", "switchport"}); }},
            {"buttons", [&] { return joined({e->m_leftButtonDown, e->m_rightButtonDown}); }},
            {"frames", [] { return QString::number(VirtualHid::sentFrames().size()); }},
            {"signals", [&] { const int n = changed.size(); return changed.clear(), QString::number(n); }},
            {"log", [&] { return lines("(?i)fail"); }}, {"said", [&] { return lines("^The switch's"); }},
            {"cmds", [&] { // switch requests logged
                const int n = log.lines().filter(QRegularExpression(QStringLiteral("^postSwitchCmd"))).size();
                return log.clear(), QString::number(n); }},
            {"ids", [] { // the report IDs of every frame sent since the last look
                QStringList ids;
                for (const QByteArray &f : VirtualHid::sentFrames())
                    ids << QString::number(uchar(f[0]), 16);
                VirtualHid::clearSentFrames();
                return ids.isEmpty() ? QStringLiteral("none") : ids.join(QLatin1Char(',')); }},
            {"placed", [&] { // leaves the log as it is
                const QStringList said = log.lines().filter(QRegularExpression(QStringLiteral("^This computer's")));
                return said.join(QLatin1Char(';')).replace(QLatin1Char(' '), QLatin1Char('_')); }},
            {"sent", [] {
                QStringList sent;
                for (const QByteArray &r : switchRequests())
                    sent << QString::number(r[1]) + QLatin1Char(':') + joined({r[2], r[3], r[4], r[5]});
                VirtualHid::clearSentFrames();
                return sent.isEmpty() ? QStringLiteral("none") : sent.join(QLatin1Char(';')); }},
            {"held", [&] {
                QStringList out {joined({e->m_originRow, e->m_originCol})};
                for (auto it = e->m_ownMonitors.begin(); it != e->m_ownMonitors.end(); ++it)
                    out << it.key() + QLatin1Char('=') + values(*it, {"min_x", "min_y", "max_x", "max_y"});
                for (auto it = e->m_allMonitors.begin(); it != e->m_allMonitors.end(); ++it)
                    out << it.key() + QLatin1Char(':') + values(*it, {"portNum"});
                return out.join(QLatin1Char('|')); }},
            {"connect", [&] { return QString::number(element.connectDevice()); }},
            {"device", [&] { return joined({element.devstatus(), status.size()}); }},
            {"monitors", [&] { return QString::number(e->m_allMonitors.size()); }},
            {"note", [&] { return element.portNote().replace(QLatin1Char(' '), QLatin1Char('_')); }},
            {"timers", [&] {
                return joined({element.m_speedTimer->interval(), e->m_device.m_heartBeatTimer->isActive()}); }},
            {"highlight", [&] {
                const QVariantMap h = element.getMouseHighlightData();
                return values(h, {"status", "duration"}) + QLatin1Char(',') + joined({h.size(), e->m_cyclicSwitch}); }},
            {"hook", [&] { return joined({element.setHook(), !!element.m_mouseHook, !!element.m_keyboardHook}); }},
            {"unhook", [&] {
                return element.uninstallHook(), joined({m_hooks.uninstalled, VirtualHid::openHandles()}); }}};
        // clang-format on
        QStringList out;
        for (const QString &step : steps.split(QLatin1Char(' '))) {
            const QString left = step.section(QLatin1Char('='), 0, 0);
            const std::string w = left.section(QRegularExpression(QStringLiteral("[-0-9]")), 0, 0).toStdString();
            const V n = nums(left);
            QVERIFY2(events.count(w) + state.count(w) + actions.count(w) + looks.count(w) + (w == "slide"),
                qPrintable(step));
            if (w == "slide") { // dx,dy,moves,ms apart: at which move the pointer was held, or none
                QString held = QStringLiteral("none");
                const QPoint from = e->m_lastPointer.value_or(QPoint());
                for (int i = 1; i <= n[2] && held == QLatin1String("none"); ++i) {
                    s_now += n[3] - 1;
                    if (moveTo(from.x() + i * n[0], from.y() + i * n[1]) == 1)
                        held = QString::number(i);
                    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
                }
                out << left + QLatin1Char('=') + held;
                continue;
            }
            const QString seen = events.count(w) ? on(events.at(w)(n))
                : looks.count(w)                 ? looks.at(w)()
                : !state.count(w)                ? (actions.at(w)(n), QString())
                : n.isEmpty()                    ? QString::number(*state.at(w))
                                                 : (*state.at(w) = n[0], QString());
            // What the hook procedures left for the event loop is done right after the event.
            QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
            out << (step.contains(QLatin1Char('=')) ? left + QLatin1Char('=') + seen : left);
        }
        QCOMPARE(out, steps.split(QLatin1Char(' ')));
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
