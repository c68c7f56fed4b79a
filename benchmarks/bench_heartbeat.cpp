// What a heartbeat costs the agent, and how soon an uploaded layout is in force, against a
// running `vswitch serve` (SPANLINK_VSWITCH_SOCKET; this agent is on port 1):
//   bench_heartbeat beat <beats> <vswitch>   per heartbeat, without and with the layout watch:
//                                            exchanges (the switch's count of accepted
//                                            requests), the heartbeat's own turn, the longest
//                                            hold of the event loop, heartbeat to watch done
//   bench_heartbeat upload <trials> [one]    with the real 3000 ms heartbeat: a layout with the
//                                            columns turned round (or, with `one`, one entry's
//                                            width changed, each in turn) uploaded from port 2 at a
//                                            random moment; time until it is in force here
// Run by hand (scripts/measure-heartbeat.sh); prints medians, one line per figure.

#include "monitor.h"
#include "platform/null/nullinputhooks.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace
{
double median(QVector<double> v)
{
    if (v.isEmpty())
        return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Requests the switch accepted from port 1 so far.
int accepted(const QString &vswitch)
{
    QProcess p;
    p.start(
        vswitch, {QStringLiteral("ctl"), qEnvironmentVariable("SPANLINK_VSWITCH_SOCKET"), QStringLiteral("status")});
    p.waitForFinished(5000);
    const QJsonObject o = QJsonDocument::fromJson(p.readAllStandardOutput().trimmed().mid(3)).object();
    return o.value(QStringLiteral("accepted")).toObject().value(QStringLiteral("1")).toInt();
}

// Runs the event loop until `done`; the longest stretch without a tick of a 1 ms timer.
qint64 runUntil(const std::function<bool()> &done, int limitMsec = 20000)
{
    QElapsedTimer clock, sinceTick;
    clock.start();
    sinceTick.start();
    qint64 longest = 0;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(1);
    QObject::connect(&probe, &QTimer::timeout, [&] { longest = qMax(longest, sinceTick.restart()); });
    probe.start();
    while (!done() && clock.elapsed() < limitMsec)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return qMax(longest, sinceTick.elapsed());
}

// The upload of `entries` with the columns turned round, or with entry `resized` 1280 wide.
QVector<KV830::MonitorEntry> turned(const QVector<KV830::MonitorEntry> &entries, bool round, int resized = -1)
{
    QVector<KV830::MonitorEntry> out = entries;
    const int n = out.size();
    for (int i = 0; i < n; ++i) {
        KV830::MonitorEntry &e = out[i];
        if (i == resized)
            e.width = 1280;
        if (round)
            e.col = n + 1 - e.col;
    }
    return out;
}
} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    static NullInputHooks none;
    InputHooks::setInstance(&none);
    const QString mode = QString::fromLatin1(argc > 1 ? argv[1] : "beat");
    const int n = argc > 2 ? QByteArray(argv[2]).toInt() : 20;
    const QString vswitch = QString::fromLocal8Bit(argc > 3 ? argv[3] : "vswitch");

    qputenv("SPANLINK_VSWITCH_PORT", "1");
    Monitor *engine = Monitor::getInstance();
    Monitor element;
    element.m_devstatus = 1;
    engine->m_connected = engine->m_device.open(KV830::VendorId, KV830::ProductId);
    element.readPortStatus();
    engine->readLayoutToEnd();
    if (!engine->m_connected || engine->m_allMonitors.isEmpty()) {
        std::fprintf(stderr, "no switch, or no layout, at SPANLINK_VSWITCH_SOCKET\n");
        return 1;
    }
    const int entries = engine->m_listCount;

    if (mode == QLatin1String("beat")) {
        for (const bool watch : {false, true}) {
            if (!watch)
                QObject::disconnect(&engine->m_device, &KV830Data::heartBeatAnswered, engine, &Monitor::watchLayout);
            else
                QObject::connect(&engine->m_device, &KV830Data::heartBeatAnswered, engine, &Monitor::watchLayout,
                    Qt::QueuedConnection);
            QVector<double> turn, longest, total;
            const int before = accepted(vswitch);
            for (int beat = 0; beat < n; ++beat) {
                QElapsedTimer clock;
                clock.start();
                engine->m_device.heartBeat();
                turn << clock.nsecsElapsed() / 1e6;
                QCoreApplication::processEvents(); // the queued watch starts
                const double probe = double(runUntil([engine] { return !engine->layoutWatching(); }));
                longest << qMax(probe, turn.last());
                total << clock.nsecsElapsed() / 1e6;
                runUntil([] { return false; }, 20);
            }
            const double exchanges = double(accepted(vswitch) - before) / n;
            std::printf("%s, %d entries: %.2f exchanges per heartbeat; heartbeat turn %.2f ms, longest hold %.0f ms, "
                        "heartbeat to watch done %.2f ms (medians of %d)\n",
                watch ? "with the watch" : "heartbeat only", entries, exchanges, median(turn), median(longest),
                median(total), n);
        }
        return 0;
    }

    // Uploads come from another computer's link, on port 2.
    QVector<KV830::MonitorEntry> start;
    for (int i = 1; i <= entries; ++i) {
        if (const auto entry = engine->m_device.getOneListOfPortNum(i))
            start << *entry;
    }
    qputenv("SPANLINK_VSWITCH_PORT", "2");
    KV830Data other;
    if (!other.open(KV830::VendorId, KV830::ProductId)) {
        std::fprintf(stderr, "port 2 could not be opened\n");
        return 1;
    }
    engine->m_device.beginHeartBeat();
    const KV830::MouseSettings mouse {0, 0, engine->m_mousePosition};
    const bool one = argc > 3 && QByteArray(argv[3]) == "one";
    QVector<double> took;
    for (int trial = 0; trial < n; ++trial) {
        runUntil([] { return false; }, int(QRandomGenerator::global()->bounded(3000)));
        const int resized = trial % entries;
        const QVector<KV830::MonitorEntry> next = one ? turned(start, false, resized) : turned(start, trial % 2 == 0);
        const int firstCol = next.first().col;
        if (other.upload(next, mouse).outcome != KV830::UploadResult::Done) {
            std::fprintf(stderr, "upload %d refused\n", trial);
            return 1;
        }
        QElapsedTimer clock;
        clock.start();
        const QString key = QStringLiteral("1,%1").arg(firstCol);
        const QString resizedKey = QStringLiteral("1,%1").arg(resized + 1);
        const qint64 hold = runUntil([&] {
            if (one)
                return !engine->layoutReading()
                    && engine->m_allMonitors.value(resizedKey).value(QStringLiteral("width")).toInt() == 1280;
            const QVariantMap e = engine->m_allMonitors.value(key);
            return !engine->layoutReading() && e.value(QStringLiteral("monitorIndexNum")).toInt() == start.first().index
                && e.value(QStringLiteral("portNum")).toInt() == start.first().port;
        });
        took << double(clock.elapsed());
        std::printf("upload %d: in force after %lld ms, longest hold %lld ms\n", trial, clock.elapsed(), hold);
        if (one) { // back to the start before the next entry
            other.upload(turned(start, false), mouse);
            runUntil([&] {
                return !engine->layoutReading()
                    && engine->m_allMonitors.value(resizedKey).value(QStringLiteral("width")).toInt() == 1920;
            });
        }
    }
    std::printf("%d entries%s: upload to layout in force, median %.0f ms, longest %.0f ms (%d uploads)\n", entries,
        one ? ", one entry changed" : ", columns turned round", median(took),
        *std::max_element(took.cbegin(), took.cend()), n);
    return 0;
}
