// The pointer handler's cost per event, on a full 16 x 16 grid: 256 monitors of 8 ports, of
// which 4 (a 2 x 2 block in the middle) are this computer's.
//
//   build/benchmarks/bench_mouseproc --benchmark_repetitions=10 --benchmark_report_aggregates_only=true

#include "monitor.h"
#include "virtualhid.h"

#include <QGuiApplication>

#include <benchmark/benchmark.h>

namespace
{
constexpr int s_ownPort = 1;

QVariantMap entry(int port, int row, int col)
{
    return {{QStringLiteral("portNum"), port}, {QStringLiteral("monitorIndexNum"), 1}, {QStringLiteral("row"), row},
        {QStringLiteral("col"), col}, {QStringLiteral("width"), 1920}, {QStringLiteral("height"), 1080},
        {QStringLiteral("min_x"), 0}, {QStringLiteral("min_y"), 0}, {QStringLiteral("max_x"), 1920},
        {QStringLiteral("max_y"), 1080}};
}

// The switch protocol carries at most 255 entries (the count is one byte), so the full grid
// is put into the engine's indexes directly and the geometry computed as after a read.
Monitor *fullGrid()
{
    VirtualHid::reset();
    VirtualHid::model().presentMask = 0xFF;
    VirtualHid::model().currentPort = s_ownPort;
    VirtualHid::setAttachPort(s_ownPort);

    Monitor *engine = Monitor::getInstance();
    engine->m_device.open(0, 0);
    engine->m_connected = true;
    engine->m_apPort = engine->m_curPort = s_ownPort;
    engine->m_speedSamples.clear();
    engine->m_allMonitors.clear();
    engine->m_ownMonitors.clear();
    int other = 0;
    for (int row = 1; row <= 16; ++row) {
        for (int col = 1; col <= 16; ++col) {
            const bool own = (row == 8 || row == 9) && (col == 8 || col == 9);
            const int port = own ? s_ownPort : 2 + (other++ % 7);
            const QVariantMap e = entry(port, row, col);
            engine->m_allMonitors.insert(MonitorLogic::cellKey(row, col), e);
            if (own)
                engine->m_ownMonitors.insert(MonitorLogic::cellKey(row, col), e);
        }
    }
    engine->computeOwnGeometry();
    return engine;
}

std::intptr_t move(int x, int y)
{
    PointerEventRecord record;
    record.x = x;
    record.y = y;
    return Monitor::mouseProc(0, HookMessage::MouseMove, reinterpret_cast<std::intptr_t>(&record));
}

// A move that falls in no band: the common case, 1000 times a second from a gaming mouse.
void BM_MoveInsideMonitor(benchmark::State &state)
{
    Monitor *engine = fullGrid();
    move(500, 500); // the pointer is now on the top-left own monitor
    int i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(move(500 + (++i & 1), 500));
    state.counters["monitors"] = engine->m_allMonitors.size();
}
BENCHMARK(BM_MoveInsideMonitor);

// Moves 5 ms apart: 1 px each is far too slow to cross.
std::int64_t s_now = 0;
std::int64_t slowClock()
{
    return s_now += 5;
}

// A slow move along the right edge of the grid's own block: the speed gate holds the crossing
// back before the switch is asked anything.
void BM_MoveInEdgeBand(benchmark::State &state)
{
    Monitor *engine = fullGrid();
    engine->m_clock = &slowClock;
    move(2000, 500); // on the top-right own monitor, 1920 to 3840
    s_now += 1000;
    int i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(move(3838, 500 + (++i & 1)));
    if (engine->m_curPort != s_ownPort)
        state.SkipWithError("the move crossed");
}
BENCHMARK(BM_MoveInEdgeBand);
} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
