#include "entry/run.hpp"

#include "launch/location.hpp"
#include "launch/parameters.hpp"
#include "options/options.hpp"

#include <boost/filesystem/path.hpp>
#include <boost/filesystem/detail/utf8_codecvt_facet.hpp>

#include <locale>
#include <ostream>

namespace launcher {
namespace {

// From here on every conversion between a path and a narrow string is UTF-8,
// whatever the system's narrow code page is. (The launcher's own paths do
// not rely on it: this facet converts each UTF-16 unit on its own.)
void use_utf8_for_paths()
{
    std::locale const utf8(std::locale(), new boost::filesystem::detail::utf8_codecvt_facet);
    boost::filesystem::path::imbue(utf8);
}

} // namespace

int run(const std::vector<std::string>& arguments, const system_services& system,
        std::ostream& out)
{
    use_utf8_for_paths();

    auto const description = make_option_description();
    auto const options = parse_options(arguments, description, out);

    if (options.count("help")) {
        out << description << "\n";
        return 0;
    }

    // A --build naming a DOS device leaves nothing to ask the shell for: a
    // refused start all the same.
    auto const game = locate_game(options, system);
    if (!game || !system.start(game->executable, game_parameters(options), game->working_directory))
        out << "ERROR: Failed to start the game" << std::endl;
    return 0;
}

} // namespace launcher
