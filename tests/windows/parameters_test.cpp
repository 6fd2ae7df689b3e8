#include "launch/parameters.hpp"
#include "options/options.hpp"
#include "windows/wide.hpp"
#include "windows/windows_split.hpp"

#include <gtest/gtest.h>

#include <windows.h>

#include <sstream>

namespace {

TEST(Parameters, GameReadsBackExactlyTheApplicationName)
{
    const char* const names[] = {
        "demo.app.json",
        "../game.app.json",
        "my game.json",
        "",
        " leading and trailing ",
        "tab\there",
        "C:\\apps\\game.json",
        "say \"hi\"",
        "\"",
        "\"\"",
        "a\\\"b",
        "a\\\\\"b c",
        "dir\\",
        "dir\\\\",
        "\\\\server\\share\\",
        "--build x86r",
        "\xD0\x98\xD0\xB3\xD1\x80\xD0\xB0 \xF0\x9F\x8E\xAE",
    };
    auto const description = launcher::make_option_description();
    for (const char* name : names) {
        SCOPED_TRACE(name);
        std::ostringstream out;
        auto const options = launcher::parse_options({"launcher.exe", "--application", name},
                                                     description, out);

        std::wstring const parameters = launcher::windows::to_wide(
            launcher::game_parameters(options));
        auto const words = windows_words(L"quenby.exe" + parameters);

        EXPECT_EQ(words, (std::vector<std::wstring>{L"quenby.exe", L"--application",
                                                    launcher::windows::to_wide(name)}));
    }
}

} // namespace
