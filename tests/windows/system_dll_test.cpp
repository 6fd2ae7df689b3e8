#include "windows/system_dll.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// What the fake calls answer and record. They are plain function pointers,
// so they share this state.
struct loader_script {
    BOOL set_default_result = TRUE;
    std::wstring system_directory = L"C:\\windows\\system32";
    std::vector<DWORD> default_directories;            // SetDefaultDllDirectories' flags
    std::vector<std::wstring> dll_directories;         // SetDllDirectoryW's folders
    std::vector<std::pair<std::wstring, DWORD>> loads; // LoadLibraryExW's file and flags
} script;

HMODULE const loaded = reinterpret_cast<HMODULE>(0x10000000);

BOOL WINAPI fake_set_default_dll_directories(DWORD flags)
{
    script.default_directories.push_back(flags);
    return script.set_default_result;
}

launcher::windows::set_default_dll_directories_call present()
{
    return fake_set_default_dll_directories;
}

launcher::windows::set_default_dll_directories_call absent() { return nullptr; }

BOOL WINAPI fake_set_dll_directory(LPCWSTR folder)
{
    script.dll_directories.emplace_back(folder ? folder : L"(null)");
    return TRUE;
}

// As GetSystemDirectoryW: the length without the NUL, or the size needed
// with it when the buffer is too small.
UINT WINAPI fake_system_directory(LPWSTR buffer, UINT size)
{
    auto const length = static_cast<UINT>(script.system_directory.size());
    if (length >= size)
        return length + 1;
    script.system_directory.copy(buffer, length);
    buffer[length] = L'\0';
    return length;
}

HMODULE WINAPI fake_load_library(LPCWSTR file, HANDLE, DWORD flags)
{
    script.loads.emplace_back(file, flags);
    return loaded;
}

launcher::windows::system_dll_calls calls(bool has_set_default)
{
    return {has_set_default ? present : absent, fake_set_dll_directory, fake_system_directory,
            fake_load_library};
}

// Where Windows has SetDefaultDllDirectories, LoadLibraryExW takes
// LOAD_LIBRARY_SEARCH_SYSTEM32 (0x800) and a bare name; elsewhere only a
// full path keeps the search out of other folders, and
// LOAD_WITH_ALTERED_SEARCH_PATH (8) has the DLL's own imports looked for
// beside it (Microsoft's documentation of LoadLibraryEx).
TEST(SystemDll, LoadsFromSystem32Only)
{
    // 247 units, and with "\shell32.dll" 259: the most a path of MAX_PATH
    // (260) units with its NUL holds.
    std::wstring const longest = L"C:\\" + std::wstring(244, L'd');
    struct load_case {
        const char* name;
        bool has_set_default;
        std::wstring system_directory;
        std::vector<std::pair<std::wstring, DWORD>> loads;
    };
    // clang-format off
    const load_case cases[] = {
        {"SetDefaultDllDirectories present: the bare name", true, L"C:\\windows\\system32",
         {{L"shell32.dll", 0x800}}},
        {"absent (Windows 7 without KB2533623): the full path", false, L"C:\\windows\\system32",
         {{L"C:\\windows\\system32\\shell32.dll", 8}}},
        {"absent, the longest System32 that fits", false, longest,
         {{longest + L"\\shell32.dll", 8}}},
        {"absent, System32 one unit too long: nothing loaded", false, longest + L"d", {}},
        {"absent, GetSystemDirectoryW fails: nothing loaded", false, L"", {}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        script = {};
        script.system_directory = c.system_directory;

        HMODULE const module = launcher::windows::load_from_system32(L"shell32.dll",
                                                                     calls(c.has_set_default));

        EXPECT_EQ(script.loads, c.loads);
        EXPECT_EQ(module, c.loads.empty() ? nullptr : loaded);
        EXPECT_TRUE(script.default_directories.empty()); // looked up, never called
    }
}

TEST(SystemDll, RestrictsTheSearchAtStartUp)
{
    struct search_case {
        const char* name;
        bool has_set_default;
        BOOL set_default_result;
        std::vector<DWORD> default_directories;
        std::vector<std::wstring> dll_directories;
    };
    // clang-format off
    const search_case cases[] = {
        {"SetDefaultDllDirectories present: System32 only", true, TRUE, {0x800}, {}},
        {"present but failing: the current folder out", true, FALSE, {0x800}, {L""}},
        {"absent: the current folder out", false, TRUE, {}, {L""}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        script = {};
        script.set_default_result = c.set_default_result;

        launcher::windows::search_dlls_in_system32_only(calls(c.has_set_default));

        EXPECT_EQ(script.default_directories, c.default_directories);
        EXPECT_EQ(script.dll_directories, c.dll_directories);
        EXPECT_TRUE(script.loads.empty());
    }
}

} // namespace
