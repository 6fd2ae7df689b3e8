// Times launcher.exe against the least launcher under Wine (or Windows):
//   launch_timer INSTALL_FOLDER [RUNS]
// INSTALL_FOLDER holds launcher.exe, least_launcher.exe and x64r\quenby.exe
// (the stand-in game). The two are started alternately, RUNS times each; each
// run is timed from just before CreateProcessW to the moment the process has
// ended, and the game it started is let finish before the next run. (Peak
// memory is measured from the Unix side: Wine forgets an ended process's
// counters.)

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct sample {
    double milliseconds;
};

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

sample run_once(const fs::path& program, const fs::path& game_record, bool game = true)
{
    std::wstring line = L"\"" + program.wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};

    double const begin = now_ms();
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &started)) {
        std::fprintf(stderr, "cannot start %ls: error %lu\n", program.c_str(), GetLastError());
        std::exit(1);
    }
    WaitForSingleObject(started.hProcess, INFINITE);
    double const end = now_ms();

    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);

    if (!game)
        return {end - begin};
    // Let the game finish: it writes its record last.
    for (int i = 0; i < 600 && !fs::exists(game_record); ++i)
        Sleep(10);
    if (!fs::exists(game_record)) {
        std::fprintf(stderr, "%ls started no game\n", program.c_str());
        std::exit(1);
    }
    Sleep(20);
    fs::remove(game_record);
    return {end - begin};
}

template <typename T>
T median(std::vector<T> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: launch_timer INSTALL_FOLDER [RUNS]\n");
        return 2;
    }
    fs::path const folder = argv[1];
    int const runs = argc > 2 ? std::max(1, _wtoi(argv[2])) : 40;
    fs::path const launcher = folder / L"launcher.exe";
    fs::path const least = folder / L"least_launcher.exe";
    fs::path const record = folder / L"x64r" / L"received.txt";
    bool const game = !(argc > 3 && std::wstring(argv[3]) == L"--no-game");
    fs::remove(record);

    run_once(launcher, record, game);  // warm-up: caches, Wine's first start of each
    run_once(least, record, game);

    std::vector<double> launcher_ms, least_ms;
    for (int i = 0; i < runs; ++i) {
        sample const a = run_once(launcher, record, game);
        sample const b = run_once(least, record, game);
        launcher_ms.push_back(a.milliseconds);
        least_ms.push_back(b.milliseconds);
    }

    double const a = median(launcher_ms), b = median(least_ms);
    std::printf("runs:                  %d each, alternating\n", runs);
    std::printf("median launcher.exe:   %.2f ms\n", a);
    std::printf("median least launcher: %.2f ms\n", b);
    std::printf("ratio launcher/least:  %.3f (target at most 1.05)\n", a / b);
    auto const size = fs::file_size(launcher);
    std::printf("launcher.exe size:     %llu bytes, %.2f MiB (target at most 1.5 MiB)\n",
                static_cast<unsigned long long>(size), size / 1048576.0);
    return 0;
}
