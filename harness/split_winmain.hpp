// Forced into the host builds that split command lines: the declaration
// that <boost/program_options/parsers.hpp> gives only on Windows.
#pragma once
#include <string>
#include <vector>

namespace boost::program_options {
std::vector<std::string> split_winmain(const std::string& input);
}
