#pragma once

#include <QString>

// The kind of desktop session the agent runs in. Under Wayland an X11 program (the agent runs
// under XWayland there) neither sees the pointer over other programs' windows nor may move it,
// so the edges of this screen are never reached and crossings never happen.
namespace Session
{
// XDG_SESSION_TYPE is "wayland", or WAYLAND_DISPLAY is set.
bool isWayland();
// One line for the log and stderr saying so and what to do; empty outside Wayland.
QString waylandNotice();
// The same, short enough for a tray tooltip; empty outside Wayland.
QString waylandTip();
} // namespace Session
