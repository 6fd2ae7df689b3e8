#include "launch/windows_path.hpp"

#include "platform/utf16.hpp"

#include <algorithm>
#include <cctype>

namespace launcher {
namespace {

bool is_separator(char c)
{
    return c == '\\' || c == '/';
}

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

bool is_drive(std::string_view component)
{
    return component.size() == 2 && component[1] == ':' &&
           ((component[0] >= 'A' && component[0] <= 'Z') || (component[0] >= 'a' && component[0] <= 'z'));
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

// Windows' rule for a DOS device name (RtlIsDosDeviceName_U, in Wine's
// dlls/ntdll/tests/path.c: "c:prn.......", "c:NUL  ....  ", "c:nul:aaa" and
// "c:\...\nul.txt" are devices, "c:nul0" and "c:\lpt0.txt" are not): the
// name up to its first dot or colon, without trailing blanks. The digits
// of COM and LPT include the superscripts ¹ ² ³ (Microsoft, "Naming Files,
// Paths, and Namespaces").
bool is_dos_device(std::string_view component)
{
    std::string name(component.substr(0, component.find_first_of(".:")));
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    for (char& c : name)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name == "CON" || name == "PRN" || name == "AUX" || name == "NUL")
        return true;
    std::string_view const number = std::string_view(name).substr(std::min<std::size_t>(name.size(), 3));
    return (name.rfind("COM", 0) == 0 || name.rfind("LPT", 0) == 0) &&
           ((number.size() == 1 && number[0] >= '1' && number[0] <= '9') ||
            number == "\xC2\xB9" || number == "\xC2\xB2" || number == "\xC2\xB3");
}

bool ends_in_dot_or_blank(const std::string& name)
{
    return !name.empty() && (name.back() == '.' || name.back() == ' ');
}

}  // namespace

windows_path parse_windows_path(std::string_view text)
{
    windows_path path;
    bool const verbatim = begins_with(text, "\\\\?\\");
    if (verbatim)
        text.remove_prefix(4);
    bool const unc = begins_with(text, verbatim ? "unc\\" : "\\\\");
    if (verbatim && unc)
        text.remove_prefix(4);
    bool const rooted = !text.empty() && is_separator(text[0]);
    add_components(text, path.components);

    auto& parts = path.components;
    if (unc) {
        // Server and share are the root of a UNC path.
        std::size_t const taken = std::min<std::size_t>(parts.size(), 2);
        path.root = "\\";
        for (std::size_t i = 0; i < taken; ++i)
            path.root += "\\" + parts[i];
        parts.erase(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(taken));
        if (verbatim)
            path.verbatim_root = "\\\\?\\UNC" + path.root.substr(1);
    } else if (!parts.empty() && is_drive(parts[0]) && text.size() > 2 && is_separator(text[2])) {
        path.root = parts[0] + "\\";
        parts.erase(parts.begin());
        if (verbatim)
            path.verbatim_root = "\\\\?\\" + path.root;
    } else if (verbatim) {
        path.root = path.verbatim_root = "\\\\?\\" + (parts.empty() ? std::string() : parts[0]);
        if (!parts.empty())
            parts.erase(parts.begin());
    } else if (rooted) {
        path.root = "\\";
    }
    return path;
}

// Wine's dlls/ntdll/tests/path.c, RtlGetFullPathName_U and
// RtlDosPathNameToNtPathName_U: "c:/.." is "c:\", "c:/test/./file" is
// "c:\test\file", "c:/test  ....   ..   " is "c:\test", "..." and
// "c:/test/.. " name the folder itself. Only the last component loses all
// its trailing dots and blanks there (an inner one loses one dot), but here
// every one does: a --build component is the last of the working folder
// and an inner one of the game's path, which must name the same folder.
// Past a share, ".." does not go either (Microsoft, "File path formats on
// Windows systems").
bool append_as_windows_reads(windows_path& path, std::string_view relative)
{
    std::vector<std::string> names;
    add_components(relative, names);
    for (std::string& name : names) {
        if (name == "..") {
            if (!path.components.empty())
                path.components.pop_back();
            continue;
        }
        while (ends_in_dot_or_blank(name))
            name.pop_back();
        if (name.empty())
            continue;
        if (is_dos_device(name))
            return false;
        path.components.push_back(std::move(name));
    }
    return true;
}

// A "\\?\" path reaches the file system as written: "." and ".." are
// refused there, and trailing dots and blanks are part of the name (Wine's
// dlls/ntdll/tests/path.c, test_nt_names; dlls/kernel32/tests/file.c,
// test_GetFileAttributesExW).
std::string written_for_windows(const windows_path& path, std::size_t limit)
{
    std::string const plain = compose(path.root, path.components);
    bool const same = path_to_utf16(plain).size() < limit &&
                      std::none_of(path.components.begin(), path.components.end(), ends_in_dot_or_blank);
    return same || path.verbatim_root.empty() ? plain : compose(path.verbatim_root, path.components);
}

} // namespace launcher
