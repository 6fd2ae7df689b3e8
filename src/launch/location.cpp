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

game_location locate_game(const boost::program_options::variables_map& options,
                          const system_services& system)
{
    std::string const directory = launcher_directory(system.module_path());

    std::string build;
    if (options.count("build")) {
        build = options["build"].as<std::string>();
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
