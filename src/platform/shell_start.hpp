#pragma once

#include <windows.h>
#include <shellapi.h>

#include <string>

namespace launcher::platform {

// The Windows calls a start makes; tests put fakes in their place.
struct shell_calls {
    BOOL(WINAPI* shell_execute)(SHELLEXECUTEINFOW*) = ShellExecuteExW;
    DWORD(WINAPI* wait)(HANDLE, DWORD) = WaitForSingleObject;
    BOOL(WINAPI* close)(HANDLE) = CloseHandle;
};

// Asks the shell to "open" `file` with `parameters` in `directory` (UTF-8),
// waiting for the started process to end only when `wait` is set. True when
// the shell accepted the request; an empty `file` is refused unasked.
[[nodiscard]] bool shell_start(const std::string& file, const std::string& parameters,
                               const std::string& directory, bool wait,
                               const shell_calls& calls = {});

} // namespace launcher::platform
