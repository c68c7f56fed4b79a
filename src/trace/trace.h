#pragma once

// A timestamp at each hop of a crossing, for measuring where its time goes. Off unless
// SPANLINK_TRACE is set (to a file, or to 1 for standard error); off, a hop costs one
// predictable branch. Hops are kept in memory and written out by flush(), which the program
// calls off the event path (a timer) and at exit; a write never happens inside a hop.
//
// One line per hop: <CLOCK_MONOTONIC ns> <pid> <program> <hop>[ <detail>]
// Several processes may append to the same file: each flush is one write of whole lines.
//
// Hops are recorded from one thread only (the GUI thread, or the daemon's only thread).

namespace Trace
{
// Set by start(), before the first hop; read on every hop.
inline bool s_on = false;

// Reads SPANLINK_TRACE; `program` names this process in the lines.
void start(const char *program);
void record(const char *hop, int detail);
// Writes what has been recorded since the last flush.
void flush();

// `hop` must outlive the process (a string literal).
inline void mark(const char *hop, int detail = -1)
{
    if (__builtin_expect(s_on, 0))
        record(hop, detail);
}
} // namespace Trace
