// The Windows hook unit under Wine, a console program: exit code 0 when every check held. A hook
// of the test's own, installed first, runs after ours: it sees a move only when ours passed it on.

#include "platform/win/wininputhooks.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>

namespace
{
InputHooks *s_hooks = nullptr;
int s_ours = 0, s_observed = 0, s_reports = 0, s_failures = 0;

void check(bool ok, const char *what)
{
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what), s_failures += ok ? 0 : 1;
}
std::intptr_t mouse(int code, std::uintptr_t message, std::intptr_t record)
{
    s_ours += message == HookMessage::MouseMove && record != 0;
    return s_hooks->callNext(code, message, record);
}
LRESULT CALLBACK observer(int code, WPARAM wParam, LPARAM lParam)
{
    s_observed += code >= 0 && wParam == WM_MOUSEMOVE;
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Moves from another thread, as a mouse makes them: the system calls the
// hooks through this thread's message loop, which looks after the hooks every 100 ms as the
// engine's speed sample does.
void input(int moves, int msec)
{
    const auto inject = [](void *n) -> DWORD {
        for (int i = 0; i < int(reinterpret_cast<std::intptr_t>(n)); ++i)
            mouse_event(MOUSEEVENTF_MOVE, DWORD(i % 2 ? 1 : -1), 0, 0, 0), Sleep(20);
        return 0;
    };
    HANDLE thread = CreateThread(nullptr, 0, inject, reinterpret_cast<void *>(std::intptr_t(moves)), 0, nullptr);
    for (DWORD end = GetTickCount() + DWORD(msec), sample = GetTickCount(); GetTickCount() < end;) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        if (GetTickCount() - sample >= 100)
            sample = GetTickCount(), s_hooks->checkHooks();
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            TranslateMessage(&msg), DispatchMessageW(&msg);
    }
    WaitForSingleObject(thread, INFINITE), CloseHandle(thread);
}
} // namespace

int main()
{
    HHOOK observerHook = SetWindowsHookExW(WH_MOUSE_LL, observer, GetModuleHandleW(nullptr), 0);
    s_hooks = createWinInputHooks([](const char *message) { ++s_reports, std::printf("watchdog: %s\n", message); });
    HookHandle mouseHook = s_hooks->installMouseHook(&mouse);
    check(observerHook && mouseHook, "hooks installed");
    input(10, 1000);
    check(s_ours > 0 && s_observed > 0, "moves reach our hook and are passed on to the next");
    // Removed as the system removes a hook that blocked too long, without a word (the handle
    // given out is where the system's handle is kept).
    UnhookWindowsHookEx(*static_cast<HHOOK *>(mouseHook));
    input(150, 4000);
    check(s_reports == 1, "the watchdog notices the hook removed behind its back, once");
    const int ours = s_ours;
    input(20, 1000);
    check(s_ours > ours, "moves reach the hook installed again");
    s_hooks->uninstall(mouseHook);
    UnhookWindowsHookEx(observerHook);
    std::printf("%d failed\n", s_failures);
    return s_failures == 0 ? 0 : 1;
}
