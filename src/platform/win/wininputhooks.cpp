#include "platform/win/wininputhooks.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <type_traits>

// The engine's procedures have the shape of a hook procedure with pointer-sized parameters;
// the system calls the trampolines below with its own types, which must carry the same bits.
static_assert(sizeof(WPARAM) == sizeof(std::uintptr_t) && std::is_unsigned<WPARAM>::value, "WPARAM");
static_assert(sizeof(LPARAM) == sizeof(std::intptr_t) && sizeof(LRESULT) == sizeof(std::intptr_t), "LPARAM");
// The engine reads the leading members of the system's event records.
static_assert(offsetof(MSLLHOOKSTRUCT, pt) == 0 && sizeof(POINT) == sizeof(PointerEventRecord), "MSLLHOOKSTRUCT");
static_assert(offsetof(KBDLLHOOKSTRUCT, vkCode) == 0 && sizeof(DWORD) == sizeof(KeyEventRecord), "KBDLLHOOKSTRUCT");
static_assert(WM_MOUSEMOVE == HookMessage::MouseMove && WM_RBUTTONUP == HookMessage::RightButtonUp
        && WM_KEYDOWN == HookMessage::KeyDown && WM_SYSKEYDOWN == HookMessage::SysKeyDown && VK_F13 == FocusArrivalKey,
    "message identifiers");

namespace
{
// The procedures receive no object; the system calls them on the installing thread.
InputHooks::Procedure s_mouseProcedure = nullptr;
InputHooks::Procedure s_keyboardProcedure = nullptr;

LRESULT CALLBACK mouseTrampoline(int nCode, WPARAM wParam, LPARAM lParam)
{
    if (nCode < 0 || !s_mouseProcedure)
        return CallNextHookEx(nullptr, nCode, wParam, lParam);
    return s_mouseProcedure(nCode, wParam, lParam);
}

LRESULT CALLBACK keyboardTrampoline(int nCode, WPARAM wParam, LPARAM lParam)
{
    if (nCode < 0 || !s_keyboardProcedure)
        return CallNextHookEx(nullptr, nCode, wParam, lParam);
    return s_keyboardProcedure(nCode, wParam, lParam);
}

class WinInputHooks : public InputHooks
{
public:
    HookHandle installMouseHook(Procedure procedure) override
    {
        s_mouseProcedure = procedure;
        return SetWindowsHookExW(WH_MOUSE_LL, mouseTrampoline, GetModuleHandleW(nullptr), 0);
    }

    HookHandle installKeyboardHook(Procedure procedure) override
    {
        s_keyboardProcedure = procedure;
        return SetWindowsHookExW(WH_KEYBOARD_LL, keyboardTrampoline, GetModuleHandleW(nullptr), 0);
    }

    void uninstall(HookHandle hook) override
    {
        // Failures are of no consequence: the handle is forgotten either way.
        if (hook)
            UnhookWindowsHookEx(static_cast<HHOOK>(hook));
    }

    std::intptr_t callNext(int code, std::uintptr_t message, std::intptr_t record) override
    {
        return CallNextHookEx(nullptr, code, message, record);
    }
};
} // namespace

InputHooks *createWinInputHooks()
{
    return new WinInputHooks;
}
