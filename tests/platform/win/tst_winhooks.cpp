// The Windows hook unit on its own, a console program run under Wine; exit code 0 when every
// check held. A hook of the test's own, installed first, is called after ours (later hooks run
// first), so it sees an event only when ours passed it on.

#include "platform/win/wininputhooks.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>

namespace
{
InputHooks *s_hooks = nullptr;
bool s_swallow = false, s_block = false; // the next mouse call blocks past the system's timeout
int s_ourMoves = 0, s_observedMoves = 0, s_ourF13Downs = 0, s_ourKeys = 0, s_failures = 0, s_reports = 0;

void check(bool ok, const char *what)
{
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    s_failures += ok ? 0 : 1;
}

std::intptr_t mouseProcedure(int code, std::uintptr_t message, std::intptr_t record)
{
    s_ourMoves += message == HookMessage::MouseMove && record != 0;
    if (s_block)
        s_block = false, Sleep(2500);
    return s_swallow ? 1 : s_hooks->callNext(code, message, record);
}

std::intptr_t keyboardProcedure(int code, std::uintptr_t message, std::intptr_t record)
{
    ++s_ourKeys;
    s_ourF13Downs += message == HookMessage::KeyDown
        && reinterpret_cast<const KeyEventRecord *>(record)->vkCode == FocusArrivalKey;
    return s_hooks->callNext(code, message, record);
}

LRESULT CALLBACK observer(int nCode, WPARAM wParam, LPARAM lParam)
{
    s_observedMoves += nCode >= 0 && wParam == WM_MOUSEMOVE;
    return CallNextHookEx(nullptr, nCode, wParam, lParam);
}

// Low-level hooks are called from this thread's message loop: keep it turning, and look after
// the hooks every 100 ms as the engine's speed sample does.
void pump(int msec)
{
    static DWORD lastSample = GetTickCount();
    for (const DWORD end = GetTickCount() + DWORD(msec); GetTickCount() < end;) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        if (GetTickCount() - lastSample >= 100)
            lastSample = GetTickCount(), s_hooks->checkHooks();
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            TranslateMessage(&msg), DispatchMessageW(&msg);
    }
}

void moveBy(int dx, int dy, int pumpMsec = 0) // the other thread passes 0: it never pumps
{
    mouse_event(MOUSEEVENTF_MOVE, DWORD(dx), DWORD(dy), 0, 0);
    pump(pumpMsec);
}

void f13()
{
    keybd_event(VK_F13, 0, 0, 0);
    keybd_event(VK_F13, 0, KEYEVENTF_KEYUP, 0);
    pump(300);
}

// Moves from another thread, as a mouse makes them: the system then calls the hooks through
// this thread's message loop, with its timeout.
void movesFromAnotherThread(int count, int pumpMsec)
{
    const auto inject = [](void *n) -> DWORD {
        for (int i = 0; i < int(reinterpret_cast<std::intptr_t>(n)); ++i)
            moveBy(i % 2 ? 1 : -1, 0), Sleep(20);
        return 0;
    };
    HANDLE thread = CreateThread(nullptr, 0, inject, reinterpret_cast<void *>(std::intptr_t(count)), 0, nullptr);
    pump(pumpMsec);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}
} // namespace

int main()
{
    HHOOK observerHook = SetWindowsHookExW(WH_MOUSE_LL, observer, GetModuleHandleW(nullptr), 0);
    s_hooks = createWinInputHooks([](const char *message) { ++s_reports, std::printf("watchdog: %s\n", message); });
    HookHandle mouse = s_hooks->installMouseHook(&mouseProcedure);
    HookHandle keyboard = s_hooks->installKeyboardHook(&keyboardProcedure);
    check(observerHook && mouse && keyboard, "hooks installed");

    moveBy(10, 0, 300);
    check(s_ourMoves >= 1 && s_observedMoves >= 1, "a move passed on reaches our hook and the next");
    s_swallow = true;
    const int observedBefore = s_observedMoves, oursBefore = s_ourMoves;
    moveBy(0, 10, 300);
    check(s_ourMoves > oursBefore && s_observedMoves == observedBefore, "a swallowed move goes no further");
    s_swallow = false;
    f13();
    check(s_ourF13Downs == 1 && s_ourKeys >= 2, "F13 arrives as one key-down of 0x7C, and its release");

    // A hook that once blocks longer than the system lets it: Windows drops it without a word.
    s_block = true;
    movesFromAnotherThread(200, 7000);
    const int beforeLast = s_ourMoves;
    movesFromAnotherThread(20, 1000);
    std::printf("after a hook blocked 2.5 s: %d re-installation(s)\n", s_reports);
    check(s_ourMoves > beforeLast, "after a hook blocked, moves reach our hook");

    // The removal as the system does it: the program is not told (the handle given out is
    // where the system's handle is kept).
    const int reportsBefore = s_reports;
    UnhookWindowsHookEx(*static_cast<HHOOK *>(mouse));
    UnhookWindowsHookEx(*static_cast<HHOOK *>(keyboard));
    movesFromAnotherThread(150, 4000);
    check(s_reports == reportsBefore + 1, "the watchdog notices hooks removed behind its back, once");
    const int beforeRestored = s_ourMoves;
    movesFromAnotherThread(20, 1000);
    f13();
    check(s_ourMoves > beforeRestored && s_ourF13Downs == 2, "moves and keys reach the hooks installed again");

    // Installed again by hand, the handles given out still remove the hooks.
    reinstallHooks();
    s_hooks->uninstall(mouse);
    s_hooks->uninstall(keyboard);
    s_hooks->uninstall(nullptr);
    const int oursAfter = s_ourMoves;
    moveBy(-10, -10, 300);
    check(s_ourMoves == oursAfter, "no move reaches a removed hook");
    UnhookWindowsHookEx(observerHook);
    std::printf("%d failed\n", s_failures);
    return s_failures == 0 ? 0 : 1;
}
