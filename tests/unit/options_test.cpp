#include "options/options.hpp"

#include "expected_output.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>

namespace {

struct parse_case {
    std::vector<std::string> arguments; // element 0 included
    bool help;
    std::optional<std::string> application;
    std::optional<std::string> build;
    bool reported;
};

std::optional<std::string> string_value(const boost::program_options::variables_map& values,
                                        const char* name)
{
    if (!values.count(name))
        return std::nullopt;
    return values[name].as<std::string>();
}

TEST(Options, ToleratesAnyCommandLine)
{
    const std::string self = "C:\\Games\\launcher.exe";
    // clang-format off
    const parse_case cases[] = {
        {{}, false, {}, {}, false},
        {{self}, false, {}, {}, false},
        {{"--help"}, false, {}, {}, false},  // element 0 is never an option
        {{self, "--help"}, true, {}, {}, false},
        {{self, "--help", "--build", "x86r"}, true, {}, "x86r", false},
        {{self, "--h"}, true, {}, {}, false},
        {{self, "-h"}, false, {}, {}, false},
        {{self, "--HELP"}, false, {}, {}, false},
        {{self, "--build=x86r"}, false, {}, "x86r", false},
        {{self, "--build", "x86r"}, false, {}, "x86r", false},
        {{self, "--b", "x86r"}, false, {}, "x86r", false},
        {{self, "--application", "my game.json"}, false, "my game.json", {}, false},
        {{self, "--application", "--build", "x86r"}, false, "--build", {}, false},
        {{self, "--foo", "bar", "--application", "demo.json"}, false, "demo.json", {}, false},
        {{self, "--fullscreen", "--foo=bar", "stray"}, false, {}, {}, false},
        {{self, "--build", ""}, false, {}, "", false},
        // Parse failures: nothing is kept.
        {{self, "--build", "x86r", "--application"}, false, {}, {}, true},
        {{self, "--help=1"}, false, {}, {}, true},
        {{self, "--build="}, false, {}, {}, true},
        {{self, "--foo=", "--build", "x86r"}, false, {}, {}, true},
        // Store failures: what came before the repeated option is kept.
        {{self, "--build", "x86r", "--build", "x64r"}, false, {}, "x86r", true},
        {{self, "--application", "a", "--build", "x", "--build", "y", "--help"}, false, "a", "x", true},
        {{self, "--build", "x", "--b", "y", "--application", "a"}, false, {}, "x", true},
        {{self, "--help", "--help"}, true, {}, {}, true},
        // Words read together: never parsed apart.
        {{self, "--", "--build", "x86r", "--foo="}, false, {}, {}, false},
        {{self, "--build", "--", "--application", "a"}, false, "a", "--", false},
        {{self, "--application", "--application", "--build", "x"}, false, "--application", "x", false},
        {{self, "--build", "--foo="}, false, {}, {}, true},
        {{self, "--=x", "--build", "y"}, false, {}, "y", false},
    };
    // clang-format on
    auto const description = launcher::make_option_description();
    // In pieces as long as a command line allows, and cut wherever the
    // parser may be given the words apart.
    for (std::size_t const least_piece : {std::size_t{64}, std::size_t{1}})
        for (const auto& c : cases) {
            std::string line = "piece " + std::to_string(least_piece) + ": ";
            for (const auto& argument : c.arguments)
                line += "[" + argument + "] ";
            SCOPED_TRACE(line);
            std::ostringstream out;

            auto const values = launcher::parse_options(c.arguments, description, out, least_piece);

            EXPECT_EQ(values.count("help") != 0, c.help);
            EXPECT_EQ(string_value(values, "application"), c.application);
            EXPECT_EQ(string_value(values, "build"), c.build);
            EXPECT_EQ(out.str(), c.reported ? expected_message : "");
        }
}

TEST(Options, HelpTextListsTheThreeOptions)
{
    EXPECT_EQ(launcher::help_text(launcher::make_option_description()), expected_help);
}

} // namespace
