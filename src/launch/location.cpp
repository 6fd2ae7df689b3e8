#include "launch/location.hpp"

#include "platform/utf16.hpp"

namespace fs = boost::filesystem;

namespace launcher {

fs::path path_from_utf8(const std::string& text)
{
#ifdef _WIN32
    return fs::path(to_wide(text));
#else
    return fs::path(text);
#endif
}

std::string generic_utf8(const fs::path& path)
{
#ifdef _WIN32
    return from_wide(path.generic_wstring());
#else
    return path.generic_string();
#endif
}

std::string launcher_directory(const std::u16string& module_path)
{
    return generic_utf8(path_from_utf8(to_utf8(module_path)).parent_path());
}

std::optional<bool> runs_x64_programs(const machine_report& machine)
{
    if (machine.native_machine) {
        switch (*machine.native_machine) {
        case machine_type::amd64:
            return true;
        case machine_type::i386:
            return false;
        case machine_type::arm64:
            // Windows 11 on ARM64 emulates x64, Windows 10 does not: only a
            // "yes" from Windows counts.
            return machine.x64_user_mode.value_or(machine.x64_guest.value_or(false));
        default:
            return std::nullopt;  // a machine this rule does not know
        }
    }
    // A Windows older than 10 (1709) runs on x86 or x64 only: 64-bit means x64.
    return machine.wow64;
}

game_location locate_game(const boost::program_options::variables_map& options,
                          const system_services& system)
{
    std::string const directory = launcher_directory(system.module_path());

    std::string build;
    if (options.count("build")) {
        build = options["build"].as<std::string>();
    } else if (!runs_x64_programs(system.machine()).value_or(true)) {
        // The x64 build could not run: x64r is not even looked at. Where
        // Windows does not say, the probe decides as before.
        build = "x86r";
    } else {
        // A sharing violation gives a status of undetermined type, and a
        // directory named quenby.exe is there too: both count as present.
        auto const type = system.status(path_from_utf8(directory + "/x64r/quenby.exe")).type();
        build = type != fs::status_error && type != fs::file_not_found ? "x64r" : "x86r";
    }

    std::string const working_directory = directory + "/" + build;
    return {working_directory + "/quenby.exe", working_directory};
}

} // namespace launcher
