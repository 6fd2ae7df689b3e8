#include "windows/machine.hpp"
#include "windows/system_dll.hpp"

#include <type_traits>

namespace launcher::windows {

machine_calls kernel32_machine_calls()
{
    // The calls below are newer than Windows 7, which the launcher still
    // runs on: each is looked up, and a Windows without it gets null.
    HMODULE const kernel32 = GetModuleHandleW(L"kernel32.dll");
    auto const find = [kernel32](auto& call, const char* name) {
        call = find_procedure<std::remove_reference_t<decltype(call)>>(kernel32, name);
    };
    machine_calls calls{};
    find(calls.is_wow64_process2, "IsWow64Process2");
    find(calls.get_machine_type_attributes, "GetMachineTypeAttributes");
    find(calls.is_wow64_guest_machine_supported, "IsWow64GuestMachineSupported");
    calls.is_wow64_process = IsWow64Process;
    return calls;
}

machine_report windows_machine(const machine_calls& calls)
{
    machine_report report;
    USHORT process = 0;
    USHORT native = 0;
    if (calls.is_wow64_process2 && calls.is_wow64_process2(GetCurrentProcess(), &process, &native))
        report.native_machine = native;
    MACHINE_ATTRIBUTES attributes{};
    if (calls.get_machine_type_attributes &&
        SUCCEEDED(calls.get_machine_type_attributes(IMAGE_FILE_MACHINE_AMD64, &attributes)))
        report.x64_user_mode = (attributes & UserEnabled) != 0;
    BOOL supported = FALSE;
    if (calls.is_wow64_guest_machine_supported &&
        SUCCEEDED(calls.is_wow64_guest_machine_supported(IMAGE_FILE_MACHINE_AMD64, &supported)))
        report.x64_guest = supported != FALSE;
    BOOL on_64_bit_windows = FALSE;
    if (calls.is_wow64_process && calls.is_wow64_process(GetCurrentProcess(), &on_64_bit_windows))
        report.wow64 = on_64_bit_windows != FALSE;
    return report;
}

} // namespace launcher::windows
