#pragma once

#include <windows.h>

#include <type_traits>

namespace launcher::windows {

// A procedure looked up by name, typed as the caller declares it, or null.
// GetProcAddress gives every procedure as FARPROC; the cast goes through
// void (*)(), the one function pointer type GCC's and clang's
// -Wcast-function-type let stand for any other, rather than through void*,
// which a data pointer need not be able to hold.
template <typename Procedure>
[[nodiscard]] Procedure find_procedure(HMODULE module, const char* name) noexcept
{
    static_assert(std::is_function_v<std::remove_pointer_t<Procedure>>, "a function pointer type");
    using any_procedure = void (*)();
    auto const found = reinterpret_cast<any_procedure>(GetProcAddress(module, name));
    return reinterpret_cast<Procedure>(found);
}

// SetDefaultDllDirectories, or null on a Windows 7 or Vista without
// KB2533623 (Windows 8 has it). LoadLibraryExW takes the
// LOAD_LIBRARY_SEARCH_* flags exactly where it is there: Microsoft's
// documentation of LoadLibraryEx says to test for it that way.
using set_default_dll_directories_call = BOOL(WINAPI*)(DWORD);
[[nodiscard]] set_default_dll_directories_call set_default_dll_directories();

// The Windows calls that finding a system DLL takes; tests put fakes in
// their place, for the test bed (Wine) always has SetDefaultDllDirectories.
struct system_dll_calls {
    set_default_dll_directories_call (*find_set_default_dll_directories)() =
        set_default_dll_directories;
    BOOL(WINAPI* set_dll_directory)(LPCWSTR) = SetDllDirectoryW;
    UINT(WINAPI* system_directory)(LPWSTR, UINT) = GetSystemDirectoryW;
    HMODULE(WINAPI* load_library)(LPCWSTR, HANDLE, DWORD) = LoadLibraryExW;
};

// From here on DLLs loaded by bare name are looked for in System32 only,
// where SetDefaultDllDirectories is there; elsewhere the current folder at
// least is taken out of the search. Runs before the stack canary is set,
// so it is built without the stack protector.
void search_dlls_in_system32_only(const system_dll_calls& calls = {});

// A system DLL from System32 and nowhere else, or null: with the search
// flags where Windows has them, else by its full path there. Runs before
// the stack canary is set, so it is built without the stack protector.
[[nodiscard]] HMODULE load_from_system32(const wchar_t* name, const system_dll_calls& calls = {});

} // namespace launcher::windows
