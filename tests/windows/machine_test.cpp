#include "platform/machine.hpp"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

// Run in the 64-bit and in the 32-bit Windows of the test bed, against what
// Windows tells of its processor. (Wine lacks the two calls that ask about
// x64 emulation: their answers are left to the rule's own tests.)
TEST(Machine, ReportsTheWindowsItRunsOn)
{
    SYSTEM_INFO native{};
    GetNativeSystemInfo(&native);
    bool const x64 = native.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
    ASSERT_TRUE(x64 || native.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL);

    auto const machine = launcher::platform::windows_machine();

    EXPECT_EQ(machine.native_machine, x64 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386);
    EXPECT_EQ(machine.wow64, x64);
}

} // namespace
