#include "windows/machine.hpp"

#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

// Run in the 64-bit and in the 32-bit Windows of the test bed, against what
// Windows tells of its processor. (Wine lacks the two calls that ask about
// x64 emulation: their answers come from the table below.)
TEST(Machine, ReportsTheWindowsItRunsOn)
{
    SYSTEM_INFO native{};
    GetNativeSystemInfo(&native);
    bool const x64 = native.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
    ASSERT_TRUE(x64 || native.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL);

    auto const machine = launcher::windows::windows_machine();

    EXPECT_EQ(machine.native_machine, x64 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386);
    EXPECT_EQ(machine.wow64, x64);
}

// What the fake calls answer. The fakes are plain function pointers, so
// they share this state.
struct machine_script {
    BOOL wow64_process2 = TRUE; // IsWow64Process2's answer
    HRESULT result = S_OK;      // of the two calls that answer with an HRESULT
    int attributes = 0;         // GetMachineTypeAttributes' MACHINE_ATTRIBUTES
    BOOL guest = FALSE;         // IsWow64GuestMachineSupported's answer
    BOOL wow64_process = TRUE;  // IsWow64Process's result
    std::vector<USHORT> asked;  // the machines the two were asked about
} script;

// A failing call leaves 0 (IMAGE_FILE_MACHINE_UNKNOWN) where a machine
// would be: no machine to read.
BOOL WINAPI fake_is_wow64_process2(HANDLE, USHORT* process, USHORT* native)
{
    *process = script.wow64_process2 ? IMAGE_FILE_MACHINE_I386 : 0;
    *native = script.wow64_process2 ? 0xAA64 : 0; // IMAGE_FILE_MACHINE_ARM64
    return script.wow64_process2;
}

HRESULT WINAPI fake_get_machine_type_attributes(USHORT machine, MACHINE_ATTRIBUTES* attributes)
{
    script.asked.push_back(machine);
    *attributes = static_cast<MACHINE_ATTRIBUTES>(script.attributes);
    return script.result;
}

HRESULT WINAPI fake_is_wow64_guest_machine_supported(USHORT machine, BOOL* supported)
{
    script.asked.push_back(machine);
    *supported = script.guest;
    return script.result;
}

// A failing call writes no answer.
BOOL WINAPI fake_is_wow64_process(HANDLE, BOOL* wow64)
{
    if (script.wow64_process)
        *wow64 = TRUE;
    return script.wow64_process;
}

// Windows 11 on ARM64 as a 32-bit program sees it, call by call, or a
// Windows without some of the calls.
TEST(Machine, ReadsEachAnswerOfWindows)
{
    // MACHINE_ATTRIBUTES, as Microsoft documents GetMachineTypeAttributes:
    // UserEnabled 1 (user-mode code of that machine runs), KernelEnabled 2,
    // Wow64Container 4.
    constexpr int user = 1, kernel = 2, wow64_container = 4;
    constexpr USHORT arm64 = 0xAA64;
    struct machine_case {
        const char* name;
        bool has_attributes, has_guest;
        int attributes;
        BOOL guest;
        HRESULT result;
        std::optional<bool> x64_user_mode, x64_guest;
        BOOL wow64_process2;
        std::optional<USHORT> native_machine;
        BOOL wow64_process = TRUE;
        std::optional<bool> wow64 = true;
    };
    // clang-format off
    const machine_case cases[] = {
        {"UserEnabled alone", true, true, user, TRUE, S_OK, true, true, TRUE, arm64},
        {"KernelEnabled alone", true, true, kernel, TRUE, S_OK, false, true, TRUE, arm64},
        {"both", true, true, user | kernel, FALSE, S_OK, true, false, TRUE, arm64},
        {"neither", true, true, 0, FALSE, S_OK, false, false, TRUE, arm64},
        {"a WOW64 container only", true, true, wow64_container, TRUE, S_OK, false, true, TRUE, arm64},
        {"both calls fail", true, true, user, TRUE, E_INVALIDARG, std::nullopt, std::nullopt, TRUE,
         arm64},
        {"only IsWow64GuestMachineSupported (Windows 10)", false, true, user, TRUE, S_OK,
         std::nullopt, true, TRUE, arm64},
        {"neither call (Windows 10 before 1709, Wine)", false, false, user, TRUE, S_OK,
         std::nullopt, std::nullopt, TRUE, arm64},
        // Read as machine 0, unknown to the launcher, a failure would have x64r
        // probed on a 32-bit Windows instead of asking IsWow64Process.
        {"IsWow64Process2 fails", true, true, user, TRUE, S_OK, true, true, FALSE, std::nullopt},
        // Unknown, not a 32-bit Windows: read as "no", x86r would start on an
        // x64 Windows before 10 (1709) without x64r being looked at.
        {"IsWow64Process fails too", false, false, user, TRUE, S_OK, std::nullopt, std::nullopt,
         FALSE, std::nullopt, FALSE, std::nullopt},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        script = {c.wow64_process2, c.result, c.attributes, c.guest, c.wow64_process, {}};
        launcher::windows::machine_calls const calls{
            fake_is_wow64_process2,
            c.has_attributes ? fake_get_machine_type_attributes : nullptr,
            c.has_guest ? fake_is_wow64_guest_machine_supported : nullptr,
            fake_is_wow64_process,
        };

        auto const machine = launcher::windows::windows_machine(calls);

        EXPECT_EQ(machine.native_machine, c.native_machine);
        EXPECT_EQ(machine.x64_user_mode, c.x64_user_mode);
        EXPECT_EQ(machine.x64_guest, c.x64_guest);
        EXPECT_EQ(machine.wow64, c.wow64);
        // Both are asked about x64 (IMAGE_FILE_MACHINE_AMD64), nothing else.
        EXPECT_EQ(script.asked, std::vector<USHORT>(c.has_attributes + c.has_guest, 0x8664));
    }
}

} // namespace
