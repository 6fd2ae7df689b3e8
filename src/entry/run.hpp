#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace launcher {

// The launcher's whole job for one argument vector (element 0 names the
// program). Returns the exit code; failures leave as std::exception.
int run(const std::vector<std::string>& arguments, std::ostream& out);

} // namespace launcher
