#include "platform/inputhooks.h"

#include "platform/null/nullinputhooks.h"

namespace
{
InputHooks *s_override = nullptr;

InputHooks &platformHooks()
{
    // The platform implementations join here; until then nothing is hooked.
    static NullInputHooks s_hooks;
    return s_hooks;
}
} // namespace

InputHooks &InputHooks::instance()
{
    return s_override ? *s_override : platformHooks();
}

void InputHooks::setInstance(InputHooks *hooks)
{
    s_override = hooks;
}
