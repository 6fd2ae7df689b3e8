// Forced into the fuzz build's translation units: the declaration that
// <boost/program_options/parsers.hpp> gives only on Windows.
#pragma once
#include <string>
#include <vector>

namespace boost::program_options {
std::vector<std::string> split_winmain(const std::string& input);
}
