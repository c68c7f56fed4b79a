#pragma once

#include "platform/inputhooks.h"

#include <QList>

// Hooks that install nothing but note what the engine asks, and pass events on with a value of their
// own so that a test can tell "passed on" from "swallowed".
struct FakeInputHooks : InputHooks {
    static constexpr std::intptr_t PassedOn = 42;
    FakeInputHooks() { InputHooks::setInstance(this); }
    ~FakeInputHooks() override { InputHooks::setInstance(nullptr); }
    HookHandle installMouseHook(Procedure) override { return failMouse ? nullptr : HookHandle(&failMouse); }
    HookHandle installKeyboardHook(Procedure) override { return failKeyboard ? nullptr : HookHandle(&failKeyboard); }
    void uninstall(HookHandle hook) override { uninstalled.append(hook); }
    std::intptr_t callNext(int, std::uintptr_t, std::intptr_t) override { return PassedOn; }
    bool failMouse = false, failKeyboard = false;
    QList<HookHandle> uninstalled;
};
