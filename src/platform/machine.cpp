#include "platform/machine.hpp"

#include <windows.h>

namespace launcher::platform {
namespace {

// The calls below are newer than Windows 7, which the launcher still runs
// on: each is looked up in kernel32, and a Windows without it leaves its
// answer empty.
template <typename Function>
Function* kernel32_function(const char* name)
{
    return reinterpret_cast<Function*>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

// Windows 10 1709: the machine Windows runs on, whatever this process is.
std::optional<std::uint16_t> native_machine()
{
    auto const query = kernel32_function<BOOL WINAPI(HANDLE, USHORT*, USHORT*)>("IsWow64Process2");
    USHORT process = 0, native = 0;
    if (query && query(GetCurrentProcess(), &process, &native))
        return native;
    return std::nullopt;
}

// Windows 11: whether x64 code runs in user mode, natively or emulated.
std::optional<bool> x64_user_mode()
{
    auto const query = kernel32_function<HRESULT WINAPI(USHORT, MACHINE_ATTRIBUTES*)>(
        "GetMachineTypeAttributes");
    MACHINE_ATTRIBUTES attributes{};
    if (query && SUCCEEDED(query(IMAGE_FILE_MACHINE_AMD64, &attributes)))
        return (attributes & UserEnabled) != 0;
    return std::nullopt;
}

// Windows 10 1709, by its documentation: whether x64 programs run as guests
// of this Windows.
std::optional<bool> x64_guest()
{
    auto const query = kernel32_function<HRESULT WINAPI(USHORT, BOOL*)>(
        "IsWow64GuestMachineSupported");
    BOOL supported = FALSE;
    if (query && SUCCEEDED(query(IMAGE_FILE_MACHINE_AMD64, &supported)))
        return supported != FALSE;
    return std::nullopt;
}

// Windows XP SP2 and every Windows since: whether this 32-bit process runs
// on a 64-bit Windows.
std::optional<bool> wow64()
{
    BOOL on_64_bit_windows = FALSE;
    if (IsWow64Process(GetCurrentProcess(), &on_64_bit_windows))
        return on_64_bit_windows != FALSE;
    return std::nullopt;
}

} // namespace

machine_report windows_machine()
{
    return {native_machine(), x64_user_mode(), x64_guest(), wow64()};
}

} // namespace launcher::platform
