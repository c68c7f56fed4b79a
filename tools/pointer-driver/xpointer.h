#pragma once

// The pointer of one X display, moved as a hand would move it: XTest relative motion at a
// steady pace, so that the X server, and every client that listens, sees real motion events.

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <ctime>

namespace driver
{
// CLOCK_MONOTONIC, as the agents stamp their trace lines.
inline long long nowNs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

inline void pauseUs(long long us)
{
    timespec t {time_t(us / 1000000), long(us % 1000000) * 1000};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &t, nullptr);
}

inline void sleepUntilNs(long long ns)
{
    timespec t {time_t(ns / 1000000000LL), long(ns % 1000000000LL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) != 0) { }
}

// Ticks every `periodNs` from its start; wait() returns at the next tick, or at once when late.
class Pace
{
public:
    explicit Pace(long long periodNs)
        : m_period(periodNs)
        , m_next(nowNs())
    {
    }
    void wait()
    {
        sleepUntilNs(m_next);
        m_next += m_period;
    }

private:
    long long m_period, m_next;
};

struct Point {
    int x = 0, y = 0;
    bool operator==(const Point &o) const { return x == o.x && y == o.y; }
    bool operator!=(const Point &o) const { return !(*this == o); }
};

inline Point where(Display *d)
{
    Window root, child;
    int wx, wy;
    unsigned int mask;
    Point p;
    XQueryPointer(d, DefaultRootWindow(d), &root, &child, &p.x, &p.y, &wx, &wy, &mask);
    return p;
}

inline void warp(Display *d, int x, int y)
{
    XWarpPointer(d, None, DefaultRootWindow(d), 0, 0, 0, 0, x, y);
    XSync(d, False);
}

inline void moveBy(Display *d, int dx, int dy)
{
    XTestFakeRelativeMotionEvent(d, dx, dy, CurrentTime);
    XFlush(d);
}
} // namespace driver
