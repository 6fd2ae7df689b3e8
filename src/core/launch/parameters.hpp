#pragma once

#include <boost/program_options/variables_map.hpp>

#include <string>
#include <string_view>

namespace launcher {

// One argument quoted so that the Windows rules for reading a command line
// (CommandLineToArgvW, the C runtime) give back exactly `value`: backslashes
// are doubled where they precede a double quote or the closing quote, and a
// double quote is escaped.
[[nodiscard]] std::string quote_argument(std::string_view value);

// The game's command-line parameters: empty, or ` --application "<name>"`.
[[nodiscard]] std::string game_parameters(const boost::program_options::variables_map& options);

} // namespace launcher
