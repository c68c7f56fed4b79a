#!/usr/bin/env python3
"""The pointer hook's time per event and the switch exchanges of one driver run, from the lines
of SPANLINK_TRACE (scripts/measure-hookpath.sh).

usage: hookpath.py band TRACE_FILE DRIVER_PID AGENT_PID
       hookpath.py crossing TRACE_FILE DRIVER_PID AGENT_PID
       hookpath.py agent TRACE_FILE   (one agent's hops only, whatever its clock)

band: the run's window is that of the driver's "run-sent" stamps (plus 50 ms); printed are the
moves sent, the positions the agent handled, its switch exchanges by request, and the hook's
time per event: all moves, moves in an edge band that did not cross, and the crossing one.
crossing: the hook's time for the event that made each switch request after "motion-sent".
"""
import statistics
import sys

MOVE = 0x0200


CPU = {}  # (ns, pid, hop) -> (thread CPU ns, involuntary switches so far), where the agent says


def lines_of(path):
    for raw in open(path):
        parts = raw.split()
        if len(parts) >= 4:
            if len(parts) >= 7:
                CPU[(int(parts[0]), parts[1], parts[3])] = (int(parts[5]), int(parts[6]))
            yield int(parts[0]), parts[1], parts[2], parts[3], (int(parts[4]) if len(parts) > 4 else None)


def events(hops, pid=None):
    """Hook calls of one agent: (start ns, duration us, the hops in between, result, message,
    CPU us or None, involuntary switches or None)."""
    out, cur = [], None
    for ns, hop, detail in hops:
        if hop == "hook-entered":
            cur = (ns, detail, [])
        elif cur and hop == "hook-left":
            a, b = CPU.get((cur[0], pid, "hook-entered")), CPU.get((ns, pid, "hook-left"))
            cpu = (b[0] - a[0]) / 1000.0 if a and b and a[0] >= 0 and b[0] >= 0 else None
            switched = b[1] - a[1] if a and b and a[1] >= 0 and b[1] >= 0 else None
            out.append((cur[0], (ns - cur[0]) / 1000.0, cur[2], detail, cur[1], cpu, switched))
            cur = None
        elif cur:
            cur[2].append(hop)
    return out


def cpu_rows(label, evs):
    """The same events by thread CPU time, and those the scheduler interrupted."""
    cpu = [e[5] for e in evs if e[5] is not None]
    if not cpu:
        return
    print("%-34s %s" % (label + ", CPU", stats(cpu)))
    print("%-34s %s" % ("  wall, the scheduler not in it", stats([e[1] for e in evs if e[6] == 0])))
    hit = [e for e in evs if e[6]]
    print("%-34s %d of %d (wall %s us)" % ("  preempted inside the hook", len(hit), len(evs),
                                            ", ".join("%.1f" % e[1] for e in sorted(hit, key=lambda e: -e[1])[:5])
                                            or "-"))


def stats(values):
    if not values:
        return "%8s %8s %8s %5d" % ("-", "-", "-", 0)
    return "%8.1f %8.1f %8.1f %5d" % (statistics.median(values), pct(values, 0.9), max(values), len(values))


def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p * (len(values) - 1))))]


def band(path, driver, agent):
    rows = list(lines_of(path))
    sent = [ns for ns, pid, prog, hop, _ in rows if pid == driver and hop == "run-sent"]
    if not sent:
        print("no run of driver", driver)
        return 1
    lo, hi = sent[0], sent[-1] + 50_000_000
    mine = [(ns, hop, d) for ns, pid, prog, hop, d in rows if pid == agent and lo <= ns <= hi]
    mine.sort()
    requests = {}
    for ns, pid, prog, hop, d in rows:
        if prog == "vswitch" and hop == "request-read" and lo <= ns <= hi:
            requests[d] = requests.get(d, 0) + 1
    ev = [e for e in events(mine, agent) if e[4] == MOVE]
    in_band = [e[1] for e in ev if "band-found" in e[2] and "request-answered" not in e[2]]
    crossing = [e[1] for e in ev if "request-answered" in e[2]]
    print("moves sent %d over %.0f ms; positions handled %d; exchanges: %s"
          % (len(sent), (sent[-1] - sent[0]) / 1e6, len(ev),
             ", ".join("0x%02X x %d" % (k, v) for k, v in sorted(requests.items())) or "none"))
    print("%-34s %8s %8s %8s %5s" % ("hook time per event (us)", "median", "p90", "max", "n"))
    print("%-34s %s" % ("every move", stats([e[1] for e in ev])))
    print("%-34s %s" % ("move in a band, not crossing", stats(in_band)))
    print("%-34s %s" % ("move that made a request", stats(crossing)))
    cpu_rows("every move", ev)
    cpu_rows("move in a band, not crossing", [e for e in ev if "band-found" in e[2] and "request-answered" not in e[2]])
    if "-v" in sys.argv:
        for e in sorted(ev, key=lambda e: -e[1])[:5]:
            print("slowest: %.1f us (CPU %s us, preempted %s) at +%.1f ms: %s"
                  % (e[1], "-" if e[5] is None else "%.1f" % e[5], e[6], (e[0] - lo) / 1e6, " ".join(e[2])))
    return 0


def crossing(path, driver, agent):
    rows = list(lines_of(path))
    starts = [ns for ns, pid, prog, hop, _ in rows if pid == driver and hop == "motion-sent"]
    mine = sorted((ns, hop, d) for ns, pid, prog, hop, d in rows if pid == agent)
    ev = [e for e in events(mine) if e[4] == MOVE and "request-answered" in e[2]]
    times = []
    for t0 in starts:
        hit = [e for e in ev if t0 <= e[0] <= t0 + 250_000_000]
        if hit:
            times.append(hit[0][1])
    print("%-34s %8s %8s %8s %5s" % ("hook time per event (us)", "median", "p90", "max", "n"))
    print("%-34s %s" % ("the crossing move", stats(times)))
    return 0


def agent(path):
    mine = sorted((ns, hop, d) for ns, pid, prog, hop, d in lines_of(path) if prog == "spanlink")
    ev = [e for e in events(mine) if e[4] == MOVE]
    print("%-34s %8s %8s %8s %5s" % ("hook time per event (us)", "median", "p90", "max", "n"))
    print("%-34s %s" % ("every move", stats([e[1] for e in ev])))
    print("%-34s %s" % ("move in a band, not crossing",
                        stats([e[1] for e in ev if "band-found" in e[2] and "request-answered" not in e[2]])))
    print("%-34s %s" % ("move that made a request", stats([e[1] for e in ev if "request-answered" in e[2]])))
    print("exchanges made in the hook: %d port status, %d switch requests"
          % (sum(e[2].count("port-status-answered") for e in ev), sum(e[2].count("request-answered") for e in ev)))
    return 0


if __name__ == "__main__":
    mode = sys.argv[1]
    if mode == "agent":
        sys.exit(agent(sys.argv[2]))
    sys.exit((band if mode == "band" else crossing)(*sys.argv[2:5]))
