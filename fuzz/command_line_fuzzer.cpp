// Fuzzes the launcher's whole command-line path: UTF-16 input (as Windows
// hands it over, lone surrogates included) through the conversion to UTF-8,
// the split into words, the options stage and the game's parameter string.
//
// Beyond "no crash" it checks that nothing escapes the options stage, that
// the stage says at most its one message, that the game reads back exactly
// the application name, and that no input takes more than linear time.

#include "entry/arguments.hpp"
#include "launch/parameters.hpp"
#include "options/options.hpp"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::u16string line(size / 2, u'\0');
    for (std::size_t i = 0; i < line.size(); ++i)
        line[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);

    auto const started = std::chrono::steady_clock::now();

    auto const arguments = launcher::make_arguments("C:\\Games\\launcher.exe", line);
    if (arguments.empty() || arguments[0] != "C:\\Games\\launcher.exe")
        fail("element 0 is not the program");

    std::ostringstream out;
    boost::program_options::variables_map options;
    try {
        options = launcher::parse_options(arguments, description, out);
    } catch (...) {
        fail("an exception escaped the options stage");
    }
    if (!out.str().empty() && out.str() != message)
        fail("the options stage said something other than its message");

    std::string const parameters = launcher::game_parameters(options);
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

    // Generous enough for sanitizers and a busy machine; anything quadratic
    // at these lengths takes far longer.
    auto const elapsed = std::chrono::steady_clock::now() - started;
    if (elapsed > std::chrono::milliseconds(250) + std::chrono::microseconds(50) * size)
        fail("more than linear time");
    return 0;
}
