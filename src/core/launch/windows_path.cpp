#include "launch/windows_path.hpp"

#include "launch/windows_names.hpp"
#include "text/utf16.hpp"

#include <algorithm>
#include <cctype>

namespace launcher {
namespace {

bool is_separator(char c) { return c == '\\' || c == '/'; }

// The components of `text`, split at either separator; a run of separators
// counts as one.
void add_components(std::string_view text, std::vector<std::string>& components)
{
    std::size_t begin = 0;
    while (begin < text.size()) {
        if (is_separator(text[begin])) {
            ++begin;
            continue;
        }
        std::size_t end = begin;
        while (end < text.size() && !is_separator(text[end]))
            ++end;
        components.emplace_back(text.substr(begin, end - begin));
        begin = end;
    }
}

// Whether `text` begins with `prefix`, where a backslash in `prefix` stands
// for either separator and letters match in either case.
bool begins_with(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        bool const same = prefix[i] == '\\'
                              ? is_separator(text[i])
                              : std::tolower(static_cast<unsigned char>(text[i])) == prefix[i];
        if (!same)
            return false;
    }
    return true;
}

bool is_named(std::string_view component, std::string_view lower_case_name)
{
    return component.size() == lower_case_name.size() && begins_with(component, lower_case_name);
}

bool is_drive(std::string_view component)
{
    return component.size() == 2 && component[1] == ':' &&
           ((component[0] >= 'A' && component[0] <= 'Z') ||
            (component[0] >= 'a' && component[0] <= 'z'));
}

std::string compose(const std::string& root, const std::vector<std::string>& components)
{
    std::string text = root;
    for (const auto& component : components) {
        if (!text.empty() && text.back() != '\\')
            text += '\\';
        text += component;
    }
    return text;
}

} // namespace

windows_path parse_windows_path(std::string_view text)
{
    windows_path path;
    bool const verbatim = begins_with(text, R"(\\?\)");
    if (verbatim)
        text.remove_prefix(4);
    bool const unc = begins_with(text, verbatim ? "unc\\" : "\\\\");
    if (verbatim && unc)
        text.remove_prefix(4);
    bool const rooted = !text.empty() && is_separator(text[0]);
    add_components(text, path.components);

    auto& parts = path.components;
    if (unc) {
        // Server and share are the root of a UNC path. "\\.\C:" looks like
        // one but is a drive in the device namespace, whose root is "\\.\":
        // GetFullPathNameW reads "\\.\C:\Q\..\..\x" as "\\.\x".
        std::size_t const taken = std::min<std::size_t>(parts.size(), 2);
        path.above_root = !verbatim && taken > 0 && parts[0] == ".";
        path.root = "\\";
        for (std::size_t i = 0; i < taken; ++i)
            path.root += "\\" + parts[i];
        parts.erase(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(taken));
    } else if (!parts.empty() && is_drive(parts[0]) && text.size() > 2 && is_separator(text[2])) {
        path.root = parts[0] + "\\";
        parts.erase(parts.begin());
    } else if (verbatim) {
        // A volume's name, or a device of the object manager's namespace:
        // "\\?\GLOBALROOT\Device\HarddiskVolume1" is a volume (Microsoft,
        // "Naming Files, Paths, and Namespaces": named device objects lie in
        // its "Device" folder), and ".." ends there as at a drive's root.
        std::size_t const taken = parts.size() >= 3 && is_named(parts[0], "globalroot") &&
                                          is_named(parts[1], "device")
                                      ? 3
                                      : std::min<std::size_t>(parts.size(), 1);
        path.root = "\\\\?";
        for (std::size_t i = 0; i < taken; ++i)
            path.root += "\\" + parts[i];
        if (taken == 0)
            path.root += "\\";
        parts.erase(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(taken));
    } else if (rooted) {
        path.root = "\\";
    }
    return path;
}

// Wine's dlls/ntdll/tests/path.c, RtlGetFullPathName_U: "c:/test/./file"
// is "c:\test\file", "c:/foo/../bar" is "c:\bar", "c:/.." is "c:\". Past a
// share ".." does not go either (Microsoft, "File path formats on Windows
// systems"). How each name reads: windows_names.hpp. An inner "..." reads
// as "..", a name the file system refuses (path.c, test_nt_names). A name
// with a separator after it is an inner name, also at the end: "c:/test/"
// is "c:\test\", so "Release \" keeps its blank and "...\" reads as "..\".
bool append_as_windows_reads(windows_path& path, std::string_view relative)
{
    std::vector<std::string> names;
    add_components(relative, names);
    bool const ends_in_separator = !relative.empty() && is_separator(relative.back());
    auto const refused = [](const std::string& name) { return holds_refused_character(name); };
    if (std::any_of(names.begin(), names.end(), refused))
        return false; // even in a name that ".." takes away
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == "..") {
            if (!path.components.empty())
                path.components.pop_back();
            else if (path.above_root)
                return false; // into the device namespace, which holds no game
            continue;
        }
        if (names[i] == ".")
            continue;
        bool const last = i + 1 == names.size() && !ends_in_separator;
        std::string name = last ? read_as_last_name(names[i]) : read_as_inner_name(names[i]);
        if (name.empty())
            continue; // dots and blanks only, at the end: the folder itself
        if (name == ".." || is_dos_device(name))
            return false;
        path.components.push_back(std::move(name));
    }
    return true;
}

// A "\\?\" path reaches the file system as written: "." and ".." are
// refused there, and trailing dots and blanks are part of the name (Wine's
// dlls/ntdll/tests/path.c, test_nt_names; dlls/kernel32/tests/file.c,
// test_GetFileAttributesExW). Without it only an inner name's trailing dot
// and a last name's trailing dots and blanks read otherwise (path.c,
// RtlGetFullPathName_U: "c:/test.. /file" is "c:\test.. \file"), and the
// launcher hands out neither, so the plain form always names the same
// thing. The prefix would only lengthen the path, past what the shell takes.
std::string written_for_windows(const windows_path& path)
{
    return compose(path.root, path.components);
}

// The working folder's last name may come from the launcher's own path
// (--build ..), and SetCurrentDirectory takes a device for no folder
// (path.c: "C:\con\con" is a device, "c:\nul\foo" is not). An inner name of
// --build keeps its blanks and all its dots but one, so the last name may end
// in either: "b \ " gives the folder "b ", "a...\..." gives "a..".
// SetCurrentDirectory reads it as the last name of a path and strips them
// (path.c, RtlGetFullPathName_U: "c:/test     " is "c:\test"), while the
// game's path keeps them inside it, so the two would name different folders.
// With "\\?\" the name would be taken as written, but that the shell starts
// a game in such a folder is shown nowhere, so it gets none. The shell does
// not say when it cannot enter a folder, so it must not get one.
// Nor must it get a folder that it reads as another: without "\\?\" an
// inner name loses a trailing dot each time the path is read (path.c:
// "c:/test./file" is "c:\test\file"), so "v2..\x64r" gives "C:\Q\v2.\x64r",
// which the shell reads as "C:\Q\v2\x64r", and the game would get a program
// path naming a folder "v2." that is not there. With "\\?\" Wine's shell
// strips the dot all the same: given "\\?\C:\G\v2.\x64r\quenby.exe" it
// started C:\G\v2\x64r\quenby.exe where there was one, and found nothing
// where not. An inner name ending in a blank it started as written.
std::optional<std::string> written_as_working_folder(const windows_path& folder)
{
    auto const& names = folder.components;
    if (!names.empty() && (is_dos_device(names.back()) || ends_in_dot_or_blank(names.back())))
        return std::nullopt;
    if (std::any_of(names.begin(), names.end(),
                    [](const std::string& name) { return !name.empty() && name.back() == '.'; }))
        return std::nullopt;
    return written_for_windows(folder);
}

std::optional<std::string> written_as_game_file(const windows_path& file)
{
    std::string text = written_for_windows(file);
    if (path_to_utf16(text).size() >= max_path)
        return std::nullopt;
    return text;
}

} // namespace launcher
