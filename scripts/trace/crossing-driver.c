// Drives crossings from computer A to computer B for scripts/trace-crossing.sh and stamps the
// hops that happen outside the agents: when the move into A's right edge band is sent, and
// when B's pointer is first seen moved. Between trials it brings the pointer back through B's
// left edge.
//
// usage: crossing-driver N DISPLAY_A DISPLAY_B TRACE_FILE
//        crossing-driver --edge-run MSEC DISPLAY_A DISPLAY_B TRACE_FILE
// A and B are 1920 x 1080, A left of B. Stamps are CLOCK_MONOTONIC, as the agents' are.
// --edge-run runs A's pointer along A's top edge band (y = 2, where nothing lies beyond) at
// 2 px/ms for MSEC ms and stamps every move with the x it leads to.
#define _GNU_SOURCE
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

static int traceFd = -1;

static long long nowNs(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

static void pause_us(long us)
{
    struct timespec t = {us / 1000000, (us % 1000000) * 1000};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &t, NULL);
}

static void stamp(long long ns, const char *hop, int detail)
{
    char line[128];
    int n = snprintf(line, sizeof line, "%lld %d driver %s %d\n", ns, (int)getpid(), hop, detail);
    if (write(traceFd, line, (size_t)n) != n)
        perror("trace");
}

static void pointer(Display *d, int *x, int *y)
{
    Window root, child;
    int wx, wy;
    unsigned int mask;
    XQueryPointer(d, DefaultRootWindow(d), &root, &child, x, y, &wx, &wy, &mask);
}

static void warp(Display *d, int x, int y)
{
    XWarpPointer(d, None, DefaultRootWindow(d), 0, 0, 0, 0, x, y);
    XSync(d, False);
}

// Moves `d`'s pointer by dx every 2 ms until `done` says so or `limit` moves have been made.
// Returns the number of moves, or -1 when the limit was reached.
typedef int (*Done)(Display *a, Display *b, int step);
static int push(Display *d, int dx, int limit, Done done, Display *a, Display *b)
{
    long long next = nowNs();
    for (int step = 0; step < limit; ++step) {
        while (nowNs() < next)
            pause_us(50);
        next += 2000000;
        if (done(a, b, step))
            return step;
        XTestFakeRelativeMotionEvent(d, dx, 0, CurrentTime);
        XFlush(d);
    }
    return -1;
}

static int backOnA(Display *a, Display *b, int step)
{
    (void)b;
    (void)step;
    int x, y;
    pointer(a, &x, &y);
    return x == 1912;
}

static int edgeRun(int msec, Display *a)
{
    warp(a, 100, 2);
    pause_us(250000);
    long long next = nowNs();
    int x = 100;
    for (int step = 0; step < msec / 2 && x + 4 < 1900; ++step) {
        while (nowNs() < next)
            pause_us(50);
        next += 2000000;
        XTestFakeRelativeMotionEvent(a, 4, 0, CurrentTime);
        XFlush(a);
        x += 4;
        stamp(nowNs(), "run-sent", x);
    }
    pause_us(200000);
    int y;
    pointer(a, &x, &y);
    printf("edge run ended at (%d, %d)\n", x, y);
    return 0;
}

int main(int argc, char **argv)
{
    const int edge = argc == 6 && strcmp(argv[1], "--edge-run") == 0;
    if (edge) {
        ++argv;
        --argc;
    }
    if (argc != 5) {
        fprintf(stderr,
            "usage: crossing-driver N DISPLAY_A DISPLAY_B TRACE_FILE\n"
            "       crossing-driver --edge-run MSEC DISPLAY_A DISPLAY_B TRACE_FILE\n");
        return 2;
    }
    const int trials = atoi(argv[1]);
    Display *a = XOpenDisplay(argv[2]);
    Display *b = XOpenDisplay(argv[3]);
    if (!a || !b) {
        fprintf(stderr, "crossing-driver: cannot open the displays\n");
        return 1;
    }
    traceFd = open(argv[4], O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (traceFd < 0) {
        perror(argv[4]);
        return 1;
    }
    // Sleeps of 50 and 100 us that end when they should, not up to 50 us later.
    prctl(PR_SET_TIMERSLACK, 1UL);
    if (edge)
        return edgeRun(trials, a);
    int ok = 0;
    for (int t = 0; t < trials; ++t) {
        const int sentinelX = 400 + (t % 5) * 10, sentinelY = 300;
        warp(b, sentinelX, sentinelY);
        warp(a, 1500, 540);
        pause_us(250000);
        int x = 1500, y = 540;
        long long next = nowNs(), sent = 0;
        // 2 px/ms, fast enough for the speed gate: 4 px every 2 ms into the band (x >= 1915).
        for (int step = 0; step < 300 && !sent; ++step) {
            while (nowNs() < next)
                pause_us(50);
            next += 2000000;
            const int into = x + 4 >= 1915;
            XTestFakeRelativeMotionEvent(a, 4, 0, CurrentTime);
            XFlush(a);
            if (into) {
                sent = nowNs();
                break;
            }
            pointer(a, &x, &y);
        }
        stamp(sent, "motion-sent", t);
        long long seen = 0;
        while (nowNs() - sent < 2000000000LL) {
            pointer(b, &x, &y);
            if (x != sentinelX || y != sentinelY) {
                seen = nowNs();
                break;
            }
            pause_us(100);
        }
        if (seen) {
            stamp(seen, "pointer-seen", t);
            printf("trial %d: %.3f ms\n", t, (seen - sent) / 1e6);
            ++ok;
        } else {
            printf("trial %d: B's pointer did not move within 2 s\n", t);
        }
        fflush(stdout);
        // Let the frame show, then go back through B's left edge.
        pause_us(300000);
        warp(b, 600, 540);
        pause_us(150000);
        if (push(b, -4, 400, backOnA, a, b) < 0)
            printf("trial %d: the pointer did not come back to A\n", t);
        pause_us(200000);
    }
    return ok == trials ? 0 : 1;
}
