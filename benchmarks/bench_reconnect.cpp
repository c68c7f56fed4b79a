// The switch coming back, against the in-process virtual switch:
//   bench_reconnect layout <answer ms>  how long the thread of the hooks is held at start and at a
//                                       reconnect while 255 monitor entries are read
//   bench_reconnect replug <trials>     how long after the replug a push across is accepted, with
//                                       the real 3000 ms heartbeat, the replug at a random moment
// Run by hand; prints one line per figure.

#include "monitor.h"
#include "platform/null/nullinputhooks.h"
#include "virtualhid.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace
{
// Runs the event loop until `done`, measuring the longest stretch between two ticks of a 1 ms timer.
qint64 longestBlock(const std::function<bool()> &done, qint64 &tookMsec, int limitMsec = 120000)
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
    longest = qMax(longest, sinceTick.elapsed());
    tookMsec = clock.elapsed();
    return longest;
}

bool layoutWidth(int width)
{
    const auto &all = Monitor::getInstance()->m_allMonitors;
    return all.size() == 255 && all.first().value(QStringLiteral("width")).toInt() == width;
}

void push(int k)
{
    Monitor *engine = Monitor::getInstance();
    PointerEventRecord record {1917, 300 + k % 2};
    Monitor::mouseProc(0, HookMessage::MouseMove, reinterpret_cast<std::intptr_t>(&record));
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
    const QString mode = QString::fromLatin1(argc > 1 ? argv[1] : "layout");
    const int n = argc > 2 ? QByteArray(argv[2]).toInt() : 10;

    VirtualHid::reset();
    SwitchModel &sw = VirtualHid::model();
    sw.presentMask = 0x03;
    Monitor *engine = Monitor::getInstance();
    Monitor element;

    if (mode == QLatin1String("layout")) {
        for (int i = 0; i < 255; ++i)
            sw.monitors.append({1 + i % 2, i + 1, 1 + i / 16, 1 + i % 16, 1920, 1080});
        VirtualHid::setAnswerDelay(n);
        qint64 took = 0;
        QElapsedTimer call;
        call.start();
        element.connectDevice();
        const qint64 connectCall = call.elapsed();
        const qint64 atStart = qMax(connectCall, longestBlock([] { return layoutWidth(1920); }, took));
        std::printf("answer %d ms, start: longest block %lld ms, layout in force after %lld ms\n", n,
            static_cast<long long>(atStart), static_cast<long long>(connectCall + took));

        for (SwitchModel::MonitorEntry &m : sw.monitors)
            m.width = 1280;
        VirtualHid::unplug();
        QTimer::singleShot(0, [] { Monitor::getInstance()->m_device.heartBeat(); });
        QTimer::singleShot(20, [] { VirtualHid::plug(), Monitor::getInstance()->m_device.heartBeat(); });
        QTimer::singleShot(40, [] {
            if (Monitor::getInstance()->m_device.status() == 0)
                Monitor::getInstance()->m_device.heartBeat();
        });
        const qint64 atReconnect = longestBlock([] { return layoutWidth(1280); }, took);
        std::printf("answer %d ms, reconnect: longest block %lld ms, new layout in force after %lld ms\n", n,
            static_cast<long long>(atReconnect), static_cast<long long>(took));
        return 0;
    }

    sw.monitors = {{1, 1, 1, 1, 1920, 1080}, {2, 1, 1, 2, 1920, 1080}};
    element.connectDevice();
    qint64 took = 0;
    longestBlock([engine] { return engine->m_allMonitors.size() == 2; }, took);
    for (int trial = 0; trial < n; ++trial) {
        VirtualHid::unplug();
        longestBlock([engine] { return engine->m_device.status() == 0; }, took, 10000);
        const int wait = int(QRandomGenerator::global()->bounded(3000));
        longestBlock([] { return false; }, took, wait);
        VirtualHid::plug();
        QElapsedTimer sincePlug;
        sincePlug.start();
        int k = 0;
        longestBlock(
            [&] {
                if (engine->m_switchPending)
                    return sw.currentPort == 2;
                push(++k);
                return sw.currentPort == 2;
            },
            took, 15000);
        std::printf(
            "replug %d: push accepted %lld ms after the plug\n", trial, static_cast<long long>(sincePlug.elapsed()));
        sw.currentPort = 1;
        engine->m_curPort = 1;
        engine->m_switchPending = 0;
    }
    return 0;
}
