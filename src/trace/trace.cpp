#include "trace/trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <chrono>
#include <process.h>
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
#endif

namespace
{
struct Hop {
    long long ns;
    const char *name;
    int detail;
    long long cpuNs = -1; // -1: not read for this hop
    long long preempted = -1;
};

// Enough for a few seconds of pointer motion between two flushes; beyond it hops are counted
// and dropped rather than written from inside the event path.
constexpr int s_capacity = 16384;
Hop s_hops[s_capacity];
int s_count = 0;
long long s_dropped = 0;
std::string s_program;
int s_fd = -1; // POSIX: the file, opened for appending
std::FILE *s_file = nullptr; // Windows
bool s_exitHooked = false;

long long nowNs()
{
#ifdef _WIN32
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
#else
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
#endif
}

// This thread's CPU time in ns and its involuntary context switches so far; -1 where unknown.
void threadCpu(long long &cpuNs, long long &preempted, bool cpuFirst)
{
#ifdef _WIN32
    (void)cpuFirst;
    cpuNs = preempted = -1;
#else
    timespec t;
    rusage usage;
    // The CPU time is read nearest the clock: little of these two calls falls in the span.
    if (cpuFirst)
        preempted = getrusage(RUSAGE_THREAD, &usage) == 0 ? usage.ru_nivcsw : -1;
    cpuNs = clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) == 0 ? t.tv_sec * 1000000000LL + t.tv_nsec : -1;
    if (!cpuFirst)
        preempted = getrusage(RUSAGE_THREAD, &usage) == 0 ? usage.ru_nivcsw : -1;
#endif
}

void writeAll(const std::string &text)
{
#ifdef _WIN32
    if (s_file) {
        std::fwrite(text.data(), 1, text.size(), s_file);
        std::fflush(s_file);
    }
#else
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(s_fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return;
        done += size_t(n);
    }
#endif
}
} // namespace

void Trace::start(const char *program)
{
    const char *where = std::getenv("SPANLINK_TRACE");
    if (!where || !*where || std::strcmp(where, "0") == 0)
        return;
    s_program = program;
#ifdef _WIN32
    s_file = std::strcmp(where, "1") == 0 ? stderr : std::fopen(where, "ab");
    if (!s_file) {
        std::fprintf(stderr, "SPANLINK_TRACE: cannot open %s; not tracing\n", where);
        return;
    }
#else
    s_fd = std::strcmp(where, "1") == 0 ? 2 : ::open(where, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (s_fd < 0) {
        std::fprintf(stderr, "SPANLINK_TRACE: cannot open %s; not tracing\n", where);
        return;
    }
#endif
    // Every page of the buffer is touched now: a hop that first touched one would time the
    // page fault (tens of microseconds in a virtual machine) as part of the span it measures.
    std::memset(static_cast<void *>(s_hops), 0, sizeof s_hops);
    if (!s_exitHooked) {
        std::atexit(&Trace::flush);
        s_exitHooked = true;
    }
    s_on = true;
}

void Trace::record(const char *hop, int detail)
{
    if (s_count == s_capacity) {
        ++s_dropped;
        return;
    }
    s_hops[s_count++] = Hop {nowNs(), hop, detail};
}

void Trace::recordCpu(const char *hop, int detail, bool cpuFirst)
{
    if (s_count == s_capacity) {
        ++s_dropped;
        return;
    }
    Hop h {0, hop, detail};
    if (cpuFirst) {
        threadCpu(h.cpuNs, h.preempted, cpuFirst);
        h.ns = nowNs();
    } else {
        h.ns = nowNs();
        threadCpu(h.cpuNs, h.preempted, cpuFirst);
    }
    s_hops[s_count++] = h;
}

void Trace::flush()
{
    if (!s_on || (s_count == 0 && s_dropped == 0))
        return;
#ifdef _WIN32
    const int pid = _getpid();
#else
    const int pid = int(getpid());
#endif
    std::string text;
    text.reserve(size_t(s_count) * 64);
    char line[160];
    for (int i = 0; i < s_count; ++i) {
        const Hop &h = s_hops[i];
        const int n = h.cpuNs >= 0 || h.preempted >= 0
            ? std::snprintf(line, sizeof line, "%lld %d %s %s %d %lld %lld\n", h.ns, pid, s_program.c_str(), h.name,
                h.detail, h.cpuNs, h.preempted)
            : h.detail < 0
            ? std::snprintf(line, sizeof line, "%lld %d %s %s\n", h.ns, pid, s_program.c_str(), h.name)
            : std::snprintf(line, sizeof line, "%lld %d %s %s %d\n", h.ns, pid, s_program.c_str(), h.name, h.detail);
        if (n > 0)
            text.append(line, size_t(n) < sizeof line ? size_t(n) : sizeof line - 1);
    }
    if (s_dropped > 0) {
        const int n
            = std::snprintf(line, sizeof line, "%lld %d %s dropped %lld\n", nowNs(), pid, s_program.c_str(), s_dropped);
        if (n > 0)
            text.append(line, size_t(n));
    }
    s_count = 0;
    s_dropped = 0;
    writeAll(text);
}
