// The logon task under Wine, a console program: its definition field by field, then its life in
// the Task Scheduler. Wine's Task Scheduler keeps only part of a definition (no triggers, no
// principal, no action); what it drops is checked in the definition alone and named in the output.
#include "platform/win/logontask.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>

namespace
{
int s_failures = 0;

void check(bool ok, const char *what)
{
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what), s_failures += ok ? 0 : 1;
}

// The text of the element at `path` ("Task/Settings/Priority"); absent: false.
bool field(const std::wstring &xml, const std::wstring &path, std::wstring &value)
{
    size_t from = 0, to = xml.size();
    for (size_t start = 0; start <= path.size();) {
        size_t slash = path.find(L'/', start);
        if (slash == std::wstring::npos)
            slash = path.size();
        const std::wstring name = path.substr(start, slash - start);
        start = slash + 1;
        size_t at = from;
        for (;; ++at) {
            at = xml.find(L"<" + name, at);
            if (at == std::wstring::npos || at >= to)
                return false;
            const wchar_t next = xml[at + name.size() + 1];
            if (next == L'>' || next == L' ' || next == L'/')
                break;
        }
        const size_t open = xml.find(L'>', at);
        if (xml[open - 1] == L'/') { // <name/>
            from = to = open;
            continue;
        }
        from = open + 1;
        to = xml.find(L"</" + name + L">", from);
        if (to == std::wstring::npos)
            return false;
    }
    value = xml.substr(from, to - from);
    return true;
}

struct Row {
    const wchar_t *path;
    const wchar_t *expected; // null: the user
    bool wineKeeps;
};

const Row s_rows[] = {
    {L"Task/RegistrationInfo/Author", L"VORN", true},
    {L"Task/RegistrationInfo/URI", L"\\VORN\\Spanlink", true},
    {L"Task/Triggers/LogonTrigger/Enabled", L"true", false},
    {L"Task/Triggers/LogonTrigger/UserId", nullptr, false},
    {L"Task/Principals/Principal/UserId", nullptr, false},
    {L"Task/Principals/Principal/LogonType", L"InteractiveToken", false},
    {L"Task/Principals/Principal/RunLevel", L"HighestAvailable", false},
    {L"Task/Settings/ExecutionTimeLimit", L"PT0S", true},
    {L"Task/Settings/DisallowStartIfOnBatteries", L"false", true},
    {L"Task/Settings/StopIfGoingOnBatteries", L"false", true},
    {L"Task/Settings/MultipleInstancesPolicy", L"IgnoreNew", true},
    {L"Task/Settings/Priority", L"4", true},
    {L"Task/Settings/Enabled", L"true", true},
    {L"Task/Settings/AllowStartOnDemand", L"true", true},
    {L"Task/Settings/IdleSettings/StopOnIdleEnd", L"false", false},
    {L"Task/Actions/Exec/Command", L"\"C:\\Program Files\\VORN\\Spanlink\\Spanlink.exe\"", false},
    {L"Task/Actions/Exec/WorkingDirectory", L"C:\\Program Files\\VORN\\Spanlink", false},
};
const wchar_t *s_program = L"C:\\Program Files\\VORN\\Spanlink\\Spanlink.exe";

// Every row in `xml`; rows absent there fail unless `mayLack` lets them.
void checkRows(const std::wstring &xml, const std::wstring &user, bool mayLack, const char *where)
{
    for (const Row &row : s_rows) {
        std::wstring value;
        const std::wstring expected = row.expected ? row.expected : user;
        char line[300];
        if (!field(xml, row.path, value)) {
            const bool excused = mayLack && !row.wineKeeps;
            std::snprintf(line, sizeof line, "%s: %ls %s", where, row.path,
                excused ? "not kept by Wine's Task Scheduler (checked in the definition)" : "missing");
            check(excused, line);
            continue;
        }
        std::snprintf(line, sizeof line, "%s: %ls is %ls", where, row.path, expected.c_str());
        if (value != expected)
            std::printf("  found %ls\n", value.c_str());
        check(value == expected, line);
    }
}

bool underWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// Always running on Windows; a fresh Wine prefix starts it on demand, once its boot has settled.
bool startScheduler()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, L"Schedule", SERVICE_START | SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS status = {};
    for (int i = 0; service && i < 100; ++i) {
        if (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING)
            break;
        if (status.dwCurrentState != SERVICE_START_PENDING && !StartServiceW(service, 0, nullptr))
            std::printf("Schedule does not start yet: error %lu\n", GetLastError());
        Sleep(100);
    }
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    return status.dwCurrentState == SERVICE_RUNNING;
}
} // namespace

int main()
{
    // Names that XML must escape stay the same name.
    const std::wstring odd = L"PC-1\\O'Brien & <Co>";
    const std::wstring definition = LogonTask::definition(odd, s_program);
    checkRows(definition, L"PC-1\\O&apos;Brien &amp; &lt;Co&gt;", false, "definition");
    check(definition.find(L"<Principal id=\"Author\">") != std::wstring::npos
            && definition.find(L"<Actions Context=\"Author\">") != std::wstring::npos,
        "definition: the action runs as the principal");

    check(startScheduler(), "the Task Scheduler runs");
    const std::wstring user = LogonTask::interactiveUser();
    check(!user.empty(), "someone is logged on");
    std::wstring error;
    std::wstring back;
    for (int round = 1; round <= 2; ++round) { // the second as an upgrade does it: over the first
        const bool registered = LogonTask::install(LogonTask::definition(user, s_program), error);
        if (!registered)
            std::printf("%ls\n", error.c_str());
        check(registered, "registered");
        back = LogonTask::registered();
        checkRows(back, user, underWine(), round == 1 ? "registered" : "registered again");
    }
    check(LogonTask::remove(error), "removed");
    check(LogonTask::registered().empty(), "gone after removal");
    check(LogonTask::remove(error), "removing a missing task is no failure");
    std::printf("%d failed\n", s_failures);
    return s_failures == 0 ? 0 : 1;
}
