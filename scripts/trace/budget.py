#!/usr/bin/env python3
"""Per-hop budget of a crossing from the lines of SPANLINK_TRACE.

usage: budget.py TRACE_FILE PID_A PID_B PID_SWITCH
       budget.py --edge-run TRACE_FILE PID_A   (how far A's view of the pointer lags behind it)

Each crossing starts at the driver's "motion-sent"; for each process the hops of the next
250 ms are taken in order (a hop that repeats is numbered). Printed: the median time of each
hop since the motion was sent, and the median step from the hop before it, over all crossings.
"""
import statistics
import sys
from collections import defaultdict

WINDOW_NS = 250_000_000
# Request ids that are part of the crossing; heartbeats and the like are left out.
REQUESTS = {0x48: "mouse status", 0x49: "switch request", 0x4A: "port status"}
SKIP = {"raw-motion-read", "raw-event-read", "position-known"}  # counted once, below


def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p * (len(values) - 1))))]


def edge_run(path, pid_a):
    """A's view of the pointer during the run: for each position A handled, how long after its
    move was sent A knew it, and how far the pointer had gone beyond it by the time A had
    finished with it (its port status answered)."""
    sends, seen, answered = [], [], []
    for raw in open(path):
        parts = raw.split()
        if len(parts) < 4:
            continue
        ns, pid, prog, hop = int(parts[0]), parts[1], parts[2], parts[3]
        if prog == "driver" and hop == "run-sent":
            sends.append((ns, int(parts[4])))
        elif pid == pid_a and hop == "position-known":
            seen.append((ns, int(parts[4])))
        elif pid == pid_a and hop == "port-status-answered":
            answered.append(ns)
    if not sends:
        print("no edge run in", path)
        return 1
    sends.sort()
    answered.sort()
    sent_at = {x: ns for ns, x in sends}
    first, last = sends[0][0], sends[-1][0]
    seen = sorted((ns, x) for ns, x in seen if first <= ns <= last)

    def pointer_at(ns):
        lo, hi = 0, len(sends)
        while lo < hi:
            mid = (lo + hi) // 2
            if sends[mid][0] <= ns:
                lo = mid + 1
            else:
                hi = mid
        return sends[lo - 1][1] if lo else sends[0][1] - 4

    known_ms, behind_px, done_ms, j = [], [], [], 0
    for ns, x in seen:
        if x in sent_at:
            known_ms.append((ns - sent_at[x]) / 1e6)
        while j < len(answered) and answered[j] < ns:
            j += 1
        if j < len(answered):
            behind_px.append(pointer_at(answered[j]) - x)
            if x in sent_at:
                done_ms.append((answered[j] - sent_at[x]) / 1e6)
    gaps = [(b[0] - a[0]) / 1e6 for a, b in zip(seen, seen[1:])]
    print("edge run: %d moves sent over %.0f ms at 2 px/ms; A handled %d positions, %d port-status exchanges"
          % (len(sends), (last - first) / 1e6, len(seen), len(answered)))
    rows = [("move sent -> position known (ms)", known_ms), ("move sent -> its exchange done (ms)", done_ms),
            ("pointer ahead when done (px)", behind_px), ("between handled positions (ms)", gaps)]
    print("%-38s %8s %8s %8s" % ("", "median", "p90", "max"))
    for name, v in rows:
        if v:
            print("%-38s %8.2f %8.2f %8.2f" % (name, pct(v, .5), pct(v, .9), max(v)))
    return 0


def main():
    if sys.argv[1] == "--edge-run":
        return edge_run(sys.argv[2], sys.argv[3])
    path, pid_a, pid_b, pid_s = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
    role = {pid_a: "A", pid_b: "B", pid_s: "switch"}
    lines = []
    for raw in open(path):
        parts = raw.split()
        if len(parts) < 4:
            continue
        ns, pid, hop = int(parts[0]), parts[1], parts[3]
        detail = parts[4] if len(parts) > 4 else ""
        who = "driver" if parts[2] == "driver" else role.get(pid)
        if who:
            lines.append((ns, who, hop, detail))
    lines.sort()
    starts = [ns for ns, who, hop, _ in lines if who == "driver" and hop == "motion-sent"]
    per_hop = defaultdict(list)  # name -> [(trial, t_us)]
    for trial, t0 in enumerate(starts):
        seen = defaultdict(int)
        first_once = set()
        for ns, who, hop, detail in lines:
            if ns < t0 or ns > t0 + WINDOW_NS or (who == "driver" and hop == "motion-sent"):
                continue
            if who == "driver":
                detail = ""
            elif who == "switch" and hop != "key-sent":
                rid = int(detail) if detail else 0
                if rid not in REQUESTS:
                    continue
                detail = "%s 0x%02X" % (REQUESTS[rid], rid)
            elif hop in ("request-answered", "band-found", "mouse-status-answered"):
                detail = ""
            elif hop in SKIP:
                detail = ""
            if hop in SKIP:
                # Only the first motion or key read after the move was sent is this crossing's.
                if (who, hop) in first_once:
                    continue
                first_once.add((who, hop))
            if hop == "frame-shown" and who == "A":
                continue
            name = "%s %s%s" % (who, hop, (" " + detail) if detail else "")
            seen[name] += 1
            if seen[name] > 1:
                name += " #%d" % seen[name]
            per_hop[name].append((trial, (ns - t0) / 1000.0))
    if not starts:
        print("no crossings in", path)
        return 1
    n = len(starts)
    rows = [(statistics.median(t for _, t in v), name, v) for name, v in per_hop.items() if len(v) >= n // 2]
    rows.sort()
    print("crossings: %d (A -> B)" % n)
    print("%-3s %-40s %12s %12s %5s" % ("#", "hop", "t med (us)", "step (us)", "n"))
    prev = None
    for i, (med, name, v) in enumerate(rows, 1):
        step = ""
        if prev is not None:
            by_trial = dict(prev)
            steps = [t - by_trial[tr] for tr, t in v if tr in by_trial]
            if steps:
                step = "%.1f" % statistics.median(steps)
        print("%-3d %-40s %12.1f %12s %5d" % (i, name, med, step, len(v)))
        prev = v
    return 0


if __name__ == "__main__":
    sys.exit(main())
