#include "child_process.hpp"

#include "expected_output.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string utf8(const fs::path& path)
{
    auto const text = path.u8string();
    return {text.begin(), text.end()};
}

// What the stand-in game wrote about its start.
struct received {
    std::vector<std::string> words;
    std::string directory;
    std::string machine; // what the game was built for: "x64" or "x86"
};

// A copy of the launcher in a folder of its own, or at the root of a drive
// for a folder named like "X:" (the test run maps X: to an empty folder),
// with stand-in games in whichever build folders a test asks for.
struct installation {
    explicit installation(const std::wstring& folder = L"Demo")
    {
        if (folder.size() == 2 && folder[1] == L':') {
            root_ = folder + L"\\";
        } else {
            temporary_.emplace(folder);
            root_ = temporary_->path();
        }
        fs::copy_file(e2e::program_directory() / L"launcher.exe", launcher());
    }
    ~installation()
    {
        if (temporary_)
            return;
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(root_, ignored))
            fs::remove_all(entry.path(), ignored);
    }
    installation(const installation&) = delete;
    installation& operator=(const installation&) = delete;

    [[nodiscard]] const fs::path& root() const { return root_; }
    [[nodiscard]] fs::path launcher() const { return root_ / L"launcher.exe"; }

    // x64r gets the 64-bit game, any other folder the 32-bit one.
    void add_game(const std::wstring& build) const
    {
        fs::create_directories(root() / build);
        fs::copy_file(e2e::program_directory() /
                          (build == L"x64r" ? L"stand_in_game_x64.exe" : L"stand_in_game.exe"),
                      root() / build / L"quenby.exe");
    }

    // Runs the launcher with exactly this text after its quoted path.
    [[nodiscard]] e2e::finished_process run(
        const std::wstring& options,
        e2e::standard_handles handles = e2e::standard_handles::captured) const
    {
        return e2e::run_process(launcher(), L"\"" + launcher().wstring() + L"\"" + options, {},
                                handles, &started_);
    }

    // What the game in `build` reported, once every process the launcher
    // started has ended: a game that starts slowly has then reported too,
    // so no report means that none started.
    [[nodiscard]] std::optional<received> game_report(const std::wstring& build) const
    {
        started_.wait_until_all_ended();
        fs::path const record = root() / build / L"received.txt";
        if (!fs::exists(record))
            return std::nullopt;
        received report;
        std::ifstream in(record, std::ios::binary);
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("word: ", 0) == 0)
                report.words.push_back(line.substr(6));
            else if (line.rfind("directory: ", 0) == 0)
                report.directory = line.substr(11);
            else if (line.rfind("machine: ", 0) == 0)
                report.machine = line.substr(9);
        }
        return report;
    }

private:
    std::optional<e2e::temporary_directory> temporary_;
    fs::path root_;
    e2e::process_group started_; // the launchers run here, and what they start
};

TEST(Launcher, PrintsHelpAndStartsNothing)
{
    const std::wstring command_lines[] = {
        L" --help",     L"\t--h   ",         L" --help --build x86r --application \"a b\"",
        L" \"--help\"", L" stray -h --help",
    };
    installation const demo;
    demo.add_game(L"x64r");
    for (const auto& options : command_lines) {
        SCOPED_TRACE(fs::path(options).string());
        auto const result = demo.run(options);
        EXPECT_EQ(result.exit_code, 0u);
        EXPECT_EQ(result.output, expected_help);
    }
    // Started as Explorer starts it, the help has nowhere to go.
    EXPECT_EQ(demo.run(L" --help", e2e::standard_handles::none).exit_code, 0u);
    EXPECT_FALSE(demo.game_report(L"x64r"));
}

TEST(Launcher, NeverTakesOptionsFromItsOwnPath)
{
    installation const demo(L"Games --build Release");
    auto const result = demo.run(L" --build x86r --help");
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(result.output, expected_help);
}

struct start_case {
    const char* name;
    std::wstring folder;
    std::vector<std::wstring> games;
    std::wstring options;
    std::wstring started;           // build folder expected to start; none: no game starts
    std::vector<std::string> words; // after the game's own path
    std::string output;
    e2e::standard_handles handles = e2e::standard_handles::captured;
    std::wstring planted{}; // a program beside the launcher that must not start
};

void check_start(const start_case& c)
{
    SCOPED_TRACE(c.name);
    installation const demo(c.folder);
    for (const auto& game : c.games)
        demo.add_game(game);
    if (!c.planted.empty())
        fs::copy_file(e2e::program_directory() / L"stand_in_game.exe", demo.root() / c.planted);

    auto const result = demo.run(c.options, c.handles);

    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(result.output, c.output);
    if (!c.planted.empty()) {
        EXPECT_FALSE(demo.game_report(L"")) << "the program beside the launcher started";
    }
    if (c.started.empty()) {
        for (const auto& game : c.games)
            EXPECT_FALSE(demo.game_report(game)) << "the game in a build folder started";
        return;
    }
    auto const report = demo.game_report(c.started);
    ASSERT_TRUE(report) << "the game in the expected folder did not start";
    EXPECT_EQ(report->machine, c.started == L"x64r" ? "x64" : "x86");
    ASSERT_FALSE(report->words.empty());
    // The program name is what the shell was given, as Windows' own starts
    // write it: Wine would start the game from a form Windows cannot parse.
    EXPECT_EQ(report->words[0], utf8(demo.launcher().parent_path() / c.started / L"quenby.exe"));
    EXPECT_EQ(report->words[0].find('/'), std::string::npos) << report->words[0];
    EXPECT_EQ(std::vector<std::string>(report->words.begin() + 1, report->words.end()), c.words);
    EXPECT_TRUE(fs::equivalent(fs::u8path(report->directory), demo.root() / c.started))
        << report->directory;
}

TEST(Launcher, StartsTheGameWithItsApplication)
{
    // clang-format off
    const start_case cases[] = {
        {"both builds: x64r", L"Demo", {L"x64r", L"x86r"}, L"", L"x64r", {}, ""},
        {"only x86r", L"Demo", {L"x86r"}, L" --application demo.app.json", L"x86r",
         {"--application", "demo.app.json"}, ""},
        {"--build", L"Demo", {L"x64r", L"Release"}, L" --build Release", L"Release", {}, ""},
        {"--build=x86r over x64r", L"Demo", {L"x64r", L"x86r"}, L" --b=x86r", L"x86r", {}, ""},
        {"awkward application name", L"Demo", {L"x64r"},
         LR"( --application "my \"best\" game\\")", L"x64r",
         {"--application", R"(my "best" game\)"}, ""},
        {"malformed options: defaults", L"Demo", {L"x64r"}, L" --build=", L"x64r", {}, expected_message},
        {"launcher at a drive root", L"X:", {L"x64r"}, L" --application a.json", L"x64r",
         {"--application", "a.json"}, ""},
        {"folder with blanks", L"My Games", {L"x64r"}, L" --application \"a b\"", L"x64r",
         {"--application", "a b"}, ""},
        {"no standard handles, as Explorer starts it", L"My Games", {L"x64r"},
         L" --application \"a b\"", L"x64r", {"--application", "a b"}, "",
         e2e::standard_handles::none},
        {"cyrillic folder", L"\u0418\u0433\u0440\u044B", {L"x64r"}, L"", L"x64r", {}, ""},
        {"folder beyond the BMP", L"Spiele \xD83C\xDFAE", {L"x64r"},
         L" --application \xD83C\xDFAE.json", L"x64r", {"--application", "\xF0\x9F\x8E\xAE.json"}, ""},
        // Dropped, the unpaired surrogate made this "ab", the decoy beside it.
        {"an unpaired surrogate in --build", L"Demo", {L"x64r", L"ab"}, L" --build a\xD800" L"b",
         L"", {}, "ERROR: Failed to start the game\n"},
        // Given Demo\a" b\quenby.exe, Wine's shell started Demo\a.exe with the
        // argument b\quenby.exe; Windows' finds no such file (shlexec.c).
        {"a quote in --build", L"Demo", {L"x64r"}, L" --build \"a\\\" b\"", L"", {},
         "ERROR: Failed to start the game\n", e2e::standard_handles::captured, L"a.exe"},
    };
    // clang-format on
    for (const auto& c : cases)
        check_start(c);
}

// Run in a 32-bit Windows only, which cannot run the 64-bit game in x64r.
TEST(LauncherOn32BitWindows, StartsTheBuildThatCanRun)
{
    SYSTEM_INFO native{};
    GetNativeSystemInfo(&native);
    ASSERT_EQ(native.wProcessorArchitecture, PROCESSOR_ARCHITECTURE_INTEL)
        << "these cases need a 32-bit Windows (WINEARCH=win32)";

    // clang-format off
    const start_case cases[] = {
        {"both builds: x86r", L"Demo", {L"x64r", L"x86r"}, L"", L"x86r", {}, ""},
        {"a 64-bit build only", L"Demo", {L"x64r"}, L"", L"", {}, "ERROR: Failed to start the game\n"},
        {"--build x64r as written", L"Demo", {L"x64r", L"x86r"}, L" --build x64r", L"", {},
         "ERROR: Failed to start the game\n"},
    };
    // clang-format on
    for (const auto& c : cases)
        check_start(c);
}

TEST(Launcher, ReportsAGameThatCannotStart)
{
    installation const empty;
    auto const result = empty.run(L"");
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(result.output, "ERROR: Failed to start the game\n");
}

TEST(Launcher, EndsWhileTheGameIsStillStarting)
{
    installation const demo;
    demo.add_game(L"x64r");
    std::ofstream(demo.root() / L"x64r" / L"linger");

    auto const result = demo.run(L"");

    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_FALSE(fs::exists(demo.root() / L"x64r" / L"received.txt"));
    std::ofstream(demo.root() / L"x64r" / L"release");
    EXPECT_TRUE(demo.game_report(L"x64r"));
}

} // namespace
