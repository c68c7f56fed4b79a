#include "session.h"

#include <QtGlobal>

namespace Session
{
bool isWayland()
{
    return qgetenv("XDG_SESSION_TYPE").trimmed().toLower() == "wayland"
        || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

QString waylandNotice()
{
    if (!isWayland())
        return {};
    return QStringLiteral("This is a Wayland session: the agent can neither follow nor move the pointer there, so "
                          "crossings to other computers do not happen. Crossings need an X11 session (at the login "
                          "screen choose one \"on Xorg\").");
}

QString waylandTip()
{
    return isWayland() ? QStringLiteral("Crossings need an X11 session; this is a Wayland session.") : QString();
}
} // namespace Session
