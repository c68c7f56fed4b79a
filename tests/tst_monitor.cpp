// The switching engine: its decisions as plain functions, then the engine over the virtual switch.

#include "enginefixture.h"
#include "fakeinputhooks.h"
#include "messagelog.h"

#include <QCursor>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

using namespace MonitorLogic;
using Entry = SwitchModel::MonitorEntry;

namespace
{
QVector<int> nums(const QString &text)
{
    QVector<int> out;
    for (auto it = QRegularExpression(QStringLiteral("-?\\d+")).globalMatch(text); it.hasNext();)
        out << it.next().captured().toInt();
    return out;
}

QString joined(const QVector<int> &values, QChar separator = QLatin1Char(','))
{
    QStringList out;
    for (const int v : values)
        out << QString::number(v);
    return out.join(separator);
}

// Cases "in,...=out,..." through f, which gets the first `inputs` numbers and returns the rest.
template <typename F> void table(const char *cases, int inputs, F f)
{
    QStringList out;
    for (const QString &c : QString::fromLatin1(cases).split(QLatin1Char(' ')))
        out << joined(nums(c).mid(0, inputs)) + QLatin1Char('=') + joined(f(nums(c)));
    QCOMPARE(out.join(QLatin1Char(' ')), QString::fromLatin1(cases));
}

// A 1920 x 1080 monitor in cell (1, col) of a computer whose origin is (1, 1).
OwnCell monitorAt(int col, int size = 1)
{
    return makeOwnCell(1, 1, col, 1920 * size, 1080 * size, (col - 1) * 1920, 0, col * 1920, 1080, 1, 1);
}

// A layout, "port@row,col" or "port@row,col:WxH" each, with "screen:x,y,w,h" (unless given, the
// screens are as the layout says) and "absent:port"; the engine set up over it, this computer port 1.
Monitor *setUp(const QString &layout)
{
    QVector<Entry> monitors;
    std::optional<QVector<QRect>> screens;
    quint8 mask = 0xFF;
    for (const QString &t : layout.split(QLatin1Char(' '))) {
        const QVector<int> n = nums(t);
        if (t.startsWith(QLatin1String("screen")))
            screens = screens.value_or(QVector<QRect>()) << QRect(n[0], n[1], n[2], n[3]);
        else if (t == QLatin1String("noscreen"))
            screens = QVector<QRect>();
        else if (t.startsWith(QLatin1String("absent")))
            mask &= ~(1 << (n[0] - 1));
        else
            monitors.append({n[0], monitors.size() + 1, n[1], n[2], n.value(3, 1920), n.value(4, 1080)});
    }
    return setUpEngine(monitors, 1, mask, 4, screens);
}

// The layout as the engine holds it: origin, own monitors' extents, every cell's port.
QString held()
{
    const Monitor *e = Monitor::getInstance();
    QStringList out {QStringLiteral("origin %1,%2").arg(e->m_originRow).arg(e->m_originCol)};
    for (auto it = e->m_ownMonitors.begin(); it != e->m_ownMonitors.end(); ++it)
        out << it.key() + QLatin1Char('=') + values(*it, {"min_x", "min_y", "max_x", "max_y"});
    for (auto it = e->m_allMonitors.begin(); it != e->m_allMonitors.end(); ++it)
        out << it.key() + QLatin1Char(':') + values(*it, {"portNum"});
    return out.join(QLatin1Char(' '));
}
} // namespace

class TestMonitor : public QObject
{
    Q_OBJECT

    FakeInputHooks *m_hooks = nullptr;

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() { m_hooks = new FakeInputHooks; }
    void cleanup()
    {
        delete m_hooks;
        QTest::qWait(60); // no single-shot of one case may end the pending switch of the next
        Monitor::getInstance()->m_switchPending = 0;
    }

    void decisions()
    {
        // Bands, x,y=code,percent: on the first monitor, the second, and one whose size is 0.
        const auto bands = [](OwnCell m) {
            return [m](QVector<int> p) {
                const Band b = classify(p[0], p[1], m, 5, 10);
                return QVector<int> {b.code, b.percent};
            };
        };
        table("960,540=0,0 0,0=1,0 -40,-3=1,0 3,10=1,0 3,11=2,1 5,540=2,50 6,540=0,0 7,40=0,0 -50,500=2,46 "
              "3,1070=3,0 3,1069=2,98 960,0=4,50 960,5=4,50 960,6=0,0 960,1076=5,50 480,5000=5,25 1920,5=6,0 "
              "1917,300=7,27 5000,300=7,27 1921,5=0,0 1920,1075=8,0",
            2, bands(monitorAt(1)));
        table("0,0=1,0 1922,500=2,46 2880,0=4,50", 2, bands(monitorAt(2)));
        table("960,0=4,0 1917,300=7,0", 2, bands(monitorAt(1, 0)));
        // Parking points, setting=x,y; placements on arrival, direction,percent,column=x,y.
        const auto park = [](OwnCell m) {
            return [m](QVector<int> s) {
                const QPoint p = parkingPoint(s[0], m, 10);
                return QVector<int> {p.x(), p.y()};
            };
        };
        table("0=1907,1067 1=13,13 2=1907,13 3=13,1067 4=1907,1067 5=960,540 7=1907,1067", 1, park(monitorAt(1)));
        table("1=1933,13 5=2880,540", 1, park(monitorAt(2)));
        table("1,50,1=3827,1067 2,50,1=3832,540 3,50,1=3827,13 4,50,1=2880,1072 5,50,1=2880,8 6,50,1=1933,1067 "
              "7,50,1=1928,540 8,50,1=1933,13 0,50,1=0,0 9,50,1=0,0 4,100,1=3840,1072 7,0,-1=-1912,0 1,0,0=1907,1067",
            3, [](QVector<int> a) {
                const QPoint p = placement(a[0], a[1], 0, a[2], 1920, 1080, 5, 10);
                return QVector<int> {p.x(), p.y()};
            });
        // Walks, code,row,col,cyclic=cells,first row,col,last row,col: edges along the row or
        // column, corners along the diagonal through the cell; wrapping only when cyclic.
        table("2,3,1,0=0 2,3,1,1=16,3,16,3,1 7,3,16,1=16,3,1,3,16 4,1,5,1=16,16,5,1,5 7,3,12,0=4,3,13,3,16 "
              "1,1,1,0=0 1,1,1,1=16,16,16,1,1 3,1,1,1=1,1,1,1,1 8,16,16,1=16,1,1,16,16 8,5,3,1=14,6,4,5,3 "
              "1,3,5,1=14,2,4,3,5 6,5,3,1=7,4,4,5,3 3,16,10,1=7,10,16,16,10 6,16,10,0=6,15,11,10,16 1,20,1,1=0",
            4, [](QVector<int> a) {
                QVector<int> cells;
                walk(a[0], {a[1], a[2]}, a[3], [&](Cell c) { return cells << c.row << c.col, false; });
                return cells.isEmpty()
                    ? QVector<int> {0}
                    : QVector<int> {cells.size() / 2} + cells.mid(0, 2) + cells.mid(cells.size() - 2);
            });
        QCOMPARE(truncToInt(-1.5), -1);
        QCOMPARE(truncToInt(std::numeric_limits<double>::quiet_NaN()), 0);
        QCOMPARE(truncToInt(-std::numeric_limits<double>::infinity()), std::numeric_limits<int>::min());
        // Speed: only the first and the last position count; of two in one millisecond, the later.
        SpeedMeter meter;
        meter.add(2000, {900, 900});
        meter.add(2000, {0, 0});
        meter.add(2010, {1000, 0});
        meter.add(2020, {900, 900});
        meter.add(2020, {30, 40});
        QCOMPARE(meter.count(), 3);
        QCOMPARE(meter.take(100), 0.5);
        QCOMPARE(meter.take(100), 0.0); // each take starts a new period
    }

    void layout_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("held");
        QTest::newRow("key order") << "1@1,10 1@1,2 2@1,3"
                                   << "origin 1,2 1,10=15360,0,17280,1080 1,2=0,0,1920,1080 1,10:1 1,2:1 1,3:2";
        QTest::newRow("one monitor") << "1@1,1"
                                     << "origin 1,1 1,1=0,0,1920,1080 1,1:1";
        QTest::newRow("each its own size") << "1@1,1 1@1,2:1280x1024"
                                           << "origin 1,1 1,1=0,0,1920,1080 1,2=1280,0,2560,1024 1,1:1 1,2:1";
        QTest::newRow("below-left") << "1@3,2 1@2,3"
                                    << "origin 2,3 2,3=0,0,1920,1080 3,2=-1920,1080,0,2160 2,3:1 3,2:1";
        // In key order: up and right does not move the origin, up in the same column does.
        QTest::newRow("irregular")
            << "1@10,5:100x100 1@8,7:100x100 1@9,5:100x100"
            << "origin 9,5 10,5=0,100,100,200 8,7=200,-100,300,0 9,5=0,0,100,100 10,5:1 8,7:1 9,5:1";
        QTest::newRow("another port in our cell") << "1@1,1 2@1,1:1280x1024"
                                                  << "origin 1,1 1,1=0,0,1920,1080 1,1:2";
    }

    void layout()
    {
        QFETCH(QString, layout);
        setUp(layout);
        QTEST(held(), "held");
        // A count of 0 leaves the layout as it was.
        Monitor *engine = Monitor::getInstance();
        engine->m_listCount = 0;
        engine->buildLayout();
        QTEST(held(), "held");
    }

    void layoutEntryUnreadable()
    {
        setUp(QStringLiteral("1@1,1 2@1,2 3@1,3"));
        VirtualHid::failNextSend(0x47, 1);
        Monitor::getInstance()->buildLayout();
        QCOMPARE(held(), QStringLiteral("origin 1,1 1,1=0,0,1920,1080 1,1:1 1,3:3"));
    }

    // Each layout read compares this computer's monitors in it with the desktop's screens and
    // looks for other ports' monitors of no area: a line each, none when all is well.
    void layoutChecked_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("said");
        const QString mismatch = QStringLiteral("The switch's layout does not match this desktop: 1 monitor(s) of this "
                                                "computer in the layout (%1), %2 screen(s) on the desktop (%3)");
        QTest::newRow("agree, desktop not at 0,0") << "1@1,1 2@1,2 screen:-1920,0,1920,1080" << QString();
        QTest::newRow("smaller than the screen") << "1@1,1:800x600 screen:0,0,1920,1080"
                                                 << mismatch.arg(QStringLiteral("800 x 600 at 0,0"),
                                                        QStringLiteral("1"), QStringLiteral("1920 x 1080 at 0,0"));
        QTest::newRow("a screen more") << "1@1,1 screen:0,0,1920,1080 screen:1920,0,1920,1080"
                                       << mismatch.arg(QStringLiteral("1920 x 1080 at 0,0"), QStringLiteral("2"),
                                              QStringLiteral("1920 x 1080 at 0,0, 1920 x 1080 at 1920,0"));
        QTest::newRow("neighbours of no area")
            << "1@1,1 2@1,2:0x0 3@2,1:1920x0"
            << "The switch's layout has monitors of no area (port 2 in cell 1,2, port 3 in cell 2,1): the pointer "
               "can cross to them but never back";
    }

    void layoutChecked()
    {
        QFETCH(QString, layout);
        MessageLog log;
        setUp(layout);
        QTEST(log.lines().filter(QRegularExpression(QStringLiteral("^The switch's layout"))).join(QLatin1Char('|')),
            "said");
    }

    // Steps are actions, or "what=expected"; they come back with what was seen. m: a move,
    // key/keyup/syskey: a key with its virtual-key code, arrive: the switch's word of an arrival
    // (row, column, direction, percent) and the placement; focus, pending, speed (percent): set
    // the engine's state, or with "=" read it. sent: the switch requests since the last look.
    void scenes_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("steps");
        const auto row = [](const char *name, const char *layout, const char *steps) {
            QTest::newRow(name) << QString::fromLatin1(layout) << QString::fromLatin1(steps);
        };
        row("worked crossing", "1@2,2 2@2,3",
            "m960,540=on speed50 m1917,300=held sent=2:2,3,7,27 focus=2 pending=1 pointer=1907,1067 "
            "frame=0,0,1920,1080,1 signals=2 press=held buttons=1,0 release=held wheel=held buttons=0,0 m1917,300=held "
            "frames=0 m1917,301=held sent=none wait pending=0 m1918,301=on frames=0 focus1 offline m1919,540=on "
            "frames=0");
        row("too slow, or nowhere to go", "1@1,1 2@1,2",
            "m960,540=on speed39 m1917,300=on sent=none speed40 m0,540=on sent=none m1917,540=held sent=2:1,2,7,50");
        row("a button held", "1@1,1 2@1,2 2@2,2",
            "m960,540=on press=on m1917,300=on rpress=on release=on m1917,301=on sent=none rrelease=on speed0 "
            "press=on m1920,1075=held sent=2:2,2,8,0");
        row("empty cell and absent port skipped", "1@1,1 3@1,3 2@1,4 absent:3",
            "m960,540=on m1919,540=held sent=2:1,4,7,50");
        row("wrap", "1@1,1 2@1,16 2@16,16",
            "m960,540=on m0,0=on m-3,270=on sent=none wrap m-3,271=held sent=2:1,16,2,25 "
            "focus1 pending0 m1,1=held sent=2:16,16,1,0");
        row("own port beyond", "1@1,1 1@1,16 2@2,1", "wrap m960,540=on m0,540=on sent=none");
        row("refused", "1@1,1 3@1,2 absent:3",
            "m960,540=on at5,5 m1919,540=on sent=3:1,2,7,50 focus=1 pending=0 pointer=5,5 frame=0,0,1920,1080,1 "
            "m1919,541=on sent=3:1,2,7,50");
        // The layout's monitor is smaller than the screen: the rest of the screen is inside the
        // desktop, not past the monitor's right or bottom side.
        row("layout smaller than the screen", "1@1,1:800x600 2@1,2 3@2,1 screen:0,0,1920,1080",
            "m400,300=on m1500,300=on m400,900=on sent=none m797,300=held sent=2:1,2,7,50 focus1 pending0 "
            "m400,597=held "
            "sent=3:2,1,5,50 focus1 pending0 m1919,300=held sent=2:1,2,7,50 focus1 pending0 m1990,150=held "
            "sent=2:1,2,7,25 focus1 pending0 m200,1079=held sent=3:2,1,5,25");
        row("highlight follows", "1@1,1 1@1,2:1280x1024 1@2,1:0x0",
            "m0,0=on m0,0=on frames=0 signals=0 m100,100=on m101,100=on signals=1 m2560,100=on "
            "frame=1280,0,1280,1024,0 m10,1000=on m10,1080=on m10,1500=on m10,2200=on frame=0,0,1920,1080,0 sent=none "
            "nullpress=on buttons=0,0");
        // Huge sizes from the switch never size the highlight beyond this desktop.
        const char *huge = "m100,100=on frame=%1 forget arrive1,1,2,50 frame=%1 forget arrive1,5,2,50 frame=%1";
        QTest::newRow("huge monitor, one screen") << "1@1,1:65535x65535 2@1,2 screen:0,0,1920,1080"
                                                  << QString::fromLatin1(huge).arg(QStringLiteral("0,0,1920,1080,0"));
        QTest::newRow("huge monitor, two screens")
            << "1@1,1:65535x65535 2@1,2 screen:0,0,1920,1080 screen:1920,0,1280,1024"
            << QString::fromLatin1(huge).arg(QStringLiteral("0,0,3200,1080,0"));
        QTest::newRow("huge monitor, no screen")
            << "1@1,1:65535x65535 2@1,2 noscreen" << QString::fromLatin1(huge).arg(QStringLiteral("0,0,0,0,0"));
        row("arrivals", "2@1,1 1@1,2 1@1,3:1280x1024 screen:0,0,1920,1080 screen:1920,0,1280,1024",
            "focus2 arrive1,3,7,50 pointer=1288,512 frame=1280,0,1280,1024,0 focus=1 signals=1 arrive1,3,12,50 "
            "pointer=0,0 frame=1280,0,1280,1024,0 arrive1,7,2,50 pointer=960,540 frame=0,0,1920,1080,0");
        row("arrival unreadable", "1@1,1",
            "focus2 at5,5 refuse arrive1,1,8,0 log=getMouseStatus_fail focus=1 pointer=5,5 frame=missing failports "
            "arrive1,1,8,0 log=getPortStatus_fail pointer=13,13");
        row("focus-arrival key", "1@1,1 2@1,2",
            "focus2 pending1 status1,1,7,25 at1,1 keyup124=on syskey124=on key65=on nullkey=on pointer=1,1 pending=1 "
            "key124=on pointer=8,270 pending=0 focus=1");
    }

    void scenes()
    {
        QFETCH(QString, layout);
        QFETCH(QString, steps);
        Monitor *e = setUp(layout);
        MessageLog log;
        QSignalSpy changed(e, &Monitor::monitorChanged);
        const QHash<QString, std::uintptr_t> messages = {{QStringLiteral("press"), HookMessage::LeftButtonDown},
            {QStringLiteral("release"), HookMessage::LeftButtonUp},
            {QStringLiteral("rpress"), HookMessage::RightButtonDown},
            {QStringLiteral("rrelease"), HookMessage::RightButtonUp},
            {QStringLiteral("wheel"), HookMessage::MouseWheel}, {QStringLiteral("key"), HookMessage::KeyDown},
            {QStringLiteral("keyup"), HookMessage::KeyUp}, {QStringLiteral("syskey"), HookMessage::SysKeyDown}};
        const auto result = [](std::intptr_t r) {
            return r == FakeInputHooks::PassedOn ? QStringLiteral("on")
                : r == 1                         ? QStringLiteral("held")
                                                 : QString::number(r);
        };
        QStringList out;
        for (const QString &step : steps.split(QLatin1Char(' '))) {
            const QString left = step.section(QLatin1Char('='), 0, 0);
            const QString what = left.section(QRegularExpression(QStringLiteral("[-0-9]")), 0, 0);
            const QVector<int> n = nums(left);
            const bool look = step.contains(QLatin1Char('='));
            QString seen;
            if (what == QLatin1String("m"))
                seen = result(moveTo(n[0], n[1]));
            else if (what.startsWith(QLatin1String("null")))
                seen = result(what.endsWith(QLatin1String("key"))
                        ? Monitor::keyboardProc(0, HookMessage::KeyDown, 0)
                        : Monitor::mouseProc(0, HookMessage::LeftButtonDown, 0));
            else if (what.contains(QLatin1String("key")))
                seen = result(keyEvent(messages.value(what), std::uint32_t(n.value(0))));
            else if (messages.contains(what))
                seen = result(pointerEvent(messages.value(what), 1000, 500));
            else if (what == QLatin1String("focus") || what == QLatin1String("pending")) {
                int &value = what == QLatin1String("focus") ? e->m_curPort : e->m_switchPending;
                look ? void(seen.setNum(value)) : void(value = n[0]);
            } else if (what == QLatin1String("speed"))
                e->m_mouseSpeed = n[0] / 100.0;
            else if (what == QLatin1String("wrap"))
                e->m_cyclicSwitch = 1;
            else if (what == QLatin1String("offline"))
                e->m_connected = false;
            else if (what == QLatin1String("forget"))
                e->m_frameInfo.clear();
            else if (what == QLatin1String("wait"))
                QTest::qWait(100);
            else if (what == QLatin1String("refuse"))
                VirtualHid::refuseNext(1);
            else if (what == QLatin1String("failports"))
                VirtualHid::failNextSend(0x4A);
            else if (what == QLatin1String("at"))
                QCursor::setPos(n[0], n[1]);
            else if (what == QLatin1String("status") || what == QLatin1String("arrive")) {
                VirtualHid::model().mouseStatus = {1, n[0], n[1], n[2], n[3]};
                if (what == QLatin1String("arrive"))
                    e->getMouseData();
            } else if (what == QLatin1String("pointer"))
                seen = joined({QCursor::pos().x(), QCursor::pos().y()});
            else if (what == QLatin1String("frame"))
                seen = frame();
            else if (what == QLatin1String("buttons"))
                seen = joined({e->m_leftButtonDown, e->m_rightButtonDown});
            else if (what == QLatin1String("frames"))
                seen.setNum(VirtualHid::sentFrames().size());
            else if (what == QLatin1String("signals"))
                seen.setNum(changed.count()), changed.clear();
            else if (what == QLatin1String("log")) {
                seen = log.lines()
                           .filter(QRegularExpression(QStringLiteral("fail$")))
                           .join(QLatin1Char(';'))
                           .replace(QLatin1Char(' '), QLatin1Char('_'));
                log.clear();
            } else if (what == QLatin1String("sent")) {
                QStringList sent;
                for (const QByteArray &r : switchRequests())
                    sent << QStringLiteral("%1:%2,%3,%4,%5")
                                .arg(int(r[1]))
                                .arg(int(r[2]))
                                .arg(int(r[3]))
                                .arg(int(r[4]))
                                .arg(int(r[5]));
                seen = sent.isEmpty() ? QStringLiteral("none") : sent.join(QLatin1Char(';'));
                VirtualHid::clearSentFrames();
            } else
                QFAIL(qPrintable(step));
            out << (look ? left + QLatin1Char('=') + seen : left);
        }
        QCOMPARE(out.join(QLatin1Char(' ')), steps);
    }

    void switchMissingLostAndBack()
    {
        // Without a switch the hooks, the speed timer and the heartbeat start all the same: the
        // heartbeat is what picks the switch up once it is attached.
        MessageLog log;
        VirtualHid::reset();
        VirtualHid::unplug();
        VirtualHid::model().monitors = {{1, 1, 1, 1, 1920, 1080}, {2, 1, 1, 2, 1920, 1080}};
        Monitor *engine = Monitor::getInstance();
        engine->m_device.close();
        engine->m_device.m_status = 0; // as at start-up
        engine->m_allMonitors.clear();
        Monitor element;
        QSignalSpy status(&element, &Monitor::statusChanged);
        const auto state = [&] { // devstatus, statusChanged so far, monitors known, switch pending
            return joined({element.devstatus(), status.count(), engine->m_allMonitors.size(), engine->m_switchPending});
        };
        QVERIFY(!element.connectDevice());
        QCOMPARE(state(), QStringLiteral("0,0,0,0"));
        QCOMPARE(log.count(QStringLiteral("Connection device fail")), 1);
        QVERIFY(element.m_mouseHook && element.m_keyboardHook && engine->m_device.m_heartBeatTimer->isActive());
        QCOMPARE(element.m_speedTimer->isActive() ? element.m_speedTimer->interval() : 0, 100);
        const auto beat = [&](bool plugged) {
            plugged ? VirtualHid::plug() : VirtualHid::unplug();
            for (int i = plugged ? 2 : 1; i > 0; --i)
                engine->m_device.heartBeat();
        };
        beat(true);
        QCOMPARE(state(), QStringLiteral("1,1,2,0"));
        // Lost: a pending switch ends. Back: the layout is read again, now with a third monitor.
        engine->m_switchPending = 1;
        beat(false);
        QCOMPARE(state(), QStringLiteral("0,2,2,0"));
        VirtualHid::model().monitors.append({1, 2, 2, 1, 1920, 1080});
        beat(true);
        QCOMPARE(state(), QStringLiteral("1,3,3,0"));
        // With the switch there, connecting reads the layout at once.
        VirtualHid::model().monitors.append({2, 2, 2, 2, 1920, 1080});
        Monitor other;
        QVERIFY(other.connectDevice());
        QCOMPARE(QPoint(other.devstatus(), engine->m_allMonitors.size()), QPoint(1, 4));
    }

    void highlightSettings()
    {
        setUp(QStringLiteral("1@1,1"));
        VirtualHid::model().highlightDuration = 3;
        VirtualHid::model().cyclicSwitch = 1;
        Monitor element;
        QCOMPARE(values(element.getMouseHighlightData(), {"status", "duration"}), QStringLiteral("1,3"));
        QCOMPARE(Monitor::getInstance()->m_cyclicSwitch, 1);
        // Switch absent: exactly "status" 0 and "duration" 1, and no wrap-around.
        VirtualHid::unplug();
        const QVariantMap absent = element.getMouseHighlightData();
        QCOMPARE(values(absent, {"status", "duration"}) + QString::number(absent.size()), QStringLiteral("0,12"));
        QCOMPARE(Monitor::getInstance()->m_cyclicSwitch, 0);
    }

    void hooks()
    {
        MessageLog log;
        Monitor element;
        QVERIFY(element.setHook());
        const QList<HookHandle> installed = {element.m_mouseHook, element.m_keyboardHook};
        QVERIFY(installed[0] && installed[1] && log.lines().isEmpty());
        // Taking the hooks away also closes the switch.
        Monitor::getInstance()->m_device.open(KV830::VendorId, KV830::ProductId);
        element.uninstallHook();
        QCOMPARE(m_hooks->uninstalled, installed);
        QVERIFY(!element.m_mouseHook && !element.m_keyboardHook && VirtualHid::openHandles() == 0);
        m_hooks->failMouse = m_hooks->failKeyboard = true;
        log.clear();
        QVERIFY(element.setHook());
        QCOMPARE(log.lines(), QStringList({QStringLiteral("Mouse Hook failed"), QStringLiteral("KB Hook Failed")}));
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
