#include "run.hpp"

#include "launch/location.hpp"
#include "launch/parameters.hpp"
#include "options/options.hpp"

#include <boost/filesystem/path.hpp>
#include <boost/locale/utf8_codecvt.hpp>

#include <locale>
#include <ostream>

namespace launcher {
namespace {

// From here on every conversion between a path and a narrow string is UTF-8,
// whatever the system's narrow code page is: an error names its path that
// way. Boost.Locale's facet, not Boost.Filesystem's own UTF-8 one, which
// encodes each half of a surrogate pair on its own: a folder named with a
// character beyond the Basic Multilingual Plane would come out as six bytes
// of CESU-8.
void use_utf8_for_paths()
{
    std::locale const utf8(std::locale(), new boost::locale::utf8_codecvt<wchar_t>);
    boost::filesystem::path::imbue(utf8);
}

} // namespace

int run(const std::vector<std::string>& arguments, const system_services& system, std::ostream& out)
{
    use_utf8_for_paths();

    auto const description = make_option_description();
    auto const options = parse_options(arguments, description, out);

    if (options.count("help")) {
        // Written at once: a run that fails while laying it out prints none.
        out << help_text(description);
        return 0;
    }

    // Where no folder Windows can enter comes of the launcher's path and
    // --build, there is nothing to ask the shell for: a refused start all
    // the same.
    auto const game = locate_game(options, system);
    if (!game || !system.start(game->executable, game_parameters(options), game->working_directory))
        out << "ERROR: Failed to start the game" << std::endl;
    return 0;
}

} // namespace launcher
