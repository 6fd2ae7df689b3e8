#include "windows/shell_start.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

// The fake Windows calls are plain function pointers, so they share this state.
struct shell_script {
    BOOL result = TRUE;
    HANDLE process = nullptr;
    std::optional<SHELLEXECUTEINFOW> request;
    std::wstring verb, file, parameters, directory;
    bool parameters_null = false;
    std::vector<std::pair<HANDLE, DWORD>> waits;
    std::vector<HANDLE> closes;
} script;

BOOL WINAPI fake_shell_execute(SHELLEXECUTEINFOW* request)
{
    script.request = *request;
    script.verb = request->lpVerb ? request->lpVerb : L"(null)";
    script.file = request->lpFile;
    script.parameters_null = request->lpParameters == nullptr;
    script.parameters = request->lpParameters ? request->lpParameters : L"";
    script.directory = request->lpDirectory;
    request->hProcess = script.process;
    SetLastError(ERROR_ACCESS_DENIED); // junk that a success must not be judged by
    return script.result;
}

DWORD WINAPI fake_wait(HANDLE handle, DWORD milliseconds)
{
    script.waits.emplace_back(handle, milliseconds);
    return WAIT_OBJECT_0;
}

BOOL WINAPI fake_close(HANDLE handle)
{
    script.closes.push_back(handle);
    return TRUE;
}

const launcher::windows::shell_calls fakes{fake_shell_execute, fake_wait, fake_close};
HANDLE const game_process = reinterpret_cast<HANDLE>(0x1234);

bool start(bool wait, const std::string& file = "C:/Games/x64r/quenby.exe")
{
    return launcher::windows::shell_start(file, "", "C:/Games/x64r", wait, fakes);
}

TEST(ShellStart, FillsTheRequest)
{
    script = {};
    EXPECT_TRUE(launcher::windows::shell_start("C:/\xF0\x9F\x8E\xAE/x64r/quenby.exe",
                                               " --application \"a b\"", "C:/\xF0\x9F\x8E\xAE/x64r",
                                               false, fakes));

    ASSERT_TRUE(script.request);
    const SHELLEXECUTEINFOW& r = *script.request;
    EXPECT_EQ(r.cbSize, 60u);
    EXPECT_EQ(r.fMask, 0x140u); // SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC
    EXPECT_EQ(r.hwnd, nullptr);
    EXPECT_EQ(script.verb, L"open");
    EXPECT_EQ(script.file, L"C:/\xD83C\xDFAE/x64r/quenby.exe");
    EXPECT_EQ(script.parameters, L" --application \"a b\"");
    EXPECT_EQ(script.directory, L"C:/\xD83C\xDFAE/x64r");
    EXPECT_EQ(r.nShow, 10);
    EXPECT_EQ(r.hInstApp, nullptr);
    EXPECT_EQ(r.lpIDList, nullptr);
    EXPECT_EQ(r.lpClass, nullptr);
    EXPECT_EQ(r.hkeyClass, nullptr);
    EXPECT_EQ(r.dwHotKey, 0u);
    EXPECT_EQ(r.hIcon, nullptr);
}

TEST(ShellStart, PassesPathsUnitForUnit)
{
    script = {};
    // --application's unpaired surrogates as well: the game gets its units.
    EXPECT_TRUE(launcher::windows::shell_start("C:\\Q\xED\xA0\x80\\quenby.exe",
                                               " --application \"a\xED\xB0\x80\"",
                                               "C:\\Q\xED\xA0\x80", false, fakes));
    EXPECT_EQ(script.file, L"C:\\Q\xD800\\quenby.exe");
    EXPECT_EQ(script.parameters, L" --application \"a\xDC00\"");
    EXPECT_EQ(script.directory, L"C:\\Q\xD800");
}

TEST(ShellStart, PassesEmptyParametersAsAnEmptyString)
{
    script = {};
    EXPECT_TRUE(start(false));
    EXPECT_FALSE(script.parameters_null);
    EXPECT_EQ(script.parameters, L"");
}

TEST(ShellStart, OwnsOnlyARealProcessHandle)
{
    const struct {
        const char* name;
        BOOL result;
        HANDLE process;
        bool wait;
        bool started;
        std::vector<std::pair<HANDLE, DWORD>> waits;
        std::vector<HANDLE> closes;
    } cases[] = {
        {"started", TRUE, game_process, false, true, {}, {game_process}},
        {"started and waited for",
         TRUE,
         game_process,
         true,
         true,
         {{game_process, INFINITE}},
         {game_process}},
        {"started without a handle", TRUE, nullptr, true, true, {}, {}},
        {"refused", FALSE, nullptr, false, false, {}, {}},
        {"refused, junk in the handle", FALSE, game_process, true, false, {}, {}},
        {"any non-zero answer is a start", 2, game_process, false, true, {}, {game_process}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        script = {};
        script.result = c.result;
        script.process = c.process;
        EXPECT_EQ(start(c.wait), c.started);
        EXPECT_EQ(script.waits, c.waits);
        EXPECT_EQ(script.closes, c.closes);
    }
}

TEST(ShellStart, RefusesAnEmptyPathWithoutAsking)
{
    script = {};
    EXPECT_FALSE(start(false, ""));
    EXPECT_FALSE(script.request);
}

} // namespace
