// The Windows hook unit under Wine, a console program: exit code 0 when every check held.

#include "platform/win/wininputhooks.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>

namespace
{
InputHooks *s_hooks = nullptr;
int s_ours = 0, s_observed = 0, s_reports = 0, s_failures = 0;
bool s_swallow = false;

void check(bool ok, const char *what)
{
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what), s_failures += ok ? 0 : 1;
}
std::intptr_t mouse(int code, std::uintptr_t message, std::intptr_t record)
{
    s_ours += message == HookMessage::MouseMove && record != 0;
    return s_swallow ? 1 : s_hooks->callNext(code, message, record);
}
// Installed before ours, so called after it: it sees a move only when ours passed it on.
LRESULT CALLBACK observer(int code, WPARAM wParam, LPARAM lParam)
{
    s_observed += code >= 0 && wParam == WM_MOUSEMOVE;
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Low-level hooks are called through this thread's message loop; it checks them as the speed sample does.
void input(int moves, DWORD msec)
{
    for (DWORD start = GetTickCount(), move = start, sample = start; GetTickCount() - start < msec;) {
        if (GetTickCount() - move >= 20 && moves-- > 0) {
            move = GetTickCount();
            mouse_event(MOUSEEVENTF_MOVE, DWORD(moves % 2 ? 1 : -1), 0, 0, 0);
        }
        if (GetTickCount() - sample >= 100) {
            sample = GetTickCount();
            s_hooks->checkHooks();
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        for (MSG msg; PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}
} // namespace

int main()
{
    HHOOK observerHook = SetWindowsHookExW(WH_MOUSE_LL, observer, GetModuleHandleW(nullptr), 0);
    s_hooks = createWinInputHooks([](const char *message) {
        ++s_reports;
        std::printf("watchdog: %s\n", message);
    });
    HookHandle mouseHook = s_hooks->installMouseHook(&mouse);
    check(mouseHook, "hook installed");
    input(10, 1000);
    check(s_ours > 0 && s_observed > 0, "moves reach the hook, and the next one");
    const int observed = s_observed, oursBefore = s_ours;
    s_swallow = true;
    input(10, 1000);
    s_swallow = false;
    check(s_ours > oursBefore && s_observed == observed, "a swallowed move goes no further");
    // As the system drops a hook that blocked too long: silently (the handle given out holds its HHOOK).
    UnhookWindowsHookEx(*static_cast<HHOOK *>(mouseHook));
    input(150, 4000);
    check(s_reports == 1, "the watchdog notices the hook removed behind its back, once");
    const int ours = s_ours;
    input(10, 1000);
    check(s_ours > ours && s_reports == 1, "moves reach the hook installed again");
    s_hooks->uninstall(mouseHook);
    UnhookWindowsHookEx(observerHook);
    std::printf("%d failed\n", s_failures);
    return s_failures == 0 ? 0 : 1;
}
