#pragma once

#include "launch/system.hpp"

#include <boost/program_options/variables_map.hpp>

#include <optional>
#include <string>

namespace launcher {

// A Boost.Filesystem path for a UTF-8 string, and back, keeping every
// character: Windows paths hold UTF-16, and going through the path locale
// would convert each UTF-16 unit on its own and lose what lies beyond the
// Basic Multilingual Plane.
[[nodiscard]] boost::filesystem::path path_from_utf8(const std::string& text);
[[nodiscard]] std::string generic_utf8(const boost::filesystem::path& path);

// The folder that holds the launcher, "/" separated, without a trailing
// separator except for a drive's root ("C:/").
[[nodiscard]] std::string launcher_directory(const std::u16string& module_path);

// Whether x64 programs run on the machine Windows describes; empty when
// Windows did not say. An x64 Windows runs them, an x86 one does not, and an
// ARM64 one only where it says it emulates x64 (Windows 11 does, Windows 10
// does not).
[[nodiscard]] std::optional<bool> runs_x64_programs(const machine_report& machine);

struct game_location {
    std::string executable;         // <launcher directory>/<build>/quenby.exe
    std::string working_directory;  // <launcher directory>/<build>
};

// The build folder is the one --build names, taken as written. Otherwise it
// is x86r where x64 programs cannot run, without looking at x64r; else x64r
// when the status probe finds anything at x64r/quenby.exe, else x86r without
// looking. A probe error other than "not found" escapes.
[[nodiscard]] game_location locate_game(const boost::program_options::variables_map& options,
                                        const system_services& system);

} // namespace launcher
