#pragma once

#include <boost/filesystem/file_status.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace launcher {

// Machine types as Windows names them (IMAGE_FILE_MACHINE_*).
namespace machine_type {
inline constexpr std::uint16_t i386 = 0x014C;
inline constexpr std::uint16_t amd64 = 0x8664;
inline constexpr std::uint16_t arm64 = 0xAA64;
} // namespace machine_type

// What Windows says about the machine it runs on. Each answer is empty where
// this Windows lacks the call or the call failed.
struct machine_report {
    std::optional<std::uint16_t> native_machine; // IsWow64Process2
    std::optional<bool> x64_user_mode;           // GetMachineTypeAttributes(AMD64): UserEnabled
    std::optional<bool> x64_guest;               // IsWow64GuestMachineSupported(AMD64)
    std::optional<bool> wow64;                   // IsWow64Process: a 64-bit Windows
};

// What the launcher asks of the operating system. The real services live in
// src/windows; tests hand in fakes that record requests and script failures.
struct system_services {
    // The launcher's own executable as UTF-16. Throws when it cannot be read.
    std::function<std::u16string()> module_path;

    // What is at a path (WTF-8, as Windows writes it), as
    // boost::filesystem::status (the throwing form) tells.
    std::function<boost::filesystem::file_status(const std::string& path)> status;

    // What Windows says about the machine: can x64 programs run here?
    std::function<machine_report()> machine;

    // Asks the shell to start `file` with `parameters` in `directory` (all
    // WTF-8, see core/text/utf16.hpp) and does not wait. True when the shell accepted.
    std::function<bool(const std::string& file, const std::string& parameters,
                       const std::string& directory)>
        start;
};

} // namespace launcher
