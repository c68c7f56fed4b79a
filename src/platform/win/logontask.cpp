#include "platform/win/logontask.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <oleauto.h>
#include <taskschd.h>
#include <wtsapi32.h>

#include <cwchar>

namespace
{
std::wstring escaped(const std::wstring &text)
{
    std::wstring out;
    for (const wchar_t c : text) {
        switch (c) {
        case L'&':
            out += L"&amp;";
            break;
        case L'<':
            out += L"&lt;";
            break;
        case L'>':
            out += L"&gt;";
            break;
        case L'"':
            out += L"&quot;";
            break;
        case L'\'':
            out += L"&apos;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::wstring folderOf(const std::wstring &path)
{
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring describe(const wchar_t *what, HRESULT hr)
{
    wchar_t *text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        DWORD(hr), 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    wchar_t code[16];
    swprintf(code, 16, L"0x%08lx", static_cast<unsigned long>(hr));
    std::wstring out = std::wstring(what) + L": " + code;
    if (text) {
        std::wstring message(text);
        while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
            message.pop_back();
        out += L" " + message;
        LocalFree(text);
    }
    return out;
}

template <class T> struct Com {
    T *p = nullptr;
    ~Com()
    {
        if (p)
            p->Release();
    }
    T *operator->() const { return p; }
    T **put() { return &p; }
};

struct Bstr {
    BSTR s;
    explicit Bstr(const std::wstring &text)
        : s(SysAllocStringLen(text.data(), UINT(text.size())))
    {
    }
    ~Bstr() { SysFreeString(s); }
};

// COM for the calling thread as long as this lives; the thread may have it already.
struct ComScope {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ~ComScope()
    {
        if (SUCCEEDED(hr))
            CoUninitialize();
    }
    bool ok() const { return SUCCEEDED(hr) || hr == RPC_E_CHANGED_MODE; }
};

bool connect(Com<ITaskService> &service, std::wstring &error)
{
    HRESULT hr = CoCreateInstance(__uuidof(TaskScheduler), nullptr, CLSCTX_INPROC_SERVER, __uuidof(ITaskService),
        reinterpret_cast<void **>(service.put()));
    if (FAILED(hr)) {
        error = describe(L"no Task Scheduler", hr);
        return false;
    }
    VARIANT none;
    VariantInit(&none);
    hr = service->Connect(none, none, none, none);
    if (FAILED(hr))
        error = describe(L"cannot reach the Task Scheduler", hr);
    return SUCCEEDED(hr);
}

bool folder(ITaskService *service, bool create, Com<ITaskFolder> &out, std::wstring &error)
{
    Bstr path(std::wstring(L"\\") + LogonTask::FolderName);
    HRESULT hr = service->GetFolder(path.s, out.put());
    if (SUCCEEDED(hr) || !create)
        return SUCCEEDED(hr);
    Com<ITaskFolder> root;
    Bstr rootPath(L"\\");
    hr = service->GetFolder(rootPath.s, root.put());
    if (SUCCEEDED(hr)) {
        VARIANT none;
        VariantInit(&none);
        Bstr name(LogonTask::FolderName);
        hr = root->CreateFolder(name.s, none, out.put());
    }
    if (FAILED(hr))
        error = describe(L"cannot make the task folder", hr);
    return SUCCEEDED(hr);
}

bool isMissing(HRESULT hr)
{
    return hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
}
} // namespace

std::wstring LogonTask::definition(const std::wstring &user, const std::wstring &program)
{
    const std::wstring who = escaped(user);
    // The schema of Windows 7, which has every element used here.
    return L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n"
           L"<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\n"
           L"  <RegistrationInfo>\n"
           L"    <Author>VORN</Author>\n"
           L"    <Description>Starts Spanlink when "
        + who
        + L" logs on, with the rights it asks for and without a prompt.</Description>\n"
          L"    <URI>"
        + escaped(TaskPath)
        + L"</URI>\n"
          L"  </RegistrationInfo>\n"
          L"  <Triggers>\n"
          L"    <LogonTrigger>\n"
          L"      <Enabled>true</Enabled>\n"
          L"      <UserId>"
        + who
        + L"</UserId>\n"
          L"    </LogonTrigger>\n"
          L"  </Triggers>\n"
          L"  <Principals>\n"
          L"    <Principal id=\"Author\">\n"
          L"      <UserId>"
        + who
        + L"</UserId>\n"
          L"      <LogonType>InteractiveToken</LogonType>\n"
          L"      <RunLevel>HighestAvailable</RunLevel>\n"
          L"    </Principal>\n"
          L"  </Principals>\n"
          L"  <Settings>\n"
          // One agent: a second start would only show the alert.
          L"    <MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>\n"
          // The defaults keep a laptop's agent from starting on battery and end it on unplugging.
          L"    <DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>\n"
          L"    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>\n"
          L"    <AllowHardTerminate>true</AllowHardTerminate>\n"
          L"    <StartWhenAvailable>false</StartWhenAvailable>\n"
          L"    <RunOnlyIfNetworkAvailable>false</RunOnlyIfNetworkAvailable>\n"
          L"    <IdleSettings>\n"
          L"      <StopOnIdleEnd>false</StopOnIdleEnd>\n"
          L"      <RestartOnIdle>false</RestartOnIdle>\n"
          L"    </IdleSettings>\n"
          L"    <AllowStartOnDemand>true</AllowStartOnDemand>\n"
          L"    <Enabled>true</Enabled>\n"
          L"    <Hidden>false</Hidden>\n"
          L"    <RunOnlyIfIdle>false</RunOnlyIfIdle>\n"
          L"    <WakeToRun>false</WakeToRun>\n"
          // The default ends the agent after 72 hours; PT0S is no limit.
          L"    <ExecutionTimeLimit>PT0S</ExecutionTimeLimit>\n"
          // The default, 7, is below normal: the hooks would wait behind every busy program.
          L"    <Priority>4</Priority>\n"
          L"  </Settings>\n"
          L"  <Actions Context=\"Author\">\n"
          L"    <Exec>\n"
          L"      <Command>\""
        + escaped(program)
        + L"\"</Command>\n"
          L"      <WorkingDirectory>"
        + escaped(folderOf(program))
        + L"</WorkingDirectory>\n"
          L"    </Exec>\n"
          L"  </Actions>\n"
          L"</Task>\n";
}

std::wstring LogonTask::interactiveUser()
{
    std::wstring user, domain;
    wchar_t *text = nullptr;
    DWORD bytes = 0;
    if (WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSUserName, &text, &bytes)) {
        user = text;
        WTSFreeMemory(text);
    }
    if (WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSDomainName, &text, &bytes)) {
        domain = text;
        WTSFreeMemory(text);
    }
    if (user.empty()) {
        // No session information: the account this program runs as.
        wchar_t name[257];
        DWORD size = 257;
        if (!GetUserNameW(name, &size))
            return {};
        user = name;
        wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1];
        size = MAX_COMPUTERNAME_LENGTH + 1;
        if (GetComputerNameW(computer, &size))
            domain = computer;
    }
    return domain.empty() ? user : domain + L"\\" + user;
}

bool LogonTask::install(const std::wstring &xml, std::wstring &error)
{
    ComScope com;
    if (!com.ok()) {
        error = describe(L"no COM", com.hr);
        return false;
    }
    Com<ITaskService> service;
    Com<ITaskFolder> vorn;
    if (!connect(service, error) || !folder(service.p, true, vorn, error))
        return false;
    // Registered from the XML itself, which the Task Scheduler checks against its schema: the
    // principal in it, not the caller, is who the task runs as.
    VARIANT none;
    VariantInit(&none);
    Com<IRegisteredTask> done;
    Bstr name(TaskName), text(xml);
    const HRESULT hr = vorn->RegisterTask(
        name.s, text.s, TASK_CREATE_OR_UPDATE, none, none, TASK_LOGON_INTERACTIVE_TOKEN, none, done.put());
    if (FAILED(hr))
        error = describe(L"the task was not registered", hr);
    return SUCCEEDED(hr);
}

bool LogonTask::remove(std::wstring &error)
{
    ComScope com;
    if (!com.ok()) {
        error = describe(L"no COM", com.hr);
        return false;
    }
    Com<ITaskService> service;
    Com<ITaskFolder> vorn;
    if (!connect(service, error))
        return false;
    if (!folder(service.p, false, vorn, error))
        return true; // no folder, no task
    Bstr name(TaskName);
    HRESULT hr = vorn->DeleteTask(name.s, 0);
    if (FAILED(hr) && !isMissing(hr)) {
        error = describe(L"the task was not removed", hr);
        return false;
    }
    // The folder goes when nothing else of ours is in it; a failure here leaves an empty folder.
    Com<IRegisteredTaskCollection> tasks;
    LONG count = 1;
    if (SUCCEEDED(vorn->GetTasks(TASK_ENUM_HIDDEN, tasks.put())))
        tasks->get_Count(&count);
    Com<ITaskFolderCollection> folders;
    LONG subfolders = 1;
    if (SUCCEEDED(vorn->GetFolders(0, folders.put())))
        folders->get_Count(&subfolders);
    Com<ITaskFolder> root;
    Bstr rootPath(L"\\"), folderName(FolderName);
    if (count == 0 && subfolders == 0 && SUCCEEDED(service->GetFolder(rootPath.s, root.put())))
        root->DeleteFolder(folderName.s, 0);
    return true;
}

std::wstring LogonTask::registered()
{
    ComScope com;
    std::wstring error;
    Com<ITaskService> service;
    Com<ITaskFolder> vorn;
    if (!com.ok() || !connect(service, error) || !folder(service.p, false, vorn, error))
        return {};
    Com<IRegisteredTask> task;
    Bstr name(TaskName);
    BSTR xml = nullptr;
    if (FAILED(vorn->GetTask(name.s, task.put())) || FAILED(task->get_Xml(&xml)) || !xml)
        return {};
    std::wstring out(xml, SysStringLen(xml));
    SysFreeString(xml);
    return out;
}
