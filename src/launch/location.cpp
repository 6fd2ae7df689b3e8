#include "launch/location.hpp"

#include "platform/utf16.hpp"

#include <cctype>
#include <vector>

namespace fs = boost::filesystem;

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

// A Windows path taken apart. `root` is written without "\\?\": "C:\",
// "\\server\share", "\" or nothing. `verbatim_root` is the root with the
// prefix, for a path that had it: "\\?\C:\", "\\?\UNC\server\share"; where
// the prefix cannot go (a volume name, say) both are that form.
struct windows_path {
    std::string root;
    std::string verbatim_root;
    std::vector<std::string> components;
};

windows_path parse(std::string_view text)
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

// Without "\\?\", Windows normalises a path before it names a file: it
// strips a trailing dot or blank from every name, and refuses a path of
// MAX_PATH (260) characters or more, the terminating NUL included. A
// prefixed path can do without the prefix only where neither happens.
bool plain_form_names_the_same(const std::string& root, const std::vector<std::string>& components)
{
    if (to_utf16(compose(root, components)).size() >= 260)
        return false;
    for (const auto& name : components) {
        // "." and ".." are steps rather than names: only the plain form can take them.
        if (name != "." && name != ".." && (name.back() == '.' || name.back() == ' '))
            return false;
    }
    return true;
}

} // namespace

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

game_location game_paths(std::u16string_view module_path, std::string_view build)
{
    windows_path folder = parse(to_utf8(module_path));
    if (!folder.components.empty())
        folder.components.pop_back();  // the launcher's own file name
    add_components(build, folder.components);
    std::vector<std::string> executable = folder.components;
    executable.emplace_back("quenby.exe");

    std::string root = folder.root;
    if (!folder.verbatim_root.empty() && !plain_form_names_the_same(root, executable))
        root = folder.verbatim_root;
    return {compose(root, executable), compose(root, folder.components)};
}

game_location locate_game(const boost::program_options::variables_map& options,
                          const system_services& system)
{
    std::u16string const module_path = system.module_path();

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
        auto const type = system.status(game_paths(module_path, "x64r").executable).type();
        build = type != fs::status_error && type != fs::file_not_found ? "x64r" : "x86r";
    }
    return game_paths(module_path, build);
}

} // namespace launcher
