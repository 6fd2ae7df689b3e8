// Fuzzes the launcher's whole command-line path: UTF-16 input (as Windows
// hands it over, lone surrogates included) through the conversion to UTF-8,
// the split into words, the options stage and the game's parameter string.
//
// Beyond "no crash" it checks that nothing escapes the options stage, that
// the stage says at most its one message, that the game reads back exactly
// the application name, and that no input takes more than linear time. And
// it checks the options stage against the way it used to work, one parse of
// all the words by Boost: the piecewise parse must read every command line
// the same, option for option, and record and report the same. The same
// input taken as a path must keep every unit.

#include "entry/arguments.hpp"
#include "launch/parameters.hpp"
#include "options/options.hpp"
#include "platform/utf16.hpp"

#include <boost/program_options/parsers.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace po = boost::program_options;

const std::string message =
    "Unknown program options found which are ignored. Type \"--help\" for valid program options.\n";

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

// Reads one argument from the start of `text` by the Windows rules
// (CommandLineToArgvW, the C runtime): 2n backslashes and a quote give n
// backslashes and toggle quoting, 2n+1 give n backslashes and a literal
// quote, other backslashes are literal, and a blank or tab outside quotes
// ends the argument. Sets `rest` to what follows the argument.
std::string read_argument(const std::string& text, std::string& rest)
{
    std::string value;
    bool quoted = false;
    std::size_t i = 0;
    while (i < text.size()) {
        char const c = text[i];
        if (c == '\\') {
            std::size_t run = 0;
            while (i + run < text.size() && text[i + run] == '\\')
                ++run;
            if (i + run < text.size() && text[i + run] == '"') {
                value.append(run / 2, '\\');
                if (run % 2) {
                    value += '"';
                    i += run + 1;
                } else {
                    i += run;  // the quote is read next, as a delimiter
                }
            } else {
                value.append(run, '\\');
                i += run;
            }
        } else if (c == '"') {
            quoted = !quoted;
            ++i;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            break;
        } else {
            value += c;
            ++i;
        }
    }
    rest = text.substr(i);
    return value;
}

const auto description = launcher::make_option_description();
const std::string program = "C:\\Games\\launcher.exe";

// The processor time this thread has used: the work it did, whatever else
// the machine runs. The wall clock also counts the time others' programs
// took the core, and a busy machine made a 7 ms input look like 100 ms.
std::chrono::nanoseconds thread_time()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// What the options stage leaves: each recorded option with its value ("" for
// the switch), and whether the message was printed.
struct outcome {
    std::map<std::string, std::string> recorded;
    bool reported = false;

    bool operator==(const outcome& other) const
    {
        return recorded == other.recorded && reported == other.reported;
    }
};

outcome outcome_of(const po::variables_map& values, bool reported)
{
    outcome result{{}, reported};
    for (const auto& [name, value] : values)
        result.recorded[name] = value.value().type() == typeid(std::string) ? value.as<std::string>() : "";
    return result;
}

template <typename Parse>
std::optional<po::parsed_options> parsed_or_nothing(const Parse& parse)
{
    try {
        return parse();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// The options stage as it was: all words to one run of Boost's parser (here
// `whole`, nothing when it threw), then stored.
outcome stage_in_one_parse(const std::optional<po::parsed_options>& whole)
{
    po::variables_map values;
    bool reported = !whole;
    if (whole) {
        try {
            po::store(*whole, values);
        } catch (const std::exception&) {
            reported = true;
        }
    }
    return outcome_of(values, reported);
}

bool same_reading(const std::optional<po::parsed_options>& a,
                  const std::optional<po::parsed_options>& b)
{
    if (!a || !b)
        return !a && !b;
    if (a->options.size() != b->options.size() || a->description != b->description ||
        a->m_options_prefix != b->m_options_prefix)
        return false;
    for (std::size_t i = 0; i < a->options.size(); ++i) {
        const po::option& x = a->options[i];
        const po::option& y = b->options[i];
        if (x.string_key != y.string_key || x.position_key != y.position_key ||
            x.value != y.value || x.original_tokens != y.original_tokens ||
            x.unregistered != y.unregistered || x.case_insensitive != y.case_insensitive)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::u16string line(size / 2, u'\0');
    for (std::size_t i = 0; i < line.size(); ++i)
        line[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);

    // What the launcher does with the line: the timed part.
    std::vector<std::string> arguments;
    std::ostringstream out;
    po::variables_map options;
    std::string parameters;
    auto const stage = [&] {
        auto const started = thread_time();
        arguments = launcher::make_arguments(program, line);
        out.str("");
        try {
            options = launcher::parse_options(arguments, description, out);
        } catch (...) {
            fail("an exception escaped the options stage");
        }
        parameters = launcher::game_parameters(options);
        return std::chrono::nanoseconds(thread_time() - started);
    };
    auto elapsed = stage();

    if (arguments.empty() || arguments[0] != program)
        fail("element 0 is not the program");
    if (!out.str().empty() && out.str() != message)
        fail("the options stage said something other than its message");

    if (options.count("application")) {
        std::string const prefix = " --application ";
        if (parameters.compare(0, prefix.size(), prefix) != 0)
            fail("the parameter string does not start with --application");
        std::string rest;
        std::string const value = read_argument(parameters.substr(prefix.size()), rest);
        if (value != options["application"].as<std::string>() || !rest.empty())
            fail("the game would read back another application name");
    } else if (!parameters.empty()) {
        fail("parameters without an application");
    }

    // The longest command line (65534 bytes) took at most 46 ms of
    // processor time with sanitizers, whatever its shape (one-letter words
    // the slowest, see LLVMFuzzerInitialize), and 718 ms while the parser was
    // given all words at once. The bound, 184 ms there, leaves about four
    // times room either way: for a slower processor, and for a quadratic
    // parse to show from some 21 kB up.
    // The thread is still charged now and then for work that is not the
    // stages' (the sanitizer's allocator recycling its quarantine, pages
    // reclaimed from a busy machine): a 94-byte input that takes 0.5 ms once
    // took over 20 ms. So a run over the bound is timed twice more and the
    // quickest counts; a quadratic parse is over it every time.
    auto const bound = std::chrono::milliseconds(20) + std::chrono::nanoseconds(2500) * size;
    for (int again = 0; again < 2 && elapsed > bound; ++again)
        elapsed = std::min(elapsed, stage());
    if (elapsed > bound)
        fail("more than linear time");

    // The same units as a path: all kept, and valid UTF-16 written as the
    // conversion for words writes it.
    std::string const path = launcher::path_to_utf8(line);
    if (launcher::path_to_utf16(path) != line)
        fail("a path lost a UTF-16 unit");
    if (launcher::to_utf16(launcher::to_utf8(line)) == line && path != launcher::to_utf8(line))
        fail("a valid path written otherwise than a word");

    // The oracle, outside the timed part: it is quadratic.
    std::vector<const char*> words;
    for (const std::string& argument : arguments)
        words.push_back(argument.c_str());
    auto const whole = parsed_or_nothing([&] {
        return launcher::parse_words(static_cast<int>(words.size()), words.data(), description);
    });
    if (!(outcome_of(options, !out.str().empty()) == stage_in_one_parse(whole)))
        fail("the options stage records or reports otherwise than one parse");
    // In the launcher's pieces, and cut wherever the rules allow, so that
    // every cut is put to the test.
    for (std::size_t const least_piece : {64, 1}) {
        auto const pieces = parsed_or_nothing(
            [&] { return launcher::parse_in_pieces(arguments, description, least_piece); });
        if (!same_reading(whole, pieces))
            fail("the parse in pieces reads the words otherwise than one parse");
    }
    return 0;
}

// Before any fuzzing, the longest line of one-letter words, the slowest
// shape for the stage: the fuzzer itself reaches such lengths only after
// many minutes, and as a seed it would make every input long, with the
// quadratic oracle run for each.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::vector<std::uint8_t> longest;  // "a a a ... a" in UTF-16LE, 32767 units
    for (std::size_t unit = 0; unit < 32767; ++unit)
        longest.insert(longest.end(), {static_cast<std::uint8_t>(unit % 2 ? ' ' : 'a'), 0});
    return LLVMFuzzerTestOneInput(longest.data(), longest.size());
}
