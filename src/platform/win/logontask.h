#pragma once

#include <string>

// The Task Scheduler task that starts the agent at logon. The agent asks to run elevated, and
// Windows starts no elevated program from the Startup folder or the Run key; a task with the
// highest run level starts it without a prompt. Every setting whose default would get in the
// way is written out. Needs nothing but Windows and COM, so that it can be tried without Qt.
namespace LogonTask
{
// Where the task lives in the Task Scheduler.
constexpr const wchar_t *FolderName = L"VORN";
constexpr const wchar_t *TaskName = L"Spanlink";
constexpr const wchar_t *TaskPath = L"\\VORN\\Spanlink";

// The task's full definition, in the Task Scheduler's XML: `user` (DOMAIN\name) logs on, and
// `program` starts in its own folder with that user's interactive token at the highest level.
std::wstring definition(const std::wstring &user, const std::wstring &program);

// The user of this session's desktop (DOMAIN\name): the one who installs, also when an
// administrator's account elevated the installer. Empty when there is none (a service).
std::wstring interactiveUser();

// Registers the definition as TaskPath, in place of an older one. On failure, `error` says why.
bool install(const std::wstring &definition, std::wstring &error);
// Removes the task and its folder when that is left empty; a missing task is no failure.
bool remove(std::wstring &error);
// The registered task's XML as the Task Scheduler gives it back; empty when there is none.
std::wstring registered();
} // namespace LogonTask
