#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace launcher {

// Windows' limits on a path written without "\\?\", in UTF-16 units.
//
// MAX_PATH: a path and its terminating NUL (Microsoft, "Maximum Path Length
// Limitation"), so at most 259 units; the shell refuses a longer file path.
inline constexpr std::size_t max_path = 260;
// The longest folder SetCurrentDirectory takes: MAX_PATH - 2, for it keeps
// a backslash after the folder besides the NUL (Microsoft's
// SetCurrentDirectory page: "the final character before the null character
// must be a backslash"). A program cannot be started in a longer one: "Setting
// a current directory longer than MAX_PATH causes CreateProcessW to fail".
inline constexpr std::size_t max_working_folder = max_path - 2;

// A Windows path (WTF-8, see core/text/utf16.hpp) taken apart. `root` is
// written without "\\?\": "C:\", "\\server\share", "\" or nothing.
// `verbatim_root` is the root with the prefix, for a path that had it:
// "\\?\C:\", "\\?\UNC\server\share"; where the prefix cannot go (a volume
// name, "\\?\GLOBALROOT\Device\HarddiskVolume1") both are that form. The
// components are names, as on disk.
struct windows_path {
    std::string root;
    std::string verbatim_root;
    std::vector<std::string> components;
};

// Takes `text` apart at either separator; a run of separators counts as one.
[[nodiscard]] windows_path parse_windows_path(std::string_view text);

// Adds the components of the relative path `relative` as Windows reads a
// path without "\\?\": "." goes, ".." takes away the component before it
// but never the root, the last name loses its trailing dots and blanks and
// an inner one a trailing dot, and a last name left empty goes; a name with
// a separator after it is an inner one. False, and `path` left incomplete,
// when a name holds a character Windows refuses, or reads as a DOS device
// (CON, NUL, COM1, ...) or as "..".
[[nodiscard]] bool append_as_windows_reads(windows_path& path, std::string_view relative);

// `path` as the shell must get it: without "\\?\" wherever the plain form
// names the same thing, which is where none of its components ends in a dot
// or a blank (Windows strips those) and it is shorter than `limit` UTF-16
// units; else with the prefix, if the path had one, and plain if not.
[[nodiscard]] std::string written_for_windows(const windows_path& path, std::size_t limit);

// `folder` as the shell must get a working folder: as written_for_windows
// writes it, or nothing where SetCurrentDirectory would not enter it: its
// last name a DOS device or ending in a dot or a blank (SetCurrentDirectory
// strips them, so the folder it enters is not the one that holds the game),
// more than max_working_folder units, or written without "\\?\" with a name
// ending in a dot (Windows, reading it again, would take the dot away).
[[nodiscard]] std::optional<std::string> written_as_working_folder(const windows_path& folder);

} // namespace launcher
