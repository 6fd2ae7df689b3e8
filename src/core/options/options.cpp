#include "options/options.hpp"

#include <algorithm>
#include <exception>
#include <limits>
#include <new>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string_view>

namespace po = boost::program_options;

namespace launcher {
namespace {

constexpr std::size_t rest_of_line = std::numeric_limits<std::size_t>::max();

// How many of the words after it Boost's parser may read together with a
// word that it reads as an option (not as the value of one before it):
// `certain` it takes as values whatever they look like, up to `possible` in
// all. These are the only ways a word reaches past itself in
// detail::cmdline::run: finish_option gives an option its least number of
// values from the next words, the pass after it lets an option that takes
// more values gather the plain words that follow, and "--" turns every word
// after it into a plain word.
struct reach {
    std::size_t certain = 0;
    std::size_t possible = 0;
};

reach words_taken(std::string_view word, const po::options_description& description)
{
    if (word == "--")
        return {0, rest_of_line};
    try {
        // Looked up as finish_option looks it up: guessing on, case-sensitive.
        if (word.size() >= 3 && word[0] == '-' && word[1] == '-') {
            auto const equals = word.find('=');
            std::string const name(
                word.substr(2, equals == std::string_view::npos ? equals : equals - 2));
            // "--=x" gets no name and is read as a plain word.
            auto const* option = name.empty() ? nullptr
                                              : description.find_nothrow(name, true, false, false);
            if (!option)
                return {};
            // A value after "=" counts as one already given; an empty one
            // fails the parse right at this word.
            unsigned const given = equals == std::string_view::npos ? 0 : 1;
            auto const beyond = [given](unsigned tokens) -> std::size_t {
                return tokens > given ? tokens - given : 0;
            };
            return {beyond(option->semantic()->min_tokens()),
                    beyond(option->semantic()->max_tokens())};
        }
        if (word.size() >= 2 && word[0] == '-') {
            // A short option, or a group of them: looked up without and with
            // guessing, as parse_short_option and finish_option do. Only one
            // that names nothing is followed here.
            std::string const name(word.substr(0, 2));
            if (!description.find_nothrow(name, false, false, false) &&
                !description.find_nothrow(name, true, false, false))
                return {};
            return {0, rest_of_line};
        }
        return {};
    } catch (const std::exception&) {
        // An ambiguous name: the parse fails here, and one parse of the rest
        // fails the same way.
        return {0, rest_of_line};
    }
}

// Set by the new-handler below while the help text is rendered.
bool allocation_failed = false;

[[noreturn]] void note_failed_allocation()
{
    allocation_failed = true;
    throw std::bad_alloc();
}

// Installs note_failed_allocation for as long as it lives.
class allocation_watch {
public:
    allocation_watch() : previous_(std::set_new_handler(note_failed_allocation))
    {
        allocation_failed = false;
    }
    ~allocation_watch() { std::set_new_handler(previous_); }
    allocation_watch(const allocation_watch&) = delete;
    allocation_watch& operator=(const allocation_watch&) = delete;

private:
    std::new_handler previous_;
};

void append(po::parsed_options& joined, po::parsed_options&& piece)
{
    joined.options.insert(joined.options.end(), std::make_move_iterator(piece.options.begin()),
                          std::make_move_iterator(piece.options.end()));
}

} // namespace

po::options_description make_option_description()
{
    po::options_description description("Allowed options");
    // clang-format off
    description.add_options()
        ("help", "Produce help message")
        ("application", po::value<std::string>(),
         "CAMP reflection ASCII class name of the application to run (e.g. \"../game.app.json\")")
        ("build", po::value<std::string>(), "Build directory name to run quenby.exe in");
    // clang-format on
    return description;
}

std::string help_text(const po::options_description& description)
{
    std::ostringstream text;
    {
        // Boost lays out each option's first column in a string stream of
        // its own, and a stream (this one too) takes a failed allocation for
        // a failed write: the help would lose an "arg" or its column width,
        // and nobody would know. operator new calls the new-handler before
        // it gives up, so a handler that takes note brings that to light.
        allocation_watch const watch;
        text << description << "\n";
        if (allocation_failed)
            throw std::bad_alloc();
    }
    return text.str();
}

po::parsed_options parse_words(int argc, const char* const* argv,
                               const po::options_description& description)
{
    return po::command_line_parser(argc, argv).options(description).allow_unregistered().run();
}

po::parsed_options parse_in_pieces(const std::vector<std::string>& arguments,
                                   const po::options_description& description,
                                   std::size_t least_piece)
{
    // The parser reads the words as C strings, each up to its first NUL.
    // Element 0 is the program and never an option; each piece is handed
    // over with the word before it in that place.
    std::vector<const char*> words;
    words.reserve(arguments.size() + 1);
    if (arguments.empty())
        words.push_back(""); // no program either
    for (const std::string& argument : arguments)
        words.push_back(argument.c_str());

    std::optional<po::parsed_options> joined;
    std::size_t piece_begin = 1;
    auto const parse_piece = [&](std::size_t piece_end) {
        po::parsed_options piece = parse_words(static_cast<int>(piece_end - piece_begin + 1),
                                               words.data() + piece_begin - 1, description);
        if (joined)
            append(*joined, std::move(piece));
        else
            joined.emplace(std::move(piece));
        piece_begin = piece_end;
    };

    // Words still to come that an earlier word takes as values for certain,
    // and that it may be read together with.
    std::size_t certain = 0;
    std::size_t possible = 0;
    for (std::size_t word = 1; word < words.size(); ++word) {
        if (certain > 0) {
            --certain;
            --possible;
        } else {
            reach const taken = words_taken(words[word], description);
            certain = taken.certain;
            possible = std::max(possible > 0 ? possible - 1 : 0, taken.possible);
        }
        std::size_t const next = word + 1;
        if (certain == 0 && possible == 0 && next - piece_begin >= least_piece)
            parse_piece(next);
    }
    if (piece_begin < words.size() || !joined)
        parse_piece(words.size());
    // NOLINTNEXTLINE(bugprone-unchecked-optional-access): the line above parses a piece if none was
    po::parsed_options& whole = *joined;

    // Plain words are numbered across the whole command line, as one parse
    // numbers them.
    int position = 0;
    for (po::option& option : whole.options)
        if (option.string_key.empty())
            option.position_key = position++;
    return std::move(whole);
}

po::variables_map parse_options(const std::vector<std::string>& arguments,
                                const po::options_description& description, std::ostream& out,
                                std::size_t least_piece)
{
    po::variables_map values;
    try {
        // store() records option by option, so a repeated option keeps
        // everything recorded before its second occurrence.
        po::store(parse_in_pieces(arguments, description, least_piece), values);
    } catch (const std::bad_alloc&) {
        // The memory ran out, which is no fault of the command line: the
        // run ends as for any other failure, rather than going on with
        // whatever options were recorded before it.
        throw;
    } catch (const std::length_error&) {
        throw; // a string or vector that could not grow: the same
    } catch (const std::exception&) {
        out << "Unknown program options found which are ignored. "
               "Type \"--help\" for valid program options.\n";
    }
    po::notify(values);
    return values;
}

} // namespace launcher
