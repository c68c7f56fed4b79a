// The moving part of scripts/soak.sh: drives a running two-computer rig (the virtual switch
// daemon and an agent on each of two X displays) through one phase and samples open fds,
// threads and resident memory of the given processes into a CSV file as it goes.
//
//   soak cycles COUNT: unplug the switch, plug it back in, and wait until every agent is back
//       online: the daemon holds both again, has accepted a request from each since, and each
//       agent has logged that it opened the switch anew. Exits 1 naming the cycle otherwise.
//   soak cross COUNT: crossings, each in the direction the switch's current port calls for:
//       from A's right edge to B (port 1 -> 2) or from B's left edge to A (port 2 -> 1), pushed
//       with XTest relative motion (4 px every 2 ms). A crossing the switch does not carry out
//       within 2 s counts as failed; the next one tries the same way again.
//
// Prints one line per sample and a summary: how soon the agents were back after a plug and
// "cycles done N", or "crossings ok N failed M".

#include "commands.h"
#include "switchctl.h"
#include "xpointer.h"

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace driver
{
namespace
{
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void sleepMs(double ms)
{
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
}

struct Process {
    std::string name;
    int pid = 0;
};

struct Usage {
    int fds = -1, threads = -1;
    long rssKb = -1;
    // Parts of it: the heaps, mapped files (code paged in as it first runs), shared memory.
    long anonKb = -1, fileKb = -1, shmemKb = -1;
};

Usage usageOf(int pid)
{
    Usage u;
    const std::string base = "/proc/" + std::to_string(pid);
    if (DIR *d = opendir((base + "/fd").c_str())) {
        u.fds = 0;
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                ++u.fds;
        closedir(d);
    }
    std::ifstream status(base + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0)
            u.threads = std::atoi(line.c_str() + 8);
        else if (line.rfind("VmRSS:", 0) == 0)
            u.rssKb = std::atol(line.c_str() + 6);
        else if (line.rfind("RssAnon:", 0) == 0)
            u.anonKb = std::atol(line.c_str() + 8);
        else if (line.rfind("RssFile:", 0) == 0)
            u.fileKb = std::atol(line.c_str() + 8);
        else if (line.rfind("RssShmem:", 0) == 0)
            u.shmemKb = std::atol(line.c_str() + 9);
    }
    return u;
}

class Sampler
{
public:
    Sampler(const std::string &phase, const std::string &csv, std::vector<Process> processes)
        : m_phase(phase)
        , m_processes(std::move(processes))
        , m_start(Clock::now())
    {
        m_csv = std::fopen(csv.c_str(), "a");
    }
    ~Sampler()
    {
        if (m_csv)
            std::fclose(m_csv);
    }
    bool ok() const { return m_csv != nullptr; }
    // False when a process is gone.
    bool sample(int step)
    {
        bool alive = true;
        std::printf("%s %6d %7.1fs", m_phase.c_str(), step, secondsSince(m_start));
        for (const Process &p : m_processes) {
            const Usage u = usageOf(p.pid);
            alive = alive && u.rssKb >= 0;
            std::fprintf(m_csv, "%s,%d,%.1f,%s,%d,%d,%d,%ld,%ld,%ld,%ld\n", m_phase.c_str(), step,
                secondsSince(m_start), p.name.c_str(), p.pid, u.fds, u.threads, u.rssKb, u.anonKb, u.fileKb, u.shmemKb);
            std::printf(
                "  %s fds %d thr %d rss %ld (anon %ld) kB", p.name.c_str(), u.fds, u.threads, u.rssKb, u.anonKb);
        }
        std::printf("\n");
        std::fflush(m_csv);
        std::fflush(stdout);
        return alive;
    }

private:
    std::string m_phase;
    std::vector<Process> m_processes;
    Clock::time_point m_start;
    FILE *m_csv = nullptr;
};

int accepted(const std::string &status, int port)
{
    const size_t at = status.find("\"accepted\":");
    return at == std::string::npos ? -1 : std::max(0, jsonInt(status, std::to_string(port), at));
}

// Counts a line in an agent's log as it grows: the day's file under its data folder.
class LogWatch
{
public:
    explicit LogWatch(std::string dir)
        : m_dir(std::move(dir))
    {
    }
    int count(const std::string &needle)
    {
        std::time_t now = std::time(nullptr);
        char name[32];
        std::strftime(name, sizeof name, "/log%Y-%m-%d.txt", std::localtime(&now));
        const std::string path = m_dir + name;
        if (path != m_path) {
            m_path = path;
            m_offset = 0;
            m_rest.clear();
        }
        std::ifstream f(m_path, std::ios::binary);
        f.seekg(std::streamoff(m_offset));
        std::string chunk((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        m_offset += chunk.size();
        std::string text = m_rest + chunk;
        const size_t lastLine = text.rfind('\n');
        m_rest = lastLine == std::string::npos ? text : text.substr(lastLine + 1);
        for (size_t at = text.find(needle); at != std::string::npos && at < lastLine + 1;
             at = text.find(needle, at + 1))
            ++m_seen;
        return m_seen;
    }

private:
    std::string m_dir, m_path, m_rest;
    size_t m_offset = 0;
    int m_seen = 0;
};

int runCycles(SwitchCtl &sw, Sampler &sampler, int count, int every, std::vector<LogWatch> &logs)
{
    constexpr double s_boundSeconds = 20.0; // two heartbeats are 6 s
    const char *reopened = "hid_open() ok";
    std::vector<double> backAfter; // seconds from plug until both agents were back
    if (!sampler.sample(0))
        return 1;
    for (int cycle = 1; cycle <= count; ++cycle) {
        if (sw.ctl("unplug") != "ok") {
            std::printf("FAIL cycle %d: the switch did not take unplug\n", cycle);
            return 1;
        }
        // Counted from here: nothing is accepted nor reopened while the cable is out.
        const std::string before = sw.status();
        if (jsonInt(before, "agents") != 0) {
            std::printf("FAIL cycle %d: the switch did not let go of its agents (status %s)\n", cycle, before.c_str());
            return 1;
        }
        std::vector<int> opened;
        for (LogWatch &log : logs)
            opened.push_back(log.count(reopened));
        if (sw.ctl("plug") != "ok") {
            std::printf("FAIL cycle %d: the switch did not take plug\n", cycle);
            return 1;
        }
        const Clock::time_point plugged = Clock::now();
        std::string now;
        std::string missing;
        for (;;) {
            now = sw.status();
            missing.clear();
            if (jsonInt(now, "agents") != int(logs.size()))
                missing += " agents=" + std::to_string(jsonInt(now, "agents"));
            for (size_t i = 0; i < logs.size(); ++i) {
                const int port = int(i) + 1;
                if (accepted(now, port) <= accepted(before, port))
                    missing += " port" + std::to_string(port) + ":no-request-since";
                if (logs[i].count(reopened) <= opened[i])
                    missing += " port" + std::to_string(port) + ":no-reopen-logged";
            }
            if (missing.empty()) {
                backAfter.push_back(secondsSince(plugged));
                break;
            }
            if (secondsSince(plugged) > s_boundSeconds) {
                std::printf("FAIL cycle %d: not back online %.0f s after plug:%s (status %s)\n", cycle, s_boundSeconds,
                    missing.c_str(), now.c_str());
                sampler.sample(cycle);
                return 1;
            }
            sleepMs(50);
        }
        if (cycle % every == 0 || cycle == count / 2 || cycle == count) {
            if (!sampler.sample(cycle)) {
                std::printf("FAIL cycle %d: a process is gone\n", cycle);
                return 1;
            }
        }
    }
    std::sort(backAfter.begin(), backAfter.end());
    if (!backAfter.empty())
        std::printf(
            "back online after plug: median %.1f s, max %.1f s\n", backAfter[backAfter.size() / 2], backAfter.back());
    std::printf("cycles done %d\n", count);
    return 0;
}

struct Side {
    Display *x = nullptr;
    int x0 = 0, dx = 0; // where a push starts and which way it goes
};

int runCrossings(SwitchCtl &sw, Sampler &sampler, int count, int every, Side a, Side b)
{
    constexpr int s_step = 4; // px every 2 ms: 2 px/ms, well over the crossing speed
    constexpr double s_limitMs = 2000.0;
    int ok = 0, failed = 0;
    if (!sampler.sample(0))
        return 1;
    for (int i = 1; i <= count; ++i) {
        const int from = sw.currentPort();
        if (from != 1 && from != 2) {
            std::printf("FAIL crossing %d: no status from the switch\n", i);
            return 1;
        }
        const Side &p = from == 1 ? a : b;
        warp(p.x, p.x0, 540);
        sleepMs(20);
        const Clock::time_point start = Clock::now();
        Pace pace(2000000);
        bool crossed = false;
        for (int step = 1; !crossed; ++step) {
            pace.wait();
            moveBy(p.x, p.dx * s_step, 0);
            if (step % 5 == 0)
                crossed = sw.currentPort() != from;
            if (!crossed && secondsSince(start) * 1000.0 > s_limitMs)
                break;
        }
        if (crossed) {
            ++ok;
        } else {
            ++failed;
            std::printf("crossing %d from port %d failed\n", i, from);
        }
        // Let the receiving agent place its pointer before it is moved again.
        sleepMs(40);
        if (i % every == 0 || i == count / 2 || i == count) {
            if (!sampler.sample(i)) {
                std::printf("FAIL crossing %d: a process is gone\n", i);
                return 1;
            }
        }
    }
    std::printf("crossings ok %d failed %d\n", ok, failed);
    return failed == 0 ? 0 : 3;
}
} // namespace

// soak cycles|cross COUNT --socket S --every N --csv FILE --proc NAME=PID... [--log DIR...] [--display A --display B]
int soak(const std::string &phase, const Args &args)
{
    int count = 0;
    if (args.empty() || !toInt(args[0], count, 0, 100000000))
        return usage();
    std::string socketPath, csv;
    int every = 10;
    std::vector<Process> processes;
    std::vector<LogWatch> logs;
    std::vector<std::string> displays;
    if (args.size() % 2 != 1)
        return usage();
    for (size_t i = 1; i + 1 < args.size(); i += 2) {
        const std::string &option = args[i], &value = args[i + 1];
        const size_t equals = value.find('=');
        int pid = 0;
        if (option == "--socket")
            socketPath = value;
        else if (option == "--every" && toInt(value, every, 1, 100000000))
            continue;
        else if (option == "--csv")
            csv = value;
        else if (option == "--log")
            logs.emplace_back(value);
        else if (option == "--display")
            displays.push_back(value);
        else if (option == "--proc" && equals != std::string::npos && toInt(value.substr(equals + 1), pid, 1, 1 << 30))
            processes.push_back({value.substr(0, equals), pid});
        else
            return usage();
    }
    if (socketPath.empty() || csv.empty())
        return usage();
    if (phase == "cycles" ? logs.empty() : displays.size() != 2)
        return usage();
    SwitchCtl sw;
    if (!sw.connectTo(socketPath)) {
        std::fprintf(stderr, "no switch at %s\n", socketPath.c_str());
        return 1;
    }
    Sampler sampler(phase, csv, processes);
    if (!sampler.ok()) {
        std::fprintf(stderr, "cannot write %s\n", csv.c_str());
        return 1;
    }
    if (phase == "cycles")
        return runCycles(sw, sampler, count, every, logs);
    Side a {XOpenDisplay(displays[0].c_str()), 1920 - 400, +1};
    Side b {XOpenDisplay(displays[1].c_str()), 400, -1};
    int rc = 1;
    if (!a.x || !b.x)
        std::fprintf(stderr, "cannot open the displays\n");
    else
        rc = runCrossings(sw, sampler, count, every, a, b);
    if (a.x)
        XCloseDisplay(a.x);
    if (b.x)
        XCloseDisplay(b.x);
    return rc;
}
} // namespace driver
