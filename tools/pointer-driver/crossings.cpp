// Crossings from computer A to computer B for scripts/trace-crossing.sh and
// scripts/measure-hookpath*.sh, with stamps of the hops that happen outside the agents: when
// the move into A's right edge band is sent, and when B's pointer is first seen moved. A and B
// are 1920 pixels wide, A left of B; stamps are CLOCK_MONOTONIC, as the agents' are.

#include "commands.h"
#include "xpointer.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace driver
{
namespace
{
constexpr long long s_stepNs = 2000000; // a move every 2 ms

class Desk
{
public:
    ~Desk()
    {
        if (a)
            XCloseDisplay(a);
        if (b)
            XCloseDisplay(b);
        if (m_trace >= 0)
            close(m_trace);
    }
    bool open(const std::string &displayA, const std::string &displayB, const std::string &trace)
    {
        a = XOpenDisplay(displayA.c_str());
        b = XOpenDisplay(displayB.c_str());
        if (!a || !b) {
            std::fprintf(
                stderr, "pointer-driver: cannot open the displays %s and %s\n", displayA.c_str(), displayB.c_str());
            return false;
        }
        m_trace = ::open(trace.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (m_trace < 0) {
            std::perror(trace.c_str());
            return false;
        }
        // Sleeps that end when they should, not up to 50 us later.
        prctl(PR_SET_TIMERSLACK, 1UL);
        return true;
    }
    void stamp(long long ns, const char *hop, int detail) const
    {
        char line[128];
        const int n = std::snprintf(line, sizeof line, "%lld %d driver %s %d\n", ns, int(getpid()), hop, detail);
        if (write(m_trace, line, size_t(n)) != n)
            std::perror("trace");
    }

    Display *a = nullptr;
    Display *b = nullptr;

private:
    int m_trace = -1;
};

// Moves `d`'s pointer by dx every 2 ms until `done` says so or `limit` moves have been made.
// Returns the number of moves, or -1 when the limit was reached.
template <typename Done> int pushUntil(Display *d, int dx, int limit, Done done)
{
    Pace pace(s_stepNs);
    for (int step = 0; step < limit; ++step) {
        pace.wait();
        if (done())
            return step;
        moveBy(d, dx, 0);
    }
    return -1;
}

// Back through B's left edge, after the frame has shown: A's pointer arrives 8 px inside its
// right edge. False when it did not.
bool backToA(const Desk &desk)
{
    pauseUs(300000);
    warp(desk.b, 600, 540);
    pauseUs(150000);
    const bool back = pushUntil(desk.b, -4, 400, [&] { return where(desk.a).x == 1912; }) >= 0;
    pauseUs(200000);
    return back;
}

// Whether B's pointer leaves `at` within `msec`.
bool bMoved(Display *b, Point at, int msec)
{
    for (const long long end = nowNs() + msec * 1000000LL; nowNs() < end; pauseUs(200))
        if (where(b) != at)
            return true;
    return false;
}

// The whole numbers that lead `args`, then the displays and the trace file opened: 0 when
// ready, else the status to end with (2 for words that are off, 1 for what does not open).
int begin(const Args &args, std::initializer_list<int *> numbers, Desk &desk)
{
    if (args.size() != numbers.size() + 3)
        return usage();
    size_t i = 0;
    for (int *number : numbers)
        if (!toInt(args[i++], *number, 0, 3600000))
            return usage();
    return desk.open(args[i], args[i + 1], args[i + 2]) ? 0 : 1;
}
} // namespace

// crossings N A B TRACE
int crossings(const Args &args)
{
    int trials = 0;
    Desk desk;
    if (const int rc = begin(args, {&trials}, desk))
        return rc;
    int ok = 0;
    for (int t = 0; t < trials; ++t) {
        const Point sentinel {400 + (t % 5) * 10, 300};
        warp(desk.b, sentinel.x, sentinel.y);
        warp(desk.a, 1500, 540);
        pauseUs(250000);
        Point at {1500, 540};
        long long sent = 0;
        Pace pace(s_stepNs);
        // 2 px/ms, fast enough for the speed gate: 4 px every 2 ms into the band (x >= 1915).
        for (int step = 0; step < 300 && !sent; ++step) {
            pace.wait();
            const bool into = at.x + 4 >= 1915;
            moveBy(desk.a, 4, 0);
            if (into) {
                sent = nowNs();
                break;
            }
            at = where(desk.a);
        }
        desk.stamp(sent, "motion-sent", t);
        long long seen = 0;
        while (nowNs() - sent < 2000000000LL) {
            if (where(desk.b) != sentinel) {
                seen = nowNs();
                break;
            }
            pauseUs(100);
        }
        if (seen) {
            desk.stamp(seen, "pointer-seen", t);
            std::printf("trial %d: %.3f ms\n", t, double(seen - sent) / 1e6);
            ++ok;
        } else {
            std::printf("trial %d: B's pointer did not move within 2 s\n", t);
        }
        std::fflush(stdout);
        if (!backToA(desk))
            std::printf("trial %d: the pointer did not come back to A\n", t);
    }
    return ok == trials ? 0 : 1;
}

// edge-run MSEC A B TRACE: A's pointer along A's top edge band (y = 2, nothing lies beyond) at
// 2 px/ms, every move stamped with the x it leads to.
int edgeRun(const Args &args)
{
    int msec = 0;
    Desk desk;
    if (const int rc = begin(args, {&msec}, desk))
        return rc;
    warp(desk.a, 100, 2);
    pauseUs(250000);
    Pace pace(s_stepNs);
    int x = 100;
    for (int step = 0; step < msec / 2 && x + 4 < 1900; ++step) {
        pace.wait();
        moveBy(desk.a, 4, 0);
        x += 4;
        desk.stamp(nowNs(), "run-sent", x);
    }
    pauseUs(200000);
    const Point end = where(desk.a);
    std::printf("edge run ended at (%d, %d)\n", end.x, end.y);
    return 0;
}

// band-run MSEC SIDE PX STEP_US A B TRACE: A's pointer moves by PX every STEP_US; SIDE "top"
// along the top edge band from (100, 2), "right" down the right edge band from (1917, 20),
// "push" into the right edge from (1900, 540).
int bandRun(const Args &args)
{
    int msec = 0, px = 0, stepUs = 0;
    Desk desk;
    if (args.size() != 7 || !toInt(args[0], msec, 0, 3600000) || !toInt(args[2], px, -1000, 1000)
        || !toInt(args[3], stepUs, 1, 10000000) || (args[1] != "top" && args[1] != "right" && args[1] != "push"))
        return usage();
    if (!desk.open(args[4], args[5], args[6]))
        return 1;
    const bool top = args[1] == "top", right = args[1] == "right";
    Point at {top ? 100 : right ? 1917 : 1900, top ? 2 : right ? 20 : 540};
    warp(desk.a, at.x, at.y);
    pauseUs(250000);
    Pace pace(stepUs * 1000LL);
    for (const long long end = nowNs() + msec * 1000000LL; nowNs() < end;) {
        pace.wait();
        moveBy(desk.a, right ? 0 : px, right ? px : 0);
        (right ? at.y : at.x) += px;
        desk.stamp(nowNs(), "run-sent", right ? at.y : at.x);
    }
    pauseUs(200000);
    at = where(desk.a);
    std::printf("band run ended at (%d, %d)\n", at.x, at.y);
    return 0;
}

// flick N MSEC A B TRACE: N flicks into A's right edge, each 4 px every 2 ms for MSEC ms from
// 10 px before the edge band; prints how many reached B.
int flicks(const Args &args)
{
    int n = 0, msec = 0;
    Desk desk;
    if (const int rc = begin(args, {&n, &msec}, desk))
        return rc;
    int crossed = 0;
    for (int t = 0; t < n; ++t) {
        const Point sentinel {400 + t % 5 * 10, 300};
        warp(desk.b, sentinel.x, sentinel.y);
        warp(desk.a, 1905, 540); // 10 px before the edge band (x >= 1915)
        pauseUs(250000);
        Pace pace(s_stepNs);
        for (int step = 0; step < msec / 2; ++step) {
            pace.wait();
            moveBy(desk.a, 4, 0);
        }
        if (bMoved(desk.b, sentinel, 500)) {
            ++crossed;
            backToA(desk);
        }
    }
    std::printf("flicks of %d ms: %d of %d crossed\n", msec, crossed, n);
    return 0;
}

// push-back N A B TRACE: N crossings from A to B, each followed at once by a push (10 px every
// 2 ms) straight back out through the side B's pointer came in by; prints how many reached A
// again. A's and B's screens are two monitors high; the trials alternate between the rows, so
// that from the second on the pointer arrives on B's monitor that was not used last.
int pushBacks(const Args &args)
{
    int n = 0;
    Desk desk;
    if (const int rc = begin(args, {&n}, desk))
        return rc;
    int back = 0;
    for (int t = 0; t < n; ++t) {
        const int y = t % 2 ? 1620 : 540;
        const Point sentinel {400 + t % 5 * 10, t % 2 ? 300 : 1400};
        warp(desk.b, sentinel.x, sentinel.y);
        warp(desk.a, 1500, y);
        pauseUs(250000);
        if (pushUntil(desk.a, 4, 300, [&] { return where(desk.b) != sentinel; }) < 0) {
            std::printf("trial %d: no crossing to B\n", t);
            continue;
        }
        pauseUs(20000);
        // A parks its pointer 13 px inside the lower-right corner.
        const int pushed = pushUntil(desk.b, -10, 60, [&] { return where(desk.a).x != 1907; });
        const Point a = where(desk.a);
        std::printf("trial %d: %s (A at %d, %d)\n", t, pushed < 0 ? "stayed on B" : "back on A", a.x, a.y);
        if (pushed >= 0)
            ++back;
        pauseUs(300000);
        if (pushed < 0)
            backToA(desk);
    }
    std::printf("push back: %d of %d reached A\n", back, n);
    return 0;
}
} // namespace driver
