#pragma once

#include <boost/filesystem/file_status.hpp>
#include <boost/filesystem/path.hpp>

#include <functional>
#include <string>

namespace launcher {

// What the launcher asks of the operating system. The real services live in
// src/platform; tests hand in fakes that record requests and script failures.
struct system_services {
    // The launcher's own executable as UTF-16. Throws when it cannot be read.
    std::function<std::u16string()> module_path;

    // What is at a path, as boost::filesystem::status (the throwing form) tells.
    std::function<boost::filesystem::file_status(const boost::filesystem::path&)> status;

    // Asks the shell to start `file` with `parameters` in `directory` (all
    // UTF-8) and does not wait. True when the shell accepted.
    std::function<bool(const std::string& file, const std::string& parameters,
                       const std::string& directory)>
        start;
};

} // namespace launcher
