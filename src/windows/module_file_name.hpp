#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace launcher::windows {

// The path of the launcher's own executable in the system's narrow code
// page, whole however long it is; nothing if Windows cannot tell.
[[nodiscard]] std::optional<std::string> module_file_name_narrow();

// GetModuleFileNameW's shape; tests put a fake in its place, for Wine's
// CreateProcessW starts no program whose path is longer than MAX_PATH.
using module_file_name_call = DWORD(WINAPI*)(HMODULE, LPWSTR, DWORD);

// The same as UTF-16, as `call` tells it. Throws std::system_error if
// Windows cannot tell.
[[nodiscard]] std::u16string module_file_name(module_file_name_call call = GetModuleFileNameW);

} // namespace launcher::windows
