#include "entry/run.hpp"

#include "expected_help.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace {

TEST(Run, AnswersHelpWithTheHelpText)
{
    const std::vector<std::string> help_requests[] = {
        {"launcher.exe", "--help"},
        {"launcher.exe", "--help", "--build", "x86r", "--application", "a b"},
        {"launcher.exe", "stray", "--h", "-x"},
    };
    for (const auto& arguments : help_requests) {
        SCOPED_TRACE(arguments[1]);
        std::ostringstream out;
        EXPECT_EQ(launcher::run(arguments, out), 0);
        EXPECT_EQ(out.str(), expected_help);
    }
}

} // namespace
