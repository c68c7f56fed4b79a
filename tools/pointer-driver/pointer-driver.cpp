// Moves the pointer of X displays for the scripts and benchmarks that run agents on a rig of
// X servers (scripts/lib/rig.sh): single moves and paced pushes on one display, traced
// crossings between two, and the soak's unplug cycles and crossings. XTest relative motion
// reaches the agents as a hand's would; the pace is kept against the monotonic clock.

#include "commands.h"
#include "switchctl.h"
#include "xpointer.h"

#include <sys/prctl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>

namespace driver
{
namespace
{
using DisplayPtr = std::unique_ptr<Display, decltype(&XCloseDisplay)>;

DisplayPtr openDisplay(const std::string &name)
{
    DisplayPtr d(XOpenDisplay(name.c_str()), &XCloseDisplay);
    if (!d)
        std::fprintf(stderr, "pointer-driver: cannot open the display %s\n", name.c_str());
    return d;
}
} // namespace

bool toInt(const std::string &text, int &out, int min, int max)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > max)
        return false;
    out = int(value);
    return true;
}

int usage()
{
    std::fputs("usage: pointer-driver move DISPLAY X Y\n"
               "       pointer-driver where DISPLAY                 prints x:X y:Y\n"
               "       pointer-driver push DISPLAY DX DY STEPS EVERY_MS [--until-port SOCKET PORT]\n"
               "       pointer-driver crossings N DISPLAY_A DISPLAY_B TRACE_FILE\n"
               "       pointer-driver edge-run MSEC DISPLAY_A DISPLAY_B TRACE_FILE\n"
               "       pointer-driver band-run MSEC top|right|push PX STEP_US DISPLAY_A DISPLAY_B TRACE_FILE\n"
               "       pointer-driver flick N MSEC DISPLAY_A DISPLAY_B TRACE_FILE\n"
               "       pointer-driver push-back N DISPLAY_A DISPLAY_B TRACE_FILE\n"
               "       pointer-driver soak cycles|cross COUNT --socket S --every N --csv FILE --proc NAME=PID...\n"
               "                      [--log AGENT_LOG_DIR...] [--display A --display B]\n",
        stderr);
    return 2;
}

// move DISPLAY X Y: the pointer jumps there.
int move(const Args &args)
{
    int x = 0, y = 0;
    if (args.size() != 3 || !toInt(args[1], x, 0, 65535) || !toInt(args[2], y, 0, 65535))
        return usage();
    const DisplayPtr d = openDisplay(args[0]);
    if (!d)
        return 1;
    warp(d.get(), x, y);
    return 0;
}

// where DISPLAY: prints where the pointer is, as "x:X y:Y".
int where(const Args &args)
{
    if (args.size() != 1)
        return usage();
    const DisplayPtr d = openDisplay(args[0]);
    if (!d)
        return 1;
    const Point p = where(d.get());
    std::printf("x:%d y:%d\n", p.x, p.y);
    return 0;
}

// push DISPLAY DX DY STEPS EVERY_MS [--until-port SOCKET PORT]: STEPS moves by (DX, DY), one
// every EVERY_MS ms. With --until-port it stops once the switch serves PORT (asked after each
// move) and ends with status 3 when it never does.
int push(const Args &args)
{
    int dx = 0, dy = 0, steps = 0, everyMs = 0, port = 0;
    const bool until = args.size() == 8 && args[5] == "--until-port";
    if ((args.size() != 5 && !until) || !toInt(args[1], dx, -10000, 10000) || !toInt(args[2], dy, -10000, 10000)
        || !toInt(args[3], steps, 0, 10000000) || !toInt(args[4], everyMs, 0, 60000)
        || (until && !toInt(args[7], port, 1, 8)))
        return usage();
    SwitchCtl sw;
    if (until && !sw.connectTo(args[6])) {
        std::fprintf(stderr, "pointer-driver: no switch at %s\n", args[6].c_str());
        return 1;
    }
    const DisplayPtr d = openDisplay(args[0]);
    if (!d)
        return 1;
    prctl(PR_SET_TIMERSLACK, 1UL);
    Pace pace(everyMs * 1000000LL);
    for (int step = 0; step < steps; ++step) {
        pace.wait();
        moveBy(d.get(), dx, dy);
        if (until && sw.currentPort() == port)
            return 0;
    }
    return until ? 3 : 0;
}
} // namespace driver

int main(int argc, char *argv[])
{
    using namespace driver;
    if (argc < 2)
        return usage();
    const std::string command = argv[1];
    const Args args(argv + 2, argv + argc);
    const std::map<std::string, std::function<int(const Args &)>> commands {
        {"move", move},
        {"where", static_cast<int (*)(const Args &)>(where)},
        {"push", push},
        {"crossings", crossings},
        {"edge-run", edgeRun},
        {"band-run", bandRun},
        {"flick", flicks},
        {"push-back", pushBacks},
    };
    if (command == "soak" && !args.empty() && (args[0] == "cycles" || args[0] == "cross"))
        return soak(args[0], Args(args.begin() + 1, args.end()));
    const auto it = commands.find(command);
    return it == commands.end() ? usage() : it->second(args);
}
