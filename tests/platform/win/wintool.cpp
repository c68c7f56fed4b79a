// What the installer test does from inside Windows: "task" prints the registered logon task's
// XML (exit code 1: none), "resume" and "suspend" send the running agent what the system sends
// on wake and sleep (exit code 1: no agent).
#include "platform/win/logontask.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    const char *what = argc > 1 ? argv[1] : "";
    if (std::strcmp(what, "task") == 0) {
        const std::wstring xml = LogonTask::registered();
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, xml.data(), int(xml.size()), nullptr, 0, nullptr, nullptr);
        std::string out(size_t(bytes), '\0');
        WideCharToMultiByte(CP_UTF8, 0, xml.data(), int(xml.size()), &out[0], bytes, nullptr, nullptr);
        std::fwrite(out.data(), 1, out.size(), stdout);
        return xml.empty() ? 1 : 0;
    }
    const bool resume = std::strcmp(what, "resume") == 0;
    if (resume || std::strcmp(what, "suspend") == 0) {
        HWND agent = FindWindowW(L"SpanlinkSession", nullptr);
        if (!agent) {
            std::puts("no agent window");
            return 1;
        }
        return PostMessageW(agent, WM_POWERBROADCAST, resume ? PBT_APMRESUMEAUTOMATIC : PBT_APMSUSPEND, 0) ? 0 : 1;
    }
    std::puts("usage: wintool task|resume|suspend");
    return 2;
}
