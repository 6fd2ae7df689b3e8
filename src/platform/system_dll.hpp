#pragma once

#include <windows.h>

namespace launcher::platform {

// SetDefaultDllDirectories, or null on a Windows 7 or Vista without
// KB2533623 (Windows 8 has it). LoadLibraryExW takes the
// LOAD_LIBRARY_SEARCH_* flags exactly where it is there: Microsoft's
// documentation of LoadLibraryEx says to test for it that way.
using set_default_dll_directories_call = BOOL(WINAPI*)(DWORD);
[[nodiscard]] set_default_dll_directories_call set_default_dll_directories();

// A system DLL from System32 and nowhere else, or null: with the search
// flags where Windows has them, else by its full path there. Runs before
// the stack canary is set, so it is built without the stack protector.
[[nodiscard]] HMODULE load_from_system32(const wchar_t* name);

} // namespace launcher::platform
