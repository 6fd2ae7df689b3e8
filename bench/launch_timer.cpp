// Times launcher.exe against the least launcher under Wine (or Windows):
//   launch_timer INSTALL_FOLDER [RUNS]
// INSTALL_FOLDER holds launcher.exe, least_launcher.exe and x64r\quenby.exe
// (the stand-in game, 64-bit on a 64-bit Windows). Each comparison starts
// its two programs alternately, RUNS times each, and takes medians; each
// start is timed from just before CreateProcessW to the moment the process
// has ended, and the game it started is let finish before the next. Three
// comparisons:
//  - launcher against least launcher, all started from this one process;
//  - the same, each started from a fresh parent process (this program run
//    again as `launch_timer --time-one PROGRAM WORDS`), as a player's shell
//    or a game client starts it: nothing of the parent is warm;
//  - launcher with the longest command line of one-letter words Windows
//    allows against launcher with none, from fresh parents.
// (Peak memory is measured from the Unix side: Wine forgets an ended
// process's counters.)

#include "child_process.hpp"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

double now_ms()
{
    static LARGE_INTEGER const frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return 1000.0 * double(counter.QuadPart) / double(frequency.QuadPart);
}

[[noreturn]] void give_up(const std::string& why)
{
    std::fprintf(stderr, "launch_timer: %s\n", why.c_str());
    std::exit(1);
}

// The program's quoted path and `words` one-letter words after it, up to the
// 32,767 UTF-16 units a command line may hold with its NUL.
std::wstring command_line(const fs::path& program, int words)
{
    std::wstring line = L"\"" + program.wstring() + L"\"";
    for (int i = 0; i < words && line.size() + 2 < 32767; ++i)
        line += L" a";
    return line;
}

// Starts `program` from this process and waits for it to end.
double time_start(const fs::path& program, int words)
{
    std::wstring line = command_line(program, words);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    double const begin = now_ms();
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, /* bInheritHandles */ FALSE,
                        0, nullptr, nullptr, &startup, &started))
        give_up("cannot start " + program.string() + ": error " + std::to_string(GetLastError()));
    WaitForSingleObject(started.hProcess, INFINITE);
    double const end = now_ms();
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return end - begin;
}

// The same from a fresh parent: this program, started anew, times the start
// and reports it on its standard output.
double time_start_from_fresh_parent(const fs::path& program, int words)
{
    fs::path const self = e2e::program_directory() / L"launch_timer.exe";
    auto const run = e2e::run_process(self, L"\"" + self.wstring() + L"\" --time-one \"" +
                                                program.wstring() + L"\" " +
                                                std::to_wstring(words));
    if (run.exit_code != 0)
        give_up("the fresh parent failed: " + run.output);
    return std::strtod(run.output.c_str(), nullptr);
}

// Lets the game that a start began finish: it writes its record last.
void await_game(const fs::path& record)
{
    for (int i = 0; i < 600 && !fs::exists(record); ++i)
        Sleep(10);
    if (!fs::exists(record))
        give_up("no game was started");
    Sleep(20);
    fs::remove(record);
}

template <typename T>
T median(std::vector<T> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

using timer = std::function<double()>;

// Alternates `a` and `b` `runs` times after one warm-up each; prints their
// medians and ratio.
void compare(const char* title, const char* a_name, const timer& a, const char* b_name,
             const timer& b, int runs, const fs::path& record, double target)
{
    a();
    await_game(record);
    b();
    await_game(record);
    std::vector<double> a_ms, b_ms;
    for (int i = 0; i < runs; ++i) {
        a_ms.push_back(a());
        await_game(record);
        b_ms.push_back(b());
        await_game(record);
    }
    double const a_median = median(a_ms), b_median = median(b_ms);
    std::printf("%s (%d runs each, alternating)\n", title, runs);
    std::printf("  median %-24s %.2f ms\n", a_name, a_median);
    std::printf("  median %-24s %.2f ms\n", b_name, b_median);
    std::printf("  ratio                           %.3f (target at most %.2f)\n",
                a_median / b_median, target);
}

} // namespace

int wmain(int argc, wchar_t** argv); // the C runtime's call, with -municode

int wmain(int argc, wchar_t** argv)
{
    if (argc == 4 && std::wstring(argv[1]) == L"--time-one") {
        std::printf("%.4f\n", time_start(argv[2], _wtoi(argv[3])));
        return 0;
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: launch_timer INSTALL_FOLDER [RUNS]\n");
        return 2;
    }
    fs::path const folder = argv[1];
    int const runs = argc > 2 ? std::max(1, _wtoi(argv[2])) : 40;
    fs::path const launcher = folder / L"launcher.exe";
    fs::path const least = folder / L"least_launcher.exe";
    fs::path const record = folder / L"x64r" / L"received.txt";
    fs::remove(record);

    compare(
        "Started from this process", "launcher.exe", [&] { return time_start(launcher, 0); },
        "least launcher", [&] { return time_start(least, 0); }, runs, record, 1.03);
    compare(
        "Started from a fresh parent each", "launcher.exe",
        [&] { return time_start_from_fresh_parent(launcher, 0); }, "least launcher",
        [&] { return time_start_from_fresh_parent(least, 0); }, runs, record, 1.03);
    compare(
        "Longest command line of one-letter words, fresh parents", "launcher.exe, 16,380 words",
        [&] { return time_start_from_fresh_parent(launcher, 16380); }, "launcher.exe, none",
        [&] { return time_start_from_fresh_parent(launcher, 0); }, runs, record, 2.0);

    auto const size = fs::file_size(launcher);
    std::printf("launcher.exe size: %llu bytes, %.2f MiB (target at most 1.5 MiB)\n",
                static_cast<unsigned long long>(size), static_cast<double>(size) / 1048576.0);
    return 0;
}
