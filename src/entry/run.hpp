#pragma once

#include "launch/system.hpp"

#include <iosfwd>
#include <string>
#include <vector>

namespace launcher {

// The launcher's whole job for one argument vector (element 0 names the
// program): options, then the game's location, then its start. Returns the
// exit code, 0 also when the shell refused to start the game; other failures
// leave as std::exception.
int run(const std::vector<std::string>& arguments, const system_services& system,
        std::ostream& out);

} // namespace launcher
