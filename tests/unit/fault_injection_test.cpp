// Every allocation of a run fails in turn, as SQLite's out-of-memory loop
// does it: the n-th call of operator new throws std::bad_alloc, for n = 1,
// 2, ... until a run never reaches its n-th allocation. Each run is a child
// process of its own (the path locale a run sets is process-wide, and a
// broken run must not break the next), writing to its standard output as
// the launcher does. Whatever fails, the launcher may end only in one of
// two ways: as the run without the fault, or with exactly one
// "Exception: " line and -1, nothing started, after nothing that the run
// without the fault does not print.
//
// A program of its own: it replaces the global operator new.

#include "run.hpp"

#include "fake_system.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <new>
#include <sstream>
#include <tuple>

namespace {

// The allocation that fails, counted from the start of a run; 0: none.
std::size_t fail_at = 0;
std::size_t allocations = 0;
bool failure_injected = false;

bool inject_failure()
{
    if (fail_at == 0 || ++allocations != fail_at)
        return false;
    failure_injected = true;
    return true;
}

// As operator new must: on a failure, the new-handler if one is installed
// (it may make room and have the allocation tried again), else bad_alloc.
void* allocate(std::size_t size)
{
    while (inject_failure()) {
        std::new_handler const handler = std::get_new_handler();
        if (!handler)
            throw std::bad_alloc();
        handler();
    }
    if (void* const block = std::malloc(size == 0 ? 1 : size))
        return block;
    throw std::bad_alloc();
}

void* allocate_aligned(std::size_t size, std::align_val_t alignment)
{
    while (inject_failure()) {
        std::new_handler const handler = std::get_new_handler();
        if (!handler)
            throw std::bad_alloc();
        handler();
    }
    auto const align = static_cast<std::size_t>(alignment);
    if (void* const block = std::aligned_alloc(align, (size + align - 1) / align * align))
        return block;
    throw std::bad_alloc();
}

} // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t alignment)
{
    return allocate_aligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment)
{
    return allocate_aligned(size, alignment);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept
{
    return operator new(size, tag);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    try {
        return allocate_aligned(size, alignment);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, std::align_val_t alignment,
                     const std::nothrow_t& tag) noexcept
{
    return operator new(size, alignment, tag);
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept
{
    std::free(block);
}
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept
{
    std::free(block);
}

namespace {

struct outcome {
    int exit_code = 0; // as the process's exit status: -1 is 255
    int signal = 0;    // a crash, or std::terminate's abort
    std::string output;
    std::vector<start_request> starts;
    bool failure_injected = false;

    bool operator==(const outcome& other) const
    {
        return std::tie(exit_code, signal, output, starts) ==
               std::tie(other.exit_code, other.signal, other.output, other.starts);
    }
};

std::string describe(const outcome& result)
{
    std::ostringstream text;
    if (result.signal)
        text << "signal " << result.signal;
    else
        text << "exit " << result.exit_code;
    text << ", " << result.starts.size() << " start(s), output [" << result.output << "]";
    return text.str();
}

std::string read_all(int from)
{
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = read(from, buffer, sizeof buffer)) != 0;) {
        if (got < 0)
            return text + "<read error>";
        text.append(buffer, static_cast<std::size_t>(got));
    }
    close(from);
    return text;
}

struct child_run {
    pid_t pid;
    int output, record; // the child's standard output; what it reports
};

// Starts one run of the launcher in a child process, whose allocation
// `fail` (0: none) fails. The fake system is set up before the count
// starts; what it allocates while the run asks it counts, as the real
// system's would.
child_run start_run(const std::vector<std::string>& arguments, void (*set_up)(fake_system&),
                    std::size_t fail)
{
    int output[2], record[2];
    if (pipe(output) != 0 || pipe(record) != 0)
        throw std::runtime_error("no pipe");
    std::cout.flush();
    std::fflush(stdout); // nothing of the parent's may come out of the child
    pid_t const child = fork();
    if (child < 0)
        throw std::runtime_error("no fork");
    if (child == 0) {
        close(output[0]);
        close(record[0]);
        dup2(output[1], STDOUT_FILENO);
        close(output[1]);
        fake_system os;
        set_up(os);
        auto const services = os.services();

        fail_at = fail;
        int const code = launcher::within_boundary(
            std::cout, [&] { return launcher::run(arguments, services, std::cout); });
        fail_at = 0;

        std::cout.flush();
        std::string report = failure_injected ? "1\n" : "0\n";
        for (const start_request& start : os.starts)
            report += start.file + '\n' + start.parameters + '\n' + start.directory + '\n';
        if (write(record[1], report.data(), report.size()) != static_cast<ssize_t>(report.size()))
            _exit(100);
        _exit(code & 0xFF);
    }
    close(output[1]);
    close(record[1]);
    return {child, output[0], record[0]};
}

// What a run started by start_run came to. (What a child writes fits in a
// pipe: it never waits for the parent to read.)
outcome finish_run(const child_run& run)
{
    outcome result;
    result.output = read_all(run.output);
    std::istringstream report(read_all(run.record));
    std::string injected;
    std::getline(report, injected);
    result.failure_injected = injected == "1";
    for (start_request start; std::getline(report, start.file) &&
                              std::getline(report, start.parameters) &&
                              std::getline(report, start.directory);)
        result.starts.push_back(start);
    int status = 0;
    waitpid(run.pid, &status, 0);
    if (WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    else
        result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : -1;
    return result;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

bool is_exception_line(const std::string& line) { return line.rfind("Exception: ", 0) == 0; }

// The clean run's outcome, or: -1, nothing started, the clean run's first
// lines (none of them an "Exception: " line) and then one "Exception: "
// line, which names the exhausted memory unless the clean run itself ended
// in a failure of the system (whose report may then come out shorter).
bool documented(const outcome& result, const outcome& clean)
{
    if (result == clean)
        return true;
    if (result.signal || result.exit_code != 255 || !result.starts.empty() ||
        result.output.empty() || result.output.back() != '\n')
        return false;
    auto const lines = lines_of(result.output);
    auto const clean_lines = lines_of(clean.output);
    if (lines.size() > clean_lines.size() + 1)
        return false;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i)
        if (lines[i] != clean_lines[i] || is_exception_line(lines[i]))
            return false;
    bool const clean_failed = !clean_lines.empty() && is_exception_line(clean_lines.back());
    return clean_failed ? is_exception_line(lines.back())
                        : lines.back() == "Exception: std::bad_alloc";
}

std::vector<std::string> long_line()
{
    std::vector<std::string> words{"--application", "demo.json"};
    for (int word = 0; word < 66; ++word)
        words.push_back("w" + std::to_string(word));
    words.insert(words.end(), {"--build", "x86r"});
    return words;
}

const std::string x64r_game = demo_directory + "\\x64r\\quenby.exe";

void x64r_present(fake_system& os) { os.files[x64r_game] = boost::filesystem::regular_file; }

struct fault_case {
    const char* name;
    std::vector<std::string> options; // after element 0
    void (*set_up)(fake_system&) = x64r_present;
};

TEST(FaultInjection, EveryFailedAllocationEndsAsDocumented)
{
    // The command lines, then each member of the system failing in each way
    // it can, on the line that asks it everything; the two that fail
    // without a word share a row.
    // clang-format off
    const fault_case cases[] = {
        {"help", {"--help"}},
        {"plain", {}},
        {"--application with a blank", {"--application", "a b"}},
        {"--build relative", {"--build", "..\\other"}},
        {"--build device", {"--build", "CON"}},
        {"unknown option", {"--fullscreen"}},
        {"option given twice", {"--build", "x86r", "--build", "x64r"}},
        {"long line, in two pieces", long_line()},
        {"module path fails", {}, [](fake_system& os) { os.module_path_fails = true; }},
        {"probe fails", {}, [](fake_system& os) {
             x64r_present(os);
             os.probe_error = boost::system::error_code(5, boost::system::system_category());
         }},
        {"machine says nothing, probe undecided", {}, [](fake_system& os) {
             os.machine = {};
             os.files[x64r_game] = boost::filesystem::status_error;
         }},
        {"shell refuses", {}, [](fake_system& os) {
             x64r_present(os);
             os.shell_accepts = false;
         }},
    };
    // clang-format on
    std::size_t all_runs = 0, all_documented = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> arguments{"launcher.exe"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        auto const set_up = c.set_up;

        outcome const clean = finish_run(start_run(arguments, set_up, 0));
        ASSERT_FALSE(clean.signal) << describe(clean);
        ASSERT_LE(clean.starts.size(), 1u) << describe(clean);

        std::size_t runs = 0, as_documented = 0;
        std::map<std::string, std::size_t> wrong; // outcome -> how many runs
        // Two runs at a time, for the test's time: the second is of no
        // account once the first passed untouched.
        for (std::size_t fail = 1;; fail += 2) {
            child_run const first = start_run(arguments, set_up, fail);
            child_run const second = start_run(arguments, set_up, fail + 1);
            outcome const results[] = {finish_run(first), finish_run(second)};
            bool untouched = false;
            for (const outcome& result : results) {
                if (!result.failure_injected) {
                    EXPECT_EQ(describe(result), describe(clean)) << "untouched run";
                    untouched = true;
                    break;
                }
                ++runs;
                if (documented(result, clean))
                    ++as_documented;
                else
                    ++wrong[describe(result)];
            }
            if (untouched)
                break;
        }
        std::cout << c.name << ": " << runs << " runs, " << as_documented << " as documented\n";
        all_runs += runs;
        all_documented += as_documented;
        std::string examples;
        for (const auto& [what, count] : wrong)
            examples += "\n  " + std::to_string(count) + " x " + what;
        EXPECT_EQ(as_documented, runs) << "clean: " << describe(clean) << examples;
    }
    std::cout << all_runs << " runs with a failed allocation, " << all_documented
              << " with the documented outcome\n";
}

} // namespace
