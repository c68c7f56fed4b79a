#include "platform/win/wininputhooks.h"

#include "platform/hookwatchdog.h"

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
// How often the watchdog looks at the system's last input.
constexpr UINT s_watchdogMsec = 500;

// The procedures receive no object; the system calls them on the installing thread, which
// also runs the watchdog (from the engine's speed sample).
InputHooks::Procedure s_mouseProcedure = nullptr;
InputHooks::Procedure s_keyboardProcedure = nullptr;
// The system's hooks. The handles given out are the addresses of these, so that a hook the
// watchdog installs again is still the one the caller removes.
HHOOK s_mouseHook = nullptr;
HHOOK s_keyboardHook = nullptr;
HookWatchdog s_watchdog;
bool s_watching = false;
DWORD s_lastCheck = 0;
void (*s_report)(const char *message) = nullptr;

LRESULT CALLBACK mouseTrampoline(int nCode, WPARAM wParam, LPARAM lParam)
{
    s_watchdog.hookRan(GetTickCount());
    if (nCode < 0 || !s_mouseProcedure)
        return CallNextHookEx(nullptr, nCode, wParam, lParam);
    return s_mouseProcedure(nCode, wParam, lParam);
}

LRESULT CALLBACK keyboardTrampoline(int nCode, WPARAM wParam, LPARAM lParam)
{
    s_watchdog.hookRan(GetTickCount());
    if (nCode < 0 || !s_keyboardProcedure)
        return CallNextHookEx(nullptr, nCode, wParam, lParam);
    return s_keyboardProcedure(nCode, wParam, lParam);
}

// Windows removes a low-level hook that once took too long, and says nothing: install both
// again when input has been arriving that neither saw.
void watchdogCheck(DWORD now)
{
    LASTINPUTINFO info;
    info.cbSize = sizeof info;
    if (!GetLastInputInfo(&info) || !s_watchdog.check(now, info.dwTime))
        return;
    reinstallHooks();
    if (s_report) {
        char line[160];
        wsprintfA(line, "input hooks: input for %lu ms reached neither hook; the system removed them, installed again",
            static_cast<unsigned long>(s_watchdog.unseenMsec()));
        s_report(line);
    }
}

void updateWatchdog()
{
    const bool wanted = s_mouseHook || s_keyboardHook;
    if (wanted && !s_watching) {
        s_lastCheck = GetTickCount();
        s_watchdog.hookRan(s_lastCheck);
    }
    s_watching = wanted;
}

class WinInputHooks : public InputHooks
{
public:
    HookHandle installMouseHook(Procedure procedure) override
    {
        if (s_mouseHook)
            UnhookWindowsHookEx(s_mouseHook);
        s_mouseProcedure = procedure;
        s_mouseHook = SetWindowsHookExW(WH_MOUSE_LL, mouseTrampoline, GetModuleHandleW(nullptr), 0);
        updateWatchdog();
        return s_mouseHook ? &s_mouseHook : nullptr;
    }

    HookHandle installKeyboardHook(Procedure procedure) override
    {
        if (s_keyboardHook)
            UnhookWindowsHookEx(s_keyboardHook);
        s_keyboardProcedure = procedure;
        s_keyboardHook = SetWindowsHookExW(WH_KEYBOARD_LL, keyboardTrampoline, GetModuleHandleW(nullptr), 0);
        updateWatchdog();
        return s_keyboardHook ? &s_keyboardHook : nullptr;
    }

    void uninstall(HookHandle hook) override
    {
        // Failures are of no consequence: the handle is forgotten either way.
        if (hook == &s_mouseHook || hook == &s_keyboardHook) {
            HHOOK &slot = *static_cast<HHOOK *>(hook);
            if (slot)
                UnhookWindowsHookEx(slot);
            slot = nullptr;
            updateWatchdog();
        }
    }

    std::intptr_t callNext(int code, std::uintptr_t message, std::intptr_t record) override
    {
        return CallNextHookEx(nullptr, code, message, record);
    }

    void checkHooks() override
    {
        const DWORD now = GetTickCount();
        if (!s_watching || now - s_lastCheck < s_watchdogMsec)
            return;
        s_lastCheck = now;
        watchdogCheck(now);
    }
};
} // namespace

void reinstallHooks()
{
    // A removed hook's handle is no longer valid; unhooking it fails, harmlessly.
    if (s_mouseHook) {
        UnhookWindowsHookEx(s_mouseHook);
        s_mouseHook = SetWindowsHookExW(WH_MOUSE_LL, mouseTrampoline, GetModuleHandleW(nullptr), 0);
    }
    if (s_keyboardHook) {
        UnhookWindowsHookEx(s_keyboardHook);
        s_keyboardHook = SetWindowsHookExW(WH_KEYBOARD_LL, keyboardTrampoline, GetModuleHandleW(nullptr), 0);
    }
}

InputHooks *createWinInputHooks(void (*report)(const char *message))
{
    s_report = report;
    return new WinInputHooks;
}
