#pragma once

// A timestamp at each hop of a crossing, for measuring where its time goes. Off unless
// SPANLINK_TRACE is set (to a file, or to 1 for standard error); off, a hop costs one
// predictable branch. Hops are kept in memory and written out by flush(), which the program
// calls off the event path (a timer) and at exit; a write never happens inside a hop.
//
// One line per hop: <CLOCK_MONOTONIC ns> <pid> <program> <hop>[ <detail>[ <thread CPU ns> <preempted>]]
// (the last two only for hops marked with markCpu: the thread's CPU time, and how often the
// scheduler has taken its CPU away from it; -1 where the platform does not say).
// Several processes may append to the same file: each flush is one write of whole lines.
//
// Hops are recorded, and flushed, from one thread only (the GUI thread, or the daemon's serving
// thread).

namespace Trace
{
// Set by start(), before the first hop; read on every hop.
inline bool s_on = false;

// Reads SPANLINK_TRACE; `program` names this process in the lines.
void start(const char *program);
void record(const char *hop, int detail);
// `cpuFirst`: the thread's CPU time is read before the clock (a hop that opens a span of
// work), else after it (one that closes it), so that reading it is left out of the span.
void recordCpu(const char *hop, int detail, bool cpuFirst);
// Writes what has been recorded since the last flush.
void flush();

// `hop` must outlive the process (a string literal).
inline void mark(const char *hop, int detail = -1)
{
    if (__builtin_expect(s_on, 0))
        record(hop, detail);
}

// A hop that also tells whether the time since the last such hop was our own work or the
// scheduler's: costs two system calls, only while tracing.
inline void markCpu(const char *hop, int detail, bool cpuFirst)
{
    if (__builtin_expect(s_on, 0))
        recordCpu(hop, detail, cpuFirst);
}
} // namespace Trace
