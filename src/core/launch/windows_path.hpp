#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace launcher {

// Windows' limits on a path, in UTF-16 units.
//
// MAX_PATH: a path and its terminating NUL (Microsoft, "Maximum Path Length
// Limitation"), so at most 259 units. Wine's ShellExecuteExW refuses a
// program path of 260 units or more with "\\?\" as well as without it
// (SE_ERR_FNF; the game's path replayed under Wine 8 with working folders
// of 243 to 258 units), so no form of a longer path starts the game there.
inline constexpr std::size_t max_path = 260;
// SetCurrentDirectory takes a folder of at most MAX_PATH - 2 units
// (Microsoft's SetCurrentDirectory page: it keeps a backslash after it
// besides the NUL), and "setting a current directory longer than MAX_PATH
// causes CreateProcessW to fail". The working folder is the game's path
// without "\quenby.exe", so at most 248 units: well within that.

// A Windows path (WTF-8, see core/text/utf16.hpp) taken apart. `root` is
// written without "\\?\" where it can do without: "C:\" (also for
// "\\?\C:\"), "\\server\share" (also for "\\?\UNC\server\share"), "\" or
// nothing; a volume's name keeps it ("\\?\Volume{...}",
// "\\?\GLOBALROOT\Device\HarddiskVolume1"). The components are names, as
// on disk. `above_root` says whether Windows' ".." goes on past the root:
// for "\\.\C:", the drive in the device namespace, it reaches "\\.\".
struct windows_path {
    std::string root;
    std::vector<std::string> components;
    bool above_root = false;
};

// Takes `text` apart at either separator; a run of separators counts as one.
[[nodiscard]] windows_path parse_windows_path(std::string_view text);

// Adds the components of the relative path `relative` as Windows reads a
// path without "\\?\": "." goes, ".." takes away the component before it
// but never the root, the last name loses its trailing dots and blanks and
// an inner one a trailing dot, and a last name left empty goes; a name with
// a separator after it is an inner one. False, and `path` left incomplete,
// when a name holds a character Windows refuses, or reads as a DOS device
// (CON, NUL, COM1, ...) or as "..", or when ".." goes past a root that
// Windows goes on past (`above_root`).
[[nodiscard]] bool append_as_windows_reads(windows_path& path, std::string_view relative);

// `path` as the shell must get it: without "\\?\" where the root can do
// without it ("\\?\C:\" is "C:\", "\\?\UNC\s\h" is "\\s\h"), for the
// working folder and the game's path as written_as_working_folder and
// written_as_game_file give them read the same either way.
[[nodiscard]] std::string written_for_windows(const windows_path& path);

// `folder` as the shell must get a working folder: as written_for_windows
// writes it, or nothing where SetCurrentDirectory would not enter it or the
// shell would read it as another: its last name a DOS device or ending in a
// dot or a blank (SetCurrentDirectory strips them, so the folder it enters
// is not the one that holds the game), or a name ending in a dot, with "\\?\" or without it
// (Windows, reading the path again, takes the dot away; Wine's shell does so under "\\?\").
[[nodiscard]] std::optional<std::string> written_as_working_folder(const windows_path& folder);

// `file` as the shell must get the game's path: as written_for_windows
// writes it, or nothing where that is max_path units or more.
[[nodiscard]] std::optional<std::string> written_as_game_file(const windows_path& file);

} // namespace launcher
