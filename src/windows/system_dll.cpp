#include "windows/system_dll.hpp"

#include <array>

namespace launcher::windows {

__attribute__((no_stack_protector)) set_default_dll_directories_call set_default_dll_directories()
{
    return find_procedure<set_default_dll_directories_call>(GetModuleHandleW(L"kernel32.dll"),
                                                            "SetDefaultDllDirectories");
}

// Without SetDefaultDllDirectories, SetDllDirectoryW(L"") is what there is:
// it takes the current folder out of the search, though not the program's.
__attribute__((no_stack_protector)) void search_dlls_in_system32_only(const system_dll_calls& calls)
{
    auto const set_default = calls.find_set_default_dll_directories();
    if (!set_default || !set_default(LOAD_LIBRARY_SEARCH_SYSTEM32))
        calls.set_dll_directory(L"");
}

__attribute__((no_stack_protector)) HMODULE load_from_system32(const wchar_t* name,
                                                               const system_dll_calls& calls)
{
    if (calls.find_set_default_dll_directories())
        return calls.load_library(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    std::array<wchar_t, MAX_PATH> path;
    UINT const length = calls.system_directory(path.data(), MAX_PATH);
    if (length == 0 || length + 1 + static_cast<UINT>(lstrlenW(name)) >= MAX_PATH)
        return nullptr;
    path[length] = L'\\';
    lstrcpyW(path.data() + length + 1, name);
    return calls.load_library(path.data(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

} // namespace launcher::windows
