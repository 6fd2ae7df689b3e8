// Starts like launcher.exe (same entry point, same start-up code, same
// flags) and then does one thing the start-up tests look at:
//   startup_probe guard           prints this process's stack canary and
//                                 where it came from: RtlGenRandom or fallback
//   startup_probe guard-zero      the same for a canary made anew from a
//                                 generator that succeeds with 0
//   startup_probe overflow        overruns a local buffer, then says "after"
//   startup_probe load NAME       LoadLibraryW(NAME): prints the file loaded
//   startup_probe load-beside NAME  the same, looking only beside the program

#include "windows/process_start.hpp"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

extern "C" std::uintptr_t __stack_chk_guard;
extern "C" bool launcher_canary_from_system;

namespace {

// Writes `length` bytes into a 16-byte buffer, so the canary behind it is
// overwritten. Not inlined: the check must come when this returns, before
// the caller can print anything.
__attribute__((noinline)) void overrun(std::size_t length)
{
    char buffer[16];
    volatile char* const bytes = buffer;
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = 'x';
}

BOOLEAN WINAPI zero_generator(PVOID buffer, ULONG length)
{
    std::memset(buffer, 0, length);
    return TRUE;
}

void print_guard(std::uintptr_t canary)
{
    std::printf("%08lx %s\n", static_cast<unsigned long>(canary),
                launcher_canary_from_system ? "RtlGenRandom" : "fallback");
}

void print_loaded(HMODULE module)
{
    if (!module) {
        std::printf("not loaded: error %lu\n", GetLastError());
        return;
    }
    wchar_t path[MAX_PATH * 4];
    DWORD const length = GetModuleFileNameW(module, path, MAX_PATH * 4);
    std::printf("loaded: %ls\n", std::wstring(path, length).c_str());
}

} // namespace

int WINAPI wWinMain(HINSTANCE /* instance */, HINSTANCE /* previous */, PWSTR command_line,
                    int /* show */)
{
    _setmode(_fileno(stdout), _O_BINARY); // "\n", not "\r\n"
    std::wstring const line = command_line;
    auto const blank = line.find(L' ');
    std::wstring const mode = line.substr(0, blank);
    std::wstring const name = blank == std::wstring::npos ? L"" : line.substr(blank + 1);

    if (mode == L"guard") {
        print_guard(__stack_chk_guard);
    } else if (mode == L"guard-zero") {
        launcher_canary_from_system = false;
        print_guard(launcher::windows::fresh_canary(zero_generator));
    } else if (mode == L"overflow") {
        std::printf("before\n");
        std::fflush(stdout);
        overrun(64);
        std::printf("after\n");
    } else if (mode == L"load") {
        print_loaded(LoadLibraryW(name.c_str()));
    } else if (mode == L"load-beside") {
        print_loaded(LoadLibraryExW(name.c_str(), nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR));
    } else {
        return 2;
    }
    std::fflush(stdout);
    return 0;
}
