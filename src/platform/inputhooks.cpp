#include "platform/inputhooks.h"

#include "platform/null/nullinputhooks.h"

#include <QDebug>
#include <QGuiApplication>

#if defined(Q_OS_WIN)
#include "platform/win/wininputhooks.h"
#elif defined(SPANLINK_HAVE_X11)
#include "platform/x11/x11inputhooks.h"
#endif

namespace
{
InputHooks *s_override = nullptr;

InputHooks *createPlatformHooks()
{
#if defined(Q_OS_WIN)
    return createWinInputHooks([](const char *message) { qWarning("%s", message); });
#elif defined(SPANLINK_HAVE_X11)
    // Only with the desktop itself: an offscreen or headless session hooks nothing.
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        return new X11InputHooks;
#endif
    return new NullInputHooks;
}
} // namespace

InputHooks &InputHooks::instance()
{
    if (s_override)
        return *s_override;
    // Made once, on first use on the GUI thread, and kept for the life of the process.
    static InputHooks *s_hooks = createPlatformHooks();
    return *s_hooks;
}

void InputHooks::setInstance(InputHooks *hooks)
{
    s_override = hooks;
}
