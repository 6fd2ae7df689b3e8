#pragma once

#include "launch/system.hpp"

#include <exception>
#include <ostream>
#include <string>
#include <vector>

namespace launcher {

// The launcher's whole job for one argument vector (element 0 names the
// program): options, then the game's location, then its start. Returns the
// exit code, 0 also when the shell refused to start the game; other failures
// leave as std::exception.
int run(const std::vector<std::string>& arguments, const system_services& system,
        std::ostream& out);

// The process's one exception boundary: `body` (the argument vector and the
// run) returns the exit code; a std::exception that leaves it ends in one
// line "Exception: " and its text, and -1. A template, not a std::function,
// so that nothing is allocated outside the boundary: an exhausted memory
// is reported like any other failure.
template <typename Body>
int within_boundary(std::ostream& out, Body&& body)
{
    try {
        return body();
    } catch (const std::exception& failure) {
        out << "Exception: " << failure.what() << std::endl;
        return -1;
    }
}

} // namespace launcher
