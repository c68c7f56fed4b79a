#include "platform/platform.h"
#include "platform/win/logontask.h"
#include "platform/win/wininputhooks.h"

#include <QCoreApplication>
#include <QDebug>
#include <QGuiApplication>
#include <QScreen>
#include <QString>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>

namespace
{
// The installer's record of the user's choice, which it offers again on an upgrade.
constexpr const wchar_t *s_settingsKey = L"Software\\VORN\\Spanlink";

QString text(const std::wstring &s)
{
    return QString::fromStdWString(s);
}

void rememberAutostart(bool on)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(
            HKEY_LOCAL_MACHINE, s_settingsKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr)
        != ERROR_SUCCESS) {
        qInfo("Autostart: the choice could not be recorded under HKLM\\%ls", s_settingsKey);
        return;
    }
    const DWORD value = on ? 1 : 0;
    RegSetValueExW(key, L"Autostart", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
    RegCloseKey(key);
}

int autostart(const char *choice)
{
    const bool on = choice && std::strcmp(choice, "on") == 0;
    if (!on && !(choice && std::strcmp(choice, "off") == 0)) {
        qCritical("Autostart: expected \"--autostart on\" or \"--autostart off\"");
        return 2;
    }
    std::wstring error;
    if (!on) {
        if (!LogonTask::remove(error)) {
            qCritical("Autostart off: %s", qUtf8Printable(text(error)));
            return 1;
        }
        rememberAutostart(false);
        qInfo("Autostart off: logon task %ls removed", LogonTask::TaskPath);
        return 0;
    }
    wchar_t program[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH * 4);
    const std::wstring user = LogonTask::interactiveUser();
    if (length == 0 || length >= MAX_PATH * 4 || user.empty()) {
        qCritical("Autostart on: %s", user.empty() ? "no user is logged on to this session" : "no program path");
        return 1;
    }
    if (!LogonTask::install(LogonTask::definition(user, program), error)) {
        qCritical("Autostart on: %s", qUtf8Printable(text(error)));
        return 1;
    }
    rememberAutostart(true);
    qInfo("Autostart on: logon task %ls starts %ls for %ls", LogonTask::TaskPath, program, user.c_str());
    return 0;
}

// Windows 8.1 and later; looked up, so that the agent still starts on Windows 7.
FARPROC shcore(const char *name)
{
    static HMODULE s_shcore = LoadLibraryW(L"shcore.dll");
    return s_shcore ? GetProcAddress(s_shcore, name) : nullptr;
}

const char *dpiAwareness()
{
    // Windows 10 1607 and later; before it, the process-wide value of Windows 8.1; then Vista's.
    using GetContext = DPI_AWARENESS_CONTEXT(WINAPI *)();
    using Equal = BOOL(WINAPI *)(DPI_AWARENESS_CONTEXT, DPI_AWARENESS_CONTEXT);
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    const auto get = reinterpret_cast<GetContext>(GetProcAddress(user32, "GetThreadDpiAwarenessContext"));
    const auto equal = reinterpret_cast<Equal>(GetProcAddress(user32, "AreDpiAwarenessContextsEqual"));
    if (get && equal) {
        const DPI_AWARENESS_CONTEXT context = get();
        if (equal(context, DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2))
            return "per-monitor v2";
        if (equal(context, DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE))
            return "per-monitor";
        if (equal(context, DPI_AWARENESS_CONTEXT_SYSTEM_AWARE))
            return "system (scaled on monitors of another scale)";
        return "unaware (scaled by Windows)";
    }
    using GetProcess = HRESULT(WINAPI *)(HANDLE, int *);
    const auto process = reinterpret_cast<GetProcess>(shcore("GetProcessDpiAwareness"));
    int value = -1;
    if (process && SUCCEEDED(process(nullptr, &value)))
        return value == 2 ? "per-monitor" : value == 1 ? "system (scaled on monitors of another scale)" : "unaware";
    return IsProcessDPIAware() ? "system" : "unaware";
}

BOOL CALLBACK logScreen(HMONITOR monitor, HDC, LPRECT, LPARAM)
{
    MONITORINFOEXW info;
    info.cbSize = sizeof info;
    if (!GetMonitorInfoW(monitor, &info))
        return TRUE;
    using GetDpi = HRESULT(WINAPI *)(HMONITOR, int, UINT *, UINT *);
    const auto getDpi = reinterpret_cast<GetDpi>(shcore("GetDpiForMonitor"));
    UINT dpiX = 0, dpiY = 0;
    if (!getDpi || FAILED(getDpi(monitor, 0 /* effective */, &dpiX, &dpiY)))
        dpiX = 0;
    const RECT &r = info.rcMonitor;
    const QRect native(r.left, r.top, r.right - r.left, r.bottom - r.top);
    const QString name = QString::fromWCharArray(info.szDevice);
    // The engine takes its screens from Qt; they must be these same desktop pixels.
    QString qt = QStringLiteral("not among Qt's screens");
    for (const QScreen *screen : QGuiApplication::screens()) {
        if (screen->name() == name) {
            const QRect g = screen->geometry();
            qt = g == native ? QStringLiteral("the same in Qt")
                             : QStringLiteral("Qt has %1x%2 at %3,%4: pointer placement will miss")
                                   .arg(g.width())
                                   .arg(g.height())
                                   .arg(g.x())
                                   .arg(g.y());
        }
    }
    qInfo("Screen %s: %dx%d at %d,%d desktop pixels, %u dpi%s; %s", qUtf8Printable(name), native.width(),
        native.height(), native.x(), native.y(), dpiX, (info.dwFlags & MONITORINFOF_PRIMARY) ? ", primary" : "",
        qUtf8Printable(qt));
    return TRUE;
}

Platform::SessionEvents s_events;

// A hidden top-level window: the system sends sleep and wake to every top-level window (not to
// message-only ones), and this one is ours alone, whatever windows Qt makes. Its class name is
// how the installer finds a running agent.
LRESULT CALLBACK sessionProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_POWERBROADCAST) {
        if (wParam == PBT_APMSUSPEND) {
            if (s_events.suspending)
                s_events.suspending();
            qInfo("Going to sleep: switch closed");
        } else if (wParam == PBT_APMRESUMEAUTOMATIC) {
            // Sent on every wake; PBT_APMRESUMESUSPEND follows only when a user woke the computer.
            // The system may have dropped the hooks while it slept.
            reinstallHooks();
            const bool answers = s_events.resumed && s_events.resumed();
            qInfo("Woke from sleep: switch reopened, %s; input hooks installed again",
                answers ? "it answers" : "it does not answer");
        }
        return TRUE;
    }
    if (message == WM_CLOSE) {
        // The installer ends the agent so before it replaces or removes its files.
        qInfo("Asked to end: quitting");
        QCoreApplication::quit();
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
} // namespace

int Platform::runCommand(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--autostart") == 0)
            return autostart(i + 1 < argc ? argv[i + 1] : nullptr);
        if (std::strncmp(argv[i], "--autostart=", 12) == 0)
            return autostart(argv[i] + 12);
    }
    return NoCommand;
}

void Platform::watchSession(SessionEvents events)
{
    qInfo("DPI awareness: %s", dpiAwareness());
    EnumDisplayMonitors(nullptr, nullptr, logScreen, 0);

    s_events = std::move(events);
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = sessionProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"SpanlinkSession";
    RegisterClassW(&windowClass);
    // Never shown; it lives as long as the process.
    if (!CreateWindowExW(0, windowClass.lpszClassName, L"Spanlink", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
            windowClass.hInstance, nullptr))
        qCritical("No window for sleep and wake (error %lu): the switch is found again by the heartbeat only",
            GetLastError());
}
