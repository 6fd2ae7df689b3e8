#include "windows/windows_system.hpp"

#include "windows/machine.hpp"
#include "windows/module_file_name.hpp"
#include "windows/shell_start.hpp"
#include "windows/wide.hpp"

#include <boost/filesystem/operations.hpp>

namespace launcher::windows {

system_services windows_system()
{
    return {
        [] { return module_file_name(); },
        [](const std::string& path) { return boost::filesystem::status(path_to_wide(path)); },
        [] { return windows_machine(); },
        [](const std::string& file, const std::string& parameters, const std::string& directory) {
            return shell_start(file, parameters, directory, /* wait */ false);
        },
    };
}

} // namespace launcher::windows
