#include "run.hpp"

#include "expected_output.hpp"
#include "fake_system.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace {

namespace fs = boost::filesystem;

const std::string x64r_game = demo_directory + "\\x64r\\quenby.exe";

struct run_case {
    const char* name;
    std::vector<std::string> options; // after element 0
    std::optional<fs::file_type> x64r_game_type;
    std::vector<std::string> probes;
    start_request expected;
    std::string output;
    launcher::machine_report machine = x64_windows;
};

const launcher::machine_report x86_windows{launcher::machine_type::i386, std::nullopt, std::nullopt,
                                           false};

// What Windows on ARM64 answers when GetMachineTypeAttributes and
// IsWow64GuestMachineSupported both have an answer.
launcher::machine_report arm64_windows(bool x64_user_mode, bool x64_guest)
{
    return {launcher::machine_type::arm64, x64_user_mode, x64_guest, true};
}

TEST(Run, StartsTheGameFromTheChosenBuildFolder)
{
    std::string const dir = demo_directory;
    // clang-format off
    const run_case cases[] = {
        {"x64r present", {}, fs::regular_file, {x64r_game},
         {dir + "\\x64r\\quenby.exe", "", dir + "\\x64r"}, ""},
        {"x64r absent", {}, {}, {x64r_game},
         {dir + "\\x86r\\quenby.exe", "", dir + "\\x86r"}, ""},
        {"a directory named quenby.exe", {}, fs::directory_file, {x64r_game},
         {dir + "\\x64r\\quenby.exe", "", dir + "\\x64r"}, ""},
        {"undetermined type (sharing violation)", {}, fs::type_unknown, {x64r_game},
         {dir + "\\x64r\\quenby.exe", "", dir + "\\x64r"}, ""},
        {"status error", {}, fs::status_error, {x64r_game},
         {dir + "\\x86r\\quenby.exe", "", dir + "\\x86r"}, ""},
        {"--build named: no probe", {"--build", "Release"}, fs::regular_file, {},
         {dir + "\\Release\\quenby.exe", "", dir + "\\Release"}, ""},
        {"--build ..", {"--build=../other"}, {}, {},
         {"C:\\Games\\other\\quenby.exe", "", "C:\\Games\\other"}, ""},
        {"--build with a forward slash", {"--build", "sub/dir"}, {}, {},
         {dir + "\\sub\\dir\\quenby.exe", "", dir + "\\sub\\dir"}, ""},
        {"--build with a trailing separator", {"--build", "x86r/"}, {}, {},
         {dir + "\\x86r\\quenby.exe", "", dir + "\\x86r"}, ""},
        {"application", {"--application", "../game.app.json"}, fs::regular_file, {x64r_game},
         {x64r_game, " --application \"../game.app.json\"", dir + "\\x64r"}, ""},
        {"application with a blank", {"--a", "my game.json", "--b", "x86r"}, {}, {},
         {dir + "\\x86r\\quenby.exe", " --application \"my game.json\"", dir + "\\x86r"}, ""},
        {"repeated --build keeps the first", {"--build", "x86r", "--build", "x64r"}, {}, {},
         {dir + "\\x86r\\quenby.exe", "", dir + "\\x86r"}, expected_message},
        {"malformed: defaults", {"--build", "x86r", "--application"}, fs::regular_file, {x64r_game},
         {x64r_game, "", dir + "\\x64r"}, expected_message},
        {"-h is no help", {"-h"}, {}, {x64r_game},
         {dir + "\\x86r\\quenby.exe", "", dir + "\\x86r"}, ""},
        {"x86 Windows: x86r without looking at x64r", {}, fs::regular_file, {},
         {dir + "\\x86r\\quenby.exe", "", dir + "\\x86r"}, "", x86_windows},
        {"Windows does not say: the probe decides", {}, fs::regular_file, {x64r_game},
         {x64r_game, "", dir + "\\x64r"}, "", {}},
        // Windows 11 on ARM64 runs x64 programs, but not as WOW64 guests:
        // IsWow64GuestMachineSupported(AMD64) says no there (as recorded in
        // github.com/ww898/win32-api-test). Where the answers differ, the
        // user-mode one decides, either way.
        {"ARM64: x64 runs, though not as a WOW64 guest", {}, fs::regular_file, {x64r_game},
         {x64r_game, "", dir + "\\x64r"}, "", arm64_windows(true, false)},
        {"ARM64: x64 switched off for user mode", {}, fs::regular_file, {},
         {dir + "\\x86r\\quenby.exe", "", dir + "\\x86r"}, "", arm64_windows(false, true)},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_system os;
        os.machine = c.machine;
        if (c.x64r_game_type)
            os.files[x64r_game] = *c.x64r_game_type;
        std::vector<std::string> arguments{"launcher.exe"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        std::ostringstream out;

        EXPECT_EQ(launcher::run(arguments, os.services(), out), 0);

        EXPECT_EQ(os.probes, c.probes);
        EXPECT_EQ(os.starts, std::vector<start_request>{c.expected});
        EXPECT_EQ(out.str(), c.output);
    }
}

TEST(Run, ReportsARefusedStartAndStillSucceeds)
{
    // A DOS device names no folder: the shell is not even asked.
    for (const char* build : {"nowhere", "NUL"}) {
        SCOPED_TRACE(build);
        fake_system os;
        os.shell_accepts = false;
        std::ostringstream out;
        EXPECT_EQ(launcher::run({"launcher.exe", "--build", build}, os.services(), out), 0);
        EXPECT_EQ(os.starts.size(), build == std::string("NUL") ? 0u : 1u);
        EXPECT_EQ(out.str(), "ERROR: Failed to start the game\n");
    }
}

TEST(Run, LetsSystemFailuresEscapeWithoutStarting)
{
    fake_system probe_fails;
    probe_fails.probe_error = boost::system::error_code(1921, boost::system::system_category());
    fake_system no_module;
    no_module.module_path_fails = true;

    for (fake_system* os : {&probe_fails, &no_module}) {
        std::ostringstream out;
        EXPECT_THROW(launcher::run({"launcher.exe"}, os->services(), out), std::exception);
        EXPECT_TRUE(os->starts.empty());
        EXPECT_EQ(out.str(), "");
    }
}

TEST(Run, AnswersHelpWithoutTouchingTheSystem)
{
    const std::vector<std::string> help_requests[] = {
        {"launcher.exe", "--help"},
        {"launcher.exe", "--help", "--build", "x86r", "--application", "a b"},
        {"launcher.exe", "stray", "--h", "-x"},
    };
    for (const auto& arguments : help_requests) {
        SCOPED_TRACE(arguments[1]);
        fake_system os;
        std::ostringstream out;
        EXPECT_EQ(launcher::run(arguments, os.services(), out), 0);
        EXPECT_EQ(out.str(), expected_help);
        EXPECT_EQ(os.module_path_queries, 0);
        EXPECT_TRUE(os.probes.empty());
        EXPECT_TRUE(os.starts.empty());
    }
}

} // namespace
