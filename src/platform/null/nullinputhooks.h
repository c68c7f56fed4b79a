#pragma once

#include "platform/inputhooks.h"

// For platforms and sessions without desktop-wide input: installs nothing, so the engine
// reports its hooks as failed and runs on without crossings.
class NullInputHooks : public InputHooks
{
public:
    HookHandle installMouseHook(Procedure) override { return nullptr; }
    HookHandle installKeyboardHook(Procedure) override { return nullptr; }
    void uninstall(HookHandle) override { }
    std::intptr_t callNext(int, std::uintptr_t, std::intptr_t) override { return 0; }
};
