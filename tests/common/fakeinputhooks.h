#pragma once

#include "platform/inputhooks.h"

#include <QList>

// Input hooks that install nothing real but count what the engine asks of them, and pass
// events on with a value of their own so that a test can tell "passed on" from "swallowed".
class FakeInputHooks : public InputHooks
{
public:
    static constexpr std::intptr_t PassedOn = 42;

    FakeInputHooks() { InputHooks::setInstance(this); }
    ~FakeInputHooks() override { InputHooks::setInstance(nullptr); }

    HookHandle installMouseHook(Procedure procedure) override
    {
        mouseProcedure = procedure;
        return failMouse ? nullptr : HookHandle(&m_mouseToken);
    }
    HookHandle installKeyboardHook(Procedure procedure) override
    {
        keyboardProcedure = procedure;
        return failKeyboard ? nullptr : HookHandle(&m_keyboardToken);
    }
    void uninstall(HookHandle hook) override { uninstalled.append(hook); }
    std::intptr_t callNext(int, std::uintptr_t, std::intptr_t) override
    {
        ++passedOn;
        return PassedOn;
    }

    bool failMouse = false;
    bool failKeyboard = false;
    Procedure mouseProcedure = nullptr;
    Procedure keyboardProcedure = nullptr;
    QList<HookHandle> uninstalled;
    int passedOn = 0;

private:
    int m_mouseToken = 0;
    int m_keyboardToken = 0;
};
