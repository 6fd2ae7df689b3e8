// The process's start-up hardening, seen from outside: a program that
// starts as launcher.exe does (startup_probe.cpp) is made to overrun its
// stack, to show its canary, and to load a DLL planted beside it; and
// launcher.exe itself runs beside a planted DLL.

#include "child_process.hpp"

#include <gtest/gtest.h>

#include <cwctype>

namespace {

namespace fs = std::filesystem;

e2e::finished_process probe(const std::wstring& arguments, const fs::path& program =
                                e2e::program_directory() / L"startup_probe.exe")
{
    return e2e::run_process(program, L"\"" + program.wstring() + L"\" " + arguments);
}

TEST(Startup, StackOverrunEndsTheProcessAtOnce)
{
    auto const run = probe(L"overflow");
    EXPECT_EQ(run.exit_code, 0xC0000409u);  // STATUS_STACK_BUFFER_OVERRUN
    EXPECT_EQ(run.output, "before\n");
}

TEST(Startup, CanaryDiffersFromStartToStart)
{
    auto const first = probe(L"guard");
    auto const second = probe(L"guard");
    ASSERT_EQ(first.exit_code, 0u);
    ASSERT_EQ(first.output.size(), 9u) << first.output;
    EXPECT_NE(first.output, "00000000\n");
    EXPECT_NE(first.output, second.output);
}

// Wine prefers its own builtin DLLs; told to prefer a native version.dll,
// it takes one from wherever the search order finds one first. A program
// started from here is told so through the registry, for its name: it reads
// WINEDLLOVERRIDES from the Unix environment it inherits, which a change to
// this process's Windows environment does not reach.
class planted_version_dll {
public:
    explicit planted_version_dll(std::wstring program = L"startup_probe.exe")
        : folder_(L"planted"), program_(std::move(program))
    {
        fs::copy_file(e2e::program_directory() / program_, this->program());
        fs::copy_file(e2e::program_directory() / L"planted" / L"version.dll",
                      folder_.path() / L"version.dll");
        RegSetKeyValueW(HKEY_CURRENT_USER, (program_key() + L"\\DllOverrides").c_str(), L"version",
                        REG_SZ, L"native,builtin", sizeof L"native,builtin");
    }
    ~planted_version_dll() { RegDeleteTreeW(HKEY_CURRENT_USER, program_key().c_str()); }
    planted_version_dll(const planted_version_dll&) = delete;
    planted_version_dll& operator=(const planted_version_dll&) = delete;

    [[nodiscard]] fs::path program() const { return folder_.path() / program_; }
    [[nodiscard]] fs::path planted() const { return folder_.path() / L"version.dll"; }

private:
    [[nodiscard]] std::wstring program_key() const { return L"Software\\Wine\\AppDefaults\\" + program_; }

    e2e::temporary_directory folder_;
    std::wstring program_;
};

std::string lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::towlower(static_cast<unsigned char>(c)));
    return text;
}

TEST(Startup, DllPlantedBesideTheProgramIsNotLoaded)
{
    planted_version_dll const setup;
    auto const planted = lower("loaded: " + setup.planted().string() + "\n");

    // Looking beside the program finds the planted DLL: the test would see it.
    auto const beside = probe(L"load-beside version.dll", setup.program());
    ASSERT_EQ(lower(beside.output), planted);

    auto const by_name = probe(L"load version.dll", setup.program());
    EXPECT_EQ(by_name.exit_code, 0u);
    EXPECT_NE(lower(by_name.output), planted);
    EXPECT_EQ(by_name.output.rfind("loaded: ", 0), 0u) << by_name.output;
}

// The planted DLL marks every load of itself (planted.c). Where the shell's
// DLL is imported, the loader resolves its imports before any code of the
// launcher runs, and Wine looks for them beside the launcher first.
TEST(Startup, LauncherLoadsNoDllPlantedBesideIt)
{
    planted_version_dll const setup(L"launcher.exe");
    auto const run = probe(L"--build nowhere", setup.program());  // the shell is asked, and refuses
    EXPECT_EQ(run.output, "ERROR: Failed to start the game\n");
    EXPECT_FALSE(fs::exists(setup.planted().wstring() + L".loaded"));
}

} // namespace
