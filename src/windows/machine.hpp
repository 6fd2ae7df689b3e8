#pragma once

#include "launch/system.hpp"

#include <windows.h>

namespace launcher::windows {

// The kernel32 calls that tell about the machine, each null where this
// Windows lacks it; tests put fakes in their place, for the test bed (Wine)
// has neither GetMachineTypeAttributes nor IsWow64GuestMachineSupported.
struct machine_calls {
    // Windows 10 1709: the machine Windows runs on, whatever this process is.
    BOOL(WINAPI* is_wow64_process2)(HANDLE, USHORT*, USHORT*);
    // Windows 11: whether x64 code runs in user mode, natively or emulated.
    HRESULT(WINAPI* get_machine_type_attributes)(USHORT, MACHINE_ATTRIBUTES*);
    // Windows 10 1709, by its documentation: whether x64 programs run as
    // guests of this Windows.
    HRESULT(WINAPI* is_wow64_guest_machine_supported)(USHORT, BOOL*);
    // Windows XP SP2 and every Windows since: whether this 32-bit process
    // runs on a 64-bit Windows.
    BOOL(WINAPI* is_wow64_process)(HANDLE, BOOL*);
};

// This Windows' own calls: the newer ones looked up in kernel32.
[[nodiscard]] machine_calls kernel32_machine_calls();

// What Windows says about its machine, from whichever of the calls it has;
// a call that is missing or fails leaves its answer empty.
[[nodiscard]] machine_report windows_machine(const machine_calls& calls = kernel32_machine_calls());

} // namespace launcher::windows
