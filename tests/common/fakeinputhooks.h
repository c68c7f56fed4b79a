#pragma once

#include "platform/inputhooks.h"

#include <QList>

// Hooks that install nothing real but note what the engine asks of them, and pass events on
// with a value of their own so that a test can tell "passed on" from "swallowed".
class FakeInputHooks : public InputHooks
{
public:
    static constexpr std::intptr_t PassedOn = 42;

    FakeInputHooks() { InputHooks::setInstance(this); }
    ~FakeInputHooks() override { InputHooks::setInstance(nullptr); }

    HookHandle installMouseHook(Procedure) override { return failMouse ? nullptr : HookHandle(&m_mouse); }
    HookHandle installKeyboardHook(Procedure) override { return failKeyboard ? nullptr : HookHandle(&m_keyboard); }
    void uninstall(HookHandle hook) override { uninstalled.append(hook); }
    std::intptr_t callNext(int, std::uintptr_t, std::intptr_t) override { return PassedOn; }

    bool failMouse = false, failKeyboard = false;
    QList<HookHandle> uninstalled;

private:
    int m_mouse = 0, m_keyboard = 0;
};
