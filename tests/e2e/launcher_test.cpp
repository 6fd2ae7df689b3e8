#include "child_process.hpp"

#include "expected_help.hpp"

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

const std::string message =
    "Unknown program options found which are ignored. Type \"--help\" for valid program options.\n";

// A copy of the launcher in a folder of its own.
struct installation {
    explicit installation(const std::wstring& folder = L"Demo") : root(folder)
    {
        fs::copy_file(e2e::program_directory() / L"launcher.exe", launcher());
    }

    [[nodiscard]] fs::path launcher() const { return root.path() / L"launcher.exe"; }

    // Runs the launcher with exactly this text after its quoted path.
    [[nodiscard]] e2e::finished_process run(const std::wstring& options) const
    {
        return e2e::run_process(launcher(), L"\"" + launcher().wstring() + L"\"" + options);
    }

    e2e::temporary_directory root;
};

TEST(Launcher, PrintsHelpAndStartsNothing)
{
    const std::wstring command_lines[] = {
        L" --help",
        L"\t--h   ",
        L" --help --build x86r --application \"a b\"",
        L" \"--help\"",
        L" stray -h --help",
    };
    installation const demo;
    for (const auto& options : command_lines) {
        SCOPED_TRACE(fs::path(options).string());
        auto const result = demo.run(options);
        EXPECT_EQ(result.exit_code, 0u);
        EXPECT_EQ(result.output, expected_help);
    }
}

TEST(Launcher, NeverTakesOptionsFromItsOwnPath)
{
    installation const demo(L"Games --build Release");
    auto const result = demo.run(L" --build x86r --help");
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(result.output, expected_help);
}

} // namespace
