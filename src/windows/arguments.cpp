#include "windows/arguments.hpp"

#include "core/text/utf16.hpp"

#include <boost/program_options/parsers.hpp>

namespace launcher {

std::vector<std::string> make_arguments(std::optional<std::string> program,
                                        std::u16string_view command_line)
{
    std::vector<std::string> arguments{program ? std::move(*program)
                                               : std::string(unknown_program)};
    for (std::string& word : boost::program_options::split_winmain(to_utf8(command_line)))
        arguments.push_back(std::move(word));
    return arguments;
}

} // namespace launcher
