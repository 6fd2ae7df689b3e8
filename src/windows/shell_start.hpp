#pragma once

#include <windows.h>
#include <shellapi.h>

#include <string>

namespace launcher::windows {

// ShellExecuteExW of the shell32.dll in System32, loaded when called;
// FALSE, with the loader's error, where that cannot be had. Not imported:
// the loader would resolve shell32's own imports before any code of the
// launcher runs, and where shell32 is no known DLL (Wine, Proton) it looks
// for them beside the launcher first.
BOOL WINAPI system_shell_execute(SHELLEXECUTEINFOW* request);

// The Windows calls a start makes; tests put fakes in their place.
struct shell_calls {
    BOOL(WINAPI* shell_execute)(SHELLEXECUTEINFOW*) = system_shell_execute;
    DWORD(WINAPI* wait)(HANDLE, DWORD) = WaitForSingleObject;
    BOOL(WINAPI* close)(HANDLE) = CloseHandle;
};

// Asks the shell to "open" `file` with `parameters` in `directory` (WTF-8),
// waiting for the started process to end only when `wait` is set. True when
// the shell accepted the request; an empty `file` is refused unasked.
[[nodiscard]] bool shell_start(const std::string& file, const std::string& parameters,
                               const std::string& directory, bool wait,
                               const shell_calls& calls = {});

} // namespace launcher::windows
