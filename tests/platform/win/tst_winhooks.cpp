// The Windows hook unit on its own, as a console program: built with mingw-w64 and run
// under Wine by the test suite. Exit code 0 when every check held.
//
// Events are injected with SendInput. A hook of the test's own, installed first, is called
// after ours (later hooks run first), so it sees an event only when ours passed it on.

#include "platform/win/wininputhooks.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>

namespace
{
InputHooks *s_hooks = nullptr;
bool s_swallow = false;
int s_ourMoves = 0;
int s_observedMoves = 0;
int s_ourF13Downs = 0;
int s_ourKeys = 0;
int s_failures = 0;
bool s_block = false; // the next mouse call blocks past the system's hook timeout
int s_reports = 0;

void report(const char *message)
{
    ++s_reports;
    std::printf("watchdog: %s\n", message);
}

void check(bool ok, const char *what)
{
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    if (!ok)
        ++s_failures;
}

std::intptr_t mouseProcedure(int code, std::uintptr_t message, std::intptr_t record)
{
    if (message == HookMessage::MouseMove && record != 0)
        ++s_ourMoves;
    if (s_block) {
        s_block = false;
        Sleep(2500);
    }
    if (s_swallow)
        return 1;
    return s_hooks->callNext(code, message, record);
}

std::intptr_t keyboardProcedure(int code, std::uintptr_t message, std::intptr_t record)
{
    ++s_ourKeys;
    if (message == HookMessage::KeyDown && reinterpret_cast<const KeyEventRecord *>(record)->vkCode == FocusArrivalKey)
        ++s_ourF13Downs;
    return s_hooks->callNext(code, message, record);
}

LRESULT CALLBACK observer(int nCode, WPARAM wParam, LPARAM lParam)
{
    if (nCode >= 0 && wParam == WM_MOUSEMOVE)
        ++s_observedMoves;
    return CallNextHookEx(nullptr, nCode, wParam, lParam);
}

// Low-level hooks are called from this thread's message loop, so keep it turning, and look
// after the hooks every 100 ms as the engine's speed sample does.
void pump(int msec)
{
    static DWORD lastSample = GetTickCount();
    const DWORD end = GetTickCount() + DWORD(msec);
    while (GetTickCount() < end) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        if (GetTickCount() - lastSample >= 100) {
            lastSample = GetTickCount();
            s_hooks->checkHooks();
        }
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

void moveBy(int dx, int dy)
{
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dx = dx;
    input.mi.dy = dy;
    input.mi.dwFlags = MOUSEEVENTF_MOVE;
    SendInput(1, &input, sizeof input);
}

// Moves from another thread, as a user's mouse makes them: the system then calls the hooks
// through this thread's message loop, with its timeout.
DWORD WINAPI injectMoves(void *count)
{
    for (int i = 0; i < static_cast<int>(reinterpret_cast<std::intptr_t>(count)); ++i) {
        moveBy(i % 2 ? 1 : -1, 0);
        Sleep(20);
    }
    return 0;
}

void movesFromAnotherThread(int count, int pumpMsec)
{
    HANDLE thread = CreateThread(nullptr, 0, injectMoves, reinterpret_cast<void *>(std::intptr_t(count)), 0, nullptr);
    pump(pumpMsec);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

void key(WORD vk, bool down)
{
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    input.ki.dwFlags = down ? 0 : KEYEVENTF_KEYUP;
    SendInput(1, &input, sizeof input);
}
} // namespace

int main()
{
    HHOOK observerHook = SetWindowsHookExW(WH_MOUSE_LL, observer, GetModuleHandleW(nullptr), 0);
    check(observerHook != nullptr, "observer hook installed");

    s_hooks = createWinInputHooks(&report);
    HookHandle mouse = s_hooks->installMouseHook(&mouseProcedure);
    HookHandle keyboard = s_hooks->installKeyboardHook(&keyboardProcedure);
    check(mouse != nullptr, "mouse hook installed");
    check(keyboard != nullptr, "keyboard hook installed");

    moveBy(10, 0);
    pump(300);
    check(s_ourMoves >= 1, "a move reaches our hook");
    check(s_observedMoves >= 1, "a move passed on reaches the next hook");

    s_swallow = true;
    const int observedBefore = s_observedMoves;
    const int oursBefore = s_ourMoves;
    moveBy(0, 10);
    pump(300);
    check(s_ourMoves > oursBefore, "a swallowed move reaches our hook");
    check(s_observedMoves == observedBefore, "a swallowed move goes no further");
    s_swallow = false;

    key(VK_F13, true);
    key(VK_F13, false);
    pump(300);
    check(s_ourF13Downs == 1, "F13 arrives as one key-down of 0x7C");
    check(s_ourKeys >= 2, "the release arrives too");

    // A hook that once blocks longer than the system lets it: Windows then drops it without
    // a word, and the watchdog must install it again. What this system did is printed.
    s_block = true;
    movesFromAnotherThread(200, 7000);
    const int beforeLast = s_ourMoves;
    movesFromAnotherThread(20, 1000);
    std::printf("after a hook blocked 2.5 s: %d re-installation(s), later moves %s our hook\n", s_reports,
        s_ourMoves > beforeLast ? "reach" : "do not reach");
    check(s_ourMoves > beforeLast, "after a hook blocked, moves reach our hook");

    // The removal itself, as the system does it: the hook goes, the program is not told
    // (the handle given out is where the system's handle is kept).
    const int reportsBefore = s_reports;
    UnhookWindowsHookEx(*static_cast<HHOOK *>(mouse));
    UnhookWindowsHookEx(*static_cast<HHOOK *>(keyboard));
    movesFromAnotherThread(150, 4000);
    check(s_reports == reportsBefore + 1, "the watchdog notices hooks removed behind its back, once");
    const int beforeRestored = s_ourMoves;
    movesFromAnotherThread(20, 1000);
    check(s_ourMoves > beforeRestored, "moves reach the hook the watchdog installed again");
    key(VK_F13, true);
    key(VK_F13, false);
    pump(300);
    check(s_ourF13Downs == 2, "so do keys");

    // Installed again by hand, the handles given out still remove the hooks.
    reinstallHooks();
    s_hooks->uninstall(mouse);
    s_hooks->uninstall(keyboard);
    s_hooks->uninstall(nullptr);
    const int oursAfter = s_ourMoves;
    moveBy(-10, -10);
    pump(300);
    check(s_ourMoves == oursAfter, "no move reaches a removed hook");

    UnhookWindowsHookEx(observerHook);
    std::printf("%d failed\n", s_failures);
    return s_failures == 0 ? 0 : 1;
}
