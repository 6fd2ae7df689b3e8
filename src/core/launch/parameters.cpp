#include "launch/parameters.hpp"

namespace launcher {

std::string quote_argument(std::string_view value)
{
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char const c : value) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"')
            quoted.append(2 * backslashes + 1, '\\');
        else
            quoted.append(backslashes, '\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(2 * backslashes, '\\');
    quoted += '"';
    return quoted;
}

std::string game_parameters(const boost::program_options::variables_map& options)
{
    if (!options.count("application"))
        return {};
    return " --application " + quote_argument(options["application"].as<std::string>());
}

} // namespace launcher
