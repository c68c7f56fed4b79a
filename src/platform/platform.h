#pragma once

#include <functional>

// What the agent needs from the operating system besides input: commands that an installer
// runs in place of a start of the agent, and the session's sleep and wake.
namespace Platform
{
constexpr int NoCommand = -1;

// Runs a platform command named on the command line (Windows: "--autostart on|off") and
// returns its exit code; NoCommand when there is none and the agent starts as usual.
int runCommand(int argc, char *argv[]);

struct SessionEvents {
    // The computer is going to sleep: let go of the switch.
    std::function<void()> suspending;
    // It has woken: open the switch again; true when the switch answers.
    std::function<bool()> resumed;
};

// Once the application object exists, in the instance that runs the engine: logs what the
// platform knows of the display and delivers sleep and wake on the GUI thread.
void watchSession(SessionEvents events);
} // namespace Platform
