#include "platform/system_dll.hpp"

namespace launcher::platform {

__attribute__((no_stack_protector)) set_default_dll_directories_call set_default_dll_directories()
{
    return reinterpret_cast<set_default_dll_directories_call>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
}

__attribute__((no_stack_protector)) HMODULE load_from_system32(const wchar_t* name)
{
    if (set_default_dll_directories())
        return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    wchar_t path[MAX_PATH];
    UINT const length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length + 1 + lstrlenW(name) >= MAX_PATH)
        return nullptr;
    path[length] = L'\\';
    lstrcpyW(path + length + 1, name);
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

} // namespace launcher::platform
