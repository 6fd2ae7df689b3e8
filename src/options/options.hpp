#pragma once

#include <boost/program_options/options_description.hpp>
#include <boost/program_options/variables_map.hpp>

#include <iosfwd>
#include <string>
#include <vector>

namespace launcher {

// The launcher's three options: "help", "application" and "build".
[[nodiscard]] boost::program_options::options_description make_option_description();

// Parses the argument vector, element 0 excluded, under a tolerant policy:
// undeclared options and stray words are ignored; a malformed command line
// writes one message to `out` and leaves whatever was recorded before the
// fault. Never throws on account of the command line.
[[nodiscard]] boost::program_options::variables_map parse_options(
    const std::vector<std::string>& arguments,
    const boost::program_options::options_description& description,
    std::ostream& out);

} // namespace launcher
