#include "launch/parameters.hpp"

#include <gtest/gtest.h>

namespace {

// Hand-worked from the Windows rules; the Windows tests read them back with
// CommandLineToArgvW.
TEST(Parameters, QuotesOneArgument)
{
    const struct {
        const char* value;
        const char* quoted;
    } cases[] = {
        {"demo.app.json", R"("demo.app.json")"},
        {"../game.app.json", R"("../game.app.json")"},
        {"my game.json", R"("my game.json")"},
        {"", R"("")"},
        {R"(C:\apps\game.json)", R"("C:\apps\game.json")"},
        {R"(say "hi")", R"("say \"hi\"")"},
        {R"(a\"b)", R"("a\\\"b")"},
        {R"(dir\)", R"("dir\\")"},
        {R"(dir\\)", R"("dir\\\\")"},
        {R"(\\server\share)", R"("\\server\share")"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(launcher::quote_argument(c.value), c.quoted);
    }
}

} // namespace
