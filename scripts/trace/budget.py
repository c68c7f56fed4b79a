#!/usr/bin/env python3
"""Per-hop budget of a crossing from the lines of SPANLINK_TRACE.

usage: budget.py TRACE_FILE PID_A PID_B PID_SWITCH

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


def main():
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
