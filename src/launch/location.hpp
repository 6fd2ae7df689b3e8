#pragma once

#include "launch/system.hpp"

#include <boost/program_options/variables_map.hpp>

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

struct game_location {
    std::string executable;         // <launcher directory>/<build>/quenby.exe
    std::string working_directory;  // <launcher directory>/<build>
};

// The build folder is the one --build names, taken as written; otherwise
// x64r when the status probe finds anything at x64r/quenby.exe, else x86r
// without looking. A probe error other than "not found" escapes.
[[nodiscard]] game_location locate_game(const boost::program_options::variables_map& options,
                                        const system_services& system);

} // namespace launcher
