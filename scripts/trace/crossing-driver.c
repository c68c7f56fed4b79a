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
//        crossing-driver --band-run MSEC SIDE PX STEP_US DISPLAY_A DISPLAY_B TRACE_FILE
// moves A's pointer by PX every STEP_US: SIDE "top" along the top edge band from (100, 2),
// "right" down the right edge band from (1917, 20), "push" into the right edge from (1900, 540).
//        crossing-driver --flick N MSEC DISPLAY_A DISPLAY_B TRACE_FILE
// N flicks into A's right edge, each 4 px every 2 ms for MSEC ms from 10 px before the edge
// band; prints how many reached B.
//        crossing-driver --push-back N DISPLAY_A DISPLAY_B TRACE_FILE
// N crossings from A to B, each followed at once by a push (10 px every 2 ms) straight back
// out through the side B's pointer came in by; prints how many reached A again.
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

static int bandRun(int msec, const char *side, int px, int stepUs, Display *a)
{
    const int top = strcmp(side, "top") == 0, right = strcmp(side, "right") == 0;
    int x = top ? 100 : right ? 1917 : 1900, y = top ? 2 : right ? 20 : 540;
    warp(a, x, y);
    pause_us(250000);
    long long next = nowNs();
    for (long long end = next + msec * 1000000LL; next < end;) {
        while (nowNs() < next)
            pause_us(50);
        next += stepUs * 1000LL;
        XTestFakeRelativeMotionEvent(a, right ? 0 : px, right ? px : 0, CurrentTime);
        XFlush(a);
        right ? (y += px) : (x += px);
        stamp(nowNs(), "run-sent", right ? y : x);
    }
    pause_us(200000);
    pointer(a, &x, &y);
    printf("band run ended at (%d, %d)\n", x, y);
    return 0;
}

// Whether B's pointer leaves (sx, sy) within `msec`.
static int bMoved(Display *b, int sx, int sy, int msec)
{
    for (long long end = nowNs() + msec * 1000000LL; nowNs() < end; pause_us(200)) {
        int x, y;
        pointer(b, &x, &y);
        if (x != sx || y != sy)
            return 1;
    }
    return 0;
}

static void backToA(Display *a, Display *b)
{
    pause_us(300000);
    warp(b, 600, 540);
    pause_us(150000);
    push(b, -4, 400, backOnA, a, b);
    pause_us(200000);
}

static int flicks(int n, int msec, Display *a, Display *b)
{
    int crossed = 0;
    for (int t = 0; t < n; ++t) {
        warp(b, 400 + t % 5 * 10, 300);
        warp(a, 1905, 540); // 10 px before the edge band (x >= 1915)
        pause_us(250000);
        long long next = nowNs();
        for (int step = 0; step < msec / 2; ++step) {
            while (nowNs() < next)
                pause_us(50);
            next += 2000000;
            XTestFakeRelativeMotionEvent(a, 4, 0, CurrentTime);
            XFlush(a);
        }
        if (bMoved(b, 400 + t % 5 * 10, 300, 500)) {
            ++crossed;
            backToA(a, b);
        }
    }
    printf("flicks of %d ms: %d of %d crossed\n", msec, crossed, n);
    return 0;
}

static int sentinelX, sentinelY;

static int bLeftSentinel(Display *a, Display *b, int step)
{
    (void)a;
    (void)step;
    int x, y;
    pointer(b, &x, &y);
    return x != sentinelX || y != sentinelY;
}

static int aLeftParking(Display *a, Display *b, int step)
{
    (void)b;
    (void)step;
    int x, y;
    pointer(a, &x, &y);
    return x != 1907; // A parks its pointer 13 px inside the lower-right corner
}

// A's and B's screens are two monitors high; the trials alternate between the rows, so that
// from the second on the pointer arrives on B's monitor that was not used last.
static int pushBacks(int n, Display *a, Display *b)
{
    int back = 0;
    for (int t = 0; t < n; ++t) {
        const int y = t % 2 ? 1620 : 540;
        sentinelX = 400 + t % 5 * 10, sentinelY = t % 2 ? 300 : 1400;
        warp(b, sentinelX, sentinelY);
        warp(a, 1500, y);
        pause_us(250000);
        if (push(a, 4, 300, bLeftSentinel, a, b) < 0) {
            printf("trial %d: no crossing to B\n", t);
            continue;
        }
        pause_us(20000);
        const int pushed = push(b, -10, 60, aLeftParking, a, b);
        int ax, ay;
        pointer(a, &ax, &ay);
        printf("trial %d: %s (A at %d, %d)\n", t, pushed < 0 ? "stayed on B" : "back on A", ax, ay);
        if (pushed >= 0)
            ++back;
        pause_us(300000);
        if (pushed < 0)
            backToA(a, b);
    }
    printf("push back: %d of %d reached A\n", back, n);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 9 && strcmp(argv[1], "--band-run") == 0) {
        Display *a = XOpenDisplay(argv[6]);
        traceFd = open(argv[8], O_WRONLY | O_APPEND | O_CREAT, 0644);
        if (!a || traceFd < 0)
            return 1;
        prctl(PR_SET_TIMERSLACK, 1UL);
        return bandRun(atoi(argv[2]), argv[3], atoi(argv[4]), atoi(argv[5]), a);
    }
    if ((argc == 7 && strcmp(argv[1], "--flick") == 0) || (argc == 6 && strcmp(argv[1], "--push-back") == 0)) {
        const int flick = argc == 7;
        Display *a = XOpenDisplay(argv[argc - 3]);
        Display *b = XOpenDisplay(argv[argc - 2]);
        if (!a || !b)
            return 1;
        prctl(PR_SET_TIMERSLACK, 1UL);
        return flick ? flicks(atoi(argv[2]), atoi(argv[3]), a, b) : pushBacks(atoi(argv[2]), a, b);
    }
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
