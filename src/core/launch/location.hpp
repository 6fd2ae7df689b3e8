#pragma once

#include "launch/system.hpp"

#include <boost/program_options/variables_map.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace launcher {

// Whether x64 programs run on the machine Windows describes; empty when
// Windows did not say. An x64 Windows runs them, an x86 one does not, and an
// ARM64 one only where it says it emulates x64 (Windows 11 does, Windows 10
// does not).
[[nodiscard]] std::optional<bool> runs_x64_programs(const machine_report& machine);

// The build folders beside the launcher, and the game's file in either.
inline constexpr std::string_view x64_build_folder = "x64r";
inline constexpr std::string_view x86_build_folder = "x86r";
inline constexpr std::string_view game_file_name = "quenby.exe";

// Windows paths in WTF-8 (see core/text/utf16.hpp), written as Windows
// writes them.
struct game_location {
    std::string executable;        // <launcher folder>\<build>\quenby.exe
    std::string working_directory; // <launcher folder>\<build>
};

// The game's paths in the `build` folder beside the launcher at
// `module_path`, as the shell needs them: the rule for --build, stated here
// for the code (docs/behaviour.md states it for users; the fuzzer checks it
// on every input). The shell's path helpers know UNC and "\\?\" paths only
// with backslashes, and no forward slash may follow "\\?\". So separators are
// backslashes, one between components (a drive root gives "C:\x64r"), with
// none at the end. `build` is read as Windows reads a relative path, so it
// names the same folder whatever form the launcher's path has; the
// launcher's own folder is kept as on disk. A "\\?\" launcher path loses its
// prefix where the plain form names the same thing. Nothing where no folder
// Windows can enter would come of it, or where the shell would read the
// request as another: a launcher path without a root, a name of `build`
// holding a character Windows refuses or naming a DOS device, a ".." above
// the drive of a "\\.\C:\" launcher path, a working folder whose last name
// is a device or ends in a dot or a blank, or with any name ending in a dot
// (read again as another, with "\\?\" or without), or a game path of 260
// units or more, which the shell refuses. How each step reads a path, and
// Windows' limits: windows_path.hpp.
[[nodiscard]] std::optional<game_location> game_paths(std::u16string_view module_path,
                                                      std::string_view build);

// The build folder is the one --build names. Otherwise it is x86r where x64
// programs cannot run, without looking at x64r; else x64r when the status
// probe finds anything at x64r\quenby.exe, else x86r without looking. A
// probe error other than "not found" escapes. Nothing where game_paths
// gives nothing.
[[nodiscard]] std::optional<game_location> locate_game(
    const boost::program_options::variables_map& options, const system_services& system);

} // namespace launcher
