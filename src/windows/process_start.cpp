// The process's first code of its own. The linker makes launcher_start the
// entry point (use_process_start in CMakeLists.txt), so it runs before
// the C runtime's start-up and before any function built with the stack
// protector; then it hands over to MinGW's start-up code, which calls
// wWinMain. Nothing in this file may be built with the protector: the
// canary changes here, under the feet of any protected frame.

#include "windows/process_start.hpp"
#include "windows/system_dll.hpp"

#include <windows.h>

#include <cstdint>
#include <initializer_list>

extern "C" {

// Called by name from outside this file: by the code the stack protector
// puts in every protected function, and by the linker as the entry point.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the protector's name
[[noreturn]] void __stack_chk_fail();
int launcher_start();

// The canary that every protected function copies into its frame on entry
// and compares before it returns. Defined here, with the failure routines,
// rather than taken from GCC's libssp: libssp seeds it through a
// cryptographic provider (CryptAcquireContextA), which loads and unloads
// several DLLs at every start, about 5 ms under Wine.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the protector's name
std::uintptr_t __stack_chk_guard = 0;

// Set when the canary came from the system's generator rather than from the
// fallback, whose values look just as random start by start. Nothing in the
// launcher reads it; the start-up tests' probe reports it.
bool launcher_canary_from_system = false;

// A protected function found its canary overwritten, or a checked string
// function (_FORTIFY_SOURCE) a write past its buffer: the stack or the heap
// is corrupt, so no code of the process may run any more (no handlers, no
// atexit, no output). The process ends with the status Windows' own
// fail-fast reports for a broken stack cookie.
[[noreturn]] __attribute__((no_stack_protector)) void __stack_chk_fail()
{
    TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
    __builtin_trap(); // TerminateProcess on oneself does not return
}

// Declared as well by MinGW-w64's <string.h> under _FORTIFY_SOURCE, with
// GCC's attribute: C++'s [[noreturn]] may stand only on a first declaration
// (clang refuses it here).
__attribute__((noreturn, no_stack_protector)) void __chk_fail() { __stack_chk_fail(); }

// MinGW's start-up code for a GUI program (with -municode, the one that
// ends in wWinMain): it starts the C runtime and runs static constructors.
int WinMainCRTStartup();

} // extern "C"

namespace {

// The system's random generator, RtlGenRandom (exported as
// SystemFunction036). Not imported: from Windows 7 on advapi32.dll only
// forwards it to cryptbase.dll, which is no known DLL, and the loader would
// resolve that import before any code here runs, looking in the program's
// folder first. So it is looked up once the search is restricted, from
// System32: in cryptbase.dll first (Windows 7 and later), then in
// advapi32.dll (which holds it itself on Vista).
using launcher::windows::find_procedure;
using launcher::windows::random_generator;

__attribute__((no_stack_protector)) random_generator system_random_generator()
{
    for (const wchar_t* dll : {L"cryptbase.dll", L"advapi32.dll"}) {
        if (HMODULE const module = launcher::windows::load_from_system32(dll)) {
            auto const generator = find_procedure<random_generator>(module, "SystemFunction036");
            if (generator)
                return generator;
        }
    }
    return nullptr;
}

} // namespace

// A canary from the system's random generator (no cryptographic provider
// needed). A 0 from it is no canary: an overrun that writes zeros (a
// string's terminator) would leave it intact. Should that fail, one that
// still differs from process to process and from start to start: time,
// identifiers and where the stack lies.
__attribute__((no_stack_protector)) std::uintptr_t launcher::windows::fresh_canary(
    random_generator generate)
{
    std::uintptr_t canary = 0;
    if (generate && generate(&canary, sizeof canary) && canary != 0) {
        launcher_canary_from_system = true;
        return canary;
    }
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    canary = static_cast<std::uintptr_t>(counter.QuadPart ^ (counter.QuadPart >> 32)) ^
             now.dwLowDateTime ^ now.dwHighDateTime ^ (GetCurrentProcessId() << 16) ^
             GetCurrentThreadId() ^ reinterpret_cast<std::uintptr_t>(&canary);
    return canary != 0 ? canary : 0x2B992DDF;
}

extern "C" __attribute__((no_stack_protector)) int launcher_start()
{
    // DLLs loaded by bare name after start-up, by the launcher or by a
    // system DLL working for it (the shell loads several to serve
    // ShellExecuteExW), are looked for in the program's folder first by
    // default. A launcher sits in a game folder that a user can often write
    // to, or in Downloads: a DLL planted there would run inside it. So from
    // here on only System32 is searched. The shell's own DLL is loaded the
    // same way, later (src/windows/shell_start.cpp).
    launcher::windows::search_dlls_in_system32_only();
    __stack_chk_guard = launcher::windows::fresh_canary(system_random_generator());
    return WinMainCRTStartup();
}
