#include "launch/location.hpp"

#include "launch/windows_path.hpp"
#include "text/utf16.hpp"

namespace fs = boost::filesystem;

namespace launcher {

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
            return std::nullopt; // a machine this rule does not know
        }
    }
    // A Windows older than 10 (1709) runs on x86 or x64 only: 64-bit means x64.
    return machine.wow64;
}

std::optional<game_location> game_paths(std::u16string_view module_path, std::string_view build)
{
    windows_path folder = parse_windows_path(path_to_utf8(module_path));
    // Without a drive, a share or "\\?\" the launcher's path says nothing of
    // where it lies: what is built on it would be read against whatever the
    // current folder (or drive) is, and the shell would start that.
    if (folder.root.empty() || folder.root == "\\")
        return std::nullopt;
    if (!folder.components.empty())
        folder.components.pop_back(); // the launcher's own file name
    if (!append_as_windows_reads(folder, build))
        return std::nullopt;
    auto working_directory = written_as_working_folder(folder);
    if (!working_directory)
        return std::nullopt;
    windows_path executable = std::move(folder);
    executable.components.emplace_back(game_file_name);
    auto file = written_as_game_file(executable);
    if (!file)
        return std::nullopt;
    return game_location{std::move(*file), std::move(*working_directory)};
}

std::optional<game_location> locate_game(const boost::program_options::variables_map& options,
                                         const system_services& system)
{
    std::u16string const module_path = system.module_path();

    std::string build;
    if (options.count("build")) {
        build = options["build"].as<std::string>();
    } else if (!runs_x64_programs(system.machine()).value_or(true)) {
        // The x64 build could not run: x64r is not even looked at. Where
        // Windows does not say, the probe decides, as on any x64 Windows.
        build = x86_build_folder;
    } else {
        // A sharing violation gives a status of undetermined type, and a
        // directory named quenby.exe is there too: both count as present.
        auto probe = game_paths(module_path, x64_build_folder);
        if (!probe)
            return std::nullopt; // nowhere to look, nor to start from
        auto const type = system.status(probe->executable).type();
        if (type != fs::status_error && type != fs::file_not_found)
            return probe;
        build = x86_build_folder;
    }
    return game_paths(module_path, build);
}

} // namespace launcher
