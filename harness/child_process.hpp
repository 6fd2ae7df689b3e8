#pragma once

#include "windows/unique_handle.hpp"

#include <windows.h>

#include <filesystem>
#include <string>

namespace e2e {

struct finished_process {
    DWORD exit_code;
    std::string output; // standard output, as written
};

// Where the child's standard handles lead: to a pipe the test reads, or
// nowhere, as Explorer starts a GUI program (nothing inherited, no console).
enum class standard_handles { captured, none };

// The processes started in it and every process they start in turn (a job
// object), so that a test can wait for all of them to end instead of giving
// them time. What still runs when it goes is ended with it.
class process_group {
public:
    process_group();

    // Returns once no process of the group runs any more; throws if some
    // still run after a minute.
    void wait_until_all_ended() const;

    [[nodiscard]] HANDLE get() const { return job_.get(); }

private:
    [[nodiscard]] std::string names_of_processes() const;

    launcher::windows::unique_handle job_;
};

// Starts `application` with exactly `command_line` (no re-quoting) in
// `directory`, in `group` if one is given, captures its standard output if
// it has one and waits for it to end (not for what it starts).
[[nodiscard]] finished_process run_process(const std::filesystem::path& application,
                                           const std::wstring& command_line,
                                           const std::filesystem::path& directory = {},
                                           standard_handles handles = standard_handles::captured,
                                           const process_group* group = nullptr);

// The folder that holds this test program, and the launcher built beside it.
[[nodiscard]] std::filesystem::path program_directory();

// A fresh folder under the temporary directory, removed with the object.
class temporary_directory {
public:
    explicit temporary_directory(const std::wstring& name);
    ~temporary_directory();
    temporary_directory(const temporary_directory&) = delete;
    temporary_directory& operator=(const temporary_directory&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace e2e
