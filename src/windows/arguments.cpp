#include "windows/arguments.hpp"

#include "text/utf16.hpp"

#include <boost/program_options/parsers.hpp>

namespace launcher::windows {

std::vector<std::string> make_arguments(std::optional<std::string> program,
                                        std::u16string_view command_line)
{
    std::vector<std::string> arguments{program ? std::move(*program)
                                               : std::string(unknown_program)};
    // WTF-8, as paths travel: a word keeps every unit, an unpaired surrogate
    // too, so --build names the folder Windows reads (dropped, "a\xD800b"
    // named "ab", and "n\xD800ul" the device NUL) and the game gets
    // --application's units as given. The split is by blanks, tabs, quotes
    // and backslashes, which WTF-8 writes as UTF-8 does.
    for (std::string& word : boost::program_options::split_winmain(path_to_utf8(command_line)))
        arguments.push_back(std::move(word));
    return arguments;
}

} // namespace launcher::windows
