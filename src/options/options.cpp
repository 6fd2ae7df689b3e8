#include "options/options.hpp"

#include <boost/program_options/parsers.hpp>

#include <exception>
#include <ostream>

namespace po = boost::program_options;

namespace launcher {

po::options_description make_option_description()
{
    po::options_description description("Allowed options");
    description.add_options()
        ("help", "Produce help message")
        ("application", po::value<std::string>(),
         "CAMP reflection ASCII class name of the application to run (e.g. \"../game.app.json\")")
        ("build", po::value<std::string>(), "Build directory name to run quenby.exe in");
    return description;
}

po::variables_map parse_options(const std::vector<std::string>& arguments,
                                const po::options_description& description,
                                std::ostream& out)
{
    po::variables_map values;
    // The parser reads element 0 unconditionally: an empty vector must not reach it.
    if (!arguments.empty()) {
        std::vector<const char*> words;
        words.reserve(arguments.size());
        for (const std::string& argument : arguments)
            words.push_back(argument.c_str());
        try {
            // store() records option by option, so a repeated option keeps
            // everything recorded before its second occurrence.
            po::store(po::command_line_parser(static_cast<int>(words.size()), words.data())
                          .options(description)
                          .allow_unregistered()
                          .run(),
                      values);
        } catch (const std::exception&) {
            out << "Unknown program options found which are ignored. "
                   "Type \"--help\" for valid program options.\n";
        }
    }
    po::notify(values);
    return values;
}

} // namespace launcher
