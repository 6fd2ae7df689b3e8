#pragma once

#include "launch/location.hpp"
#include "launch/system.hpp"

#include <boost/filesystem/exception.hpp>
#include <boost/system/error_code.hpp>

#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

// A launcher installed in the demo folder.
inline const std::u16string demo_module = u"C:\\Games\\Demo\\launcher.exe";
inline const std::string demo_directory = "C:\\Games\\Demo";

// What an x64 Windows 10 or later answers a 32-bit program.
inline const launcher::machine_report x64_windows{launcher::machine_type::amd64, std::nullopt,
                                                  std::nullopt, true};

struct start_request {
    std::string file, parameters, directory;
    bool operator==(const start_request& other) const
    {
        return std::tie(file, parameters, directory) ==
               std::tie(other.file, other.parameters, other.directory);
    }
};

// Records what the launcher asks for and answers from a script.
struct fake_system {
    std::u16string module_path = demo_module;
    bool module_path_fails = false;
    std::map<std::string, boost::filesystem::file_type> files; // by UTF-8 path, as probed
    std::optional<boost::system::error_code> probe_error;
    launcher::machine_report machine = x64_windows;
    bool shell_accepts = true;

    int module_path_queries = 0;
    std::vector<std::string> probes;
    std::vector<start_request> starts;

    launcher::system_services services()
    {
        return {
            [this] {
                ++module_path_queries;
                if (module_path_fails)
                    throw std::runtime_error("no module path");
                return module_path;
            },
            [this](const std::string& path) {
                probes.push_back(path);
                if (probe_error)
                    throw boost::filesystem::filesystem_error("boost::filesystem::status", path,
                                                              *probe_error);
                auto const found = files.find(path);
                return boost::filesystem::file_status(
                    found == files.end() ? boost::filesystem::file_not_found : found->second);
            },
            [this]() noexcept { return machine; },
            [this](const std::string& file, const std::string& parameters,
                   const std::string& directory) {
                starts.push_back({file, parameters, directory});
                return shell_accepts;
            },
        };
    }
};
