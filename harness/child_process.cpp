#include "child_process.hpp"

#include "windows/unique_handle.hpp"

#include <tlhelp32.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace e2e {
namespace {

using launcher::windows::unique_handle;

[[noreturn]] void fail(const char* what)
{
    throw std::runtime_error(std::string(what) + " failed with error " +
                             std::to_string(GetLastError()));
}

} // namespace

process_group::process_group() : job_(CreateJobObjectW(nullptr, nullptr))
{
    // Wine starts the desktop's process (explorer.exe /desktop), which lasts
    // as long as the Wine session, from the first process that asks for the
    // desktop: asked here first, so that it is never one of the group's.
    GetDesktopWindow();
    if (!job_)
        fail("CreateJobObjectW");
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job_.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits))
        fail("SetInformationJobObject");
}

// The names of the group's processes, each after a blank.
std::string process_group::names_of_processes() const
{
    struct {
        JOBOBJECT_BASIC_PROCESS_ID_LIST list;
        ULONG_PTR more[63];
    } ids{};
    if (!QueryInformationJobObject(job_.get(), JobObjectBasicProcessIdList, &ids, sizeof ids,
                                   nullptr))
        return " (unknown)";
    std::string names;
    unique_handle const snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        for (DWORD i = 0; i < ids.list.NumberOfProcessIdsInList; ++i)
            if (ids.list.ProcessIdList[i] == entry.th32ProcessID)
                names += " " + std::filesystem::path(entry.szExeFile).string();
    }
    return names;
}

void process_group::wait_until_all_ended() const
{
    // The job's count of active processes, asked again until it is zero: it
    // falls as each process ends, so only an end decides, never the time
    // waited. A minute is not a verdict but a fault of its own.
    for (DWORD waited = 0;; waited += 20) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
        if (!QueryInformationJobObject(job_.get(), JobObjectBasicAccountingInformation, &accounting,
                                       sizeof accounting, nullptr))
            fail("QueryInformationJobObject");
        if (accounting.ActiveProcesses == 0)
            return;
        if (waited >= 60'000)
            throw std::runtime_error("processes started by the test still run after a minute:" +
                                     names_of_processes());
        Sleep(20);
    }
}

finished_process run_process(const std::filesystem::path& application,
                             const std::wstring& command_line,
                             const std::filesystem::path& directory, standard_handles handles,
                             const process_group* group)
{
    bool const capture = handles == standard_handles::captured;
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE read_raw = nullptr, write_raw = nullptr;
    if (!CreatePipe(&read_raw, &write_raw, &inheritable, 1 << 20))
        fail("CreatePipe");
    unique_handle const read_end(read_raw);
    unique_handle write_end(write_raw);
    SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = capture ? STARTF_USESTDHANDLES : 0;
    startup.hStdOutput = write_end.get();
    startup.hStdError = write_end.get();
    startup.hStdInput = nullptr;

    std::wstring mutable_line = command_line;
    PROCESS_INFORMATION started{};
    // Suspended until it is in the group, so that whatever it starts is too.
    DWORD const flags = (capture ? 0 : DETACHED_PROCESS) | (group ? CREATE_SUSPENDED : 0);
    if (!CreateProcessW(application.c_str(), mutable_line.data(), nullptr, nullptr,
                        /* bInheritHandles */ capture, flags, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &started))
        fail("CreateProcessW");
    unique_handle const process(started.hProcess), thread(started.hThread);
    if (group) {
        if (!AssignProcessToJobObject(group->get(), process.get())) {
            DWORD const error = GetLastError();
            TerminateProcess(process.get(), 1);
            throw std::runtime_error("AssignProcessToJobObject failed with error " +
                                     std::to_string(error));
        }
        if (ResumeThread(thread.get()) == DWORD(-1))
            fail("ResumeThread");
    }
    write_end.reset(); // only the child may hold the write end now

    if (WaitForSingleObject(process.get(), 60'000) != WAIT_OBJECT_0)
        throw std::runtime_error("the process did not end within a minute");
    DWORD exit_code = 0;
    GetExitCodeProcess(process.get(), &exit_code);

    // Drain what is there without waiting for every writer to let go of the
    // pipe: a started game may still hold it.
    std::string output;
    DWORD available = 0;
    while (PeekNamedPipe(read_end.get(), nullptr, 0, nullptr, &available, nullptr) && available) {
        std::vector<char> chunk(available);
        DWORD got = 0;
        if (!ReadFile(read_end.get(), chunk.data(), available, &got, nullptr) || got == 0)
            break;
        output.append(chunk.data(), got);
    }
    return {exit_code, output};
}

std::filesystem::path program_directory()
{
    std::wstring buffer(32768, L'\0');
    DWORD const length = GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size()));
    buffer.resize(length);
    return std::filesystem::path(buffer).parent_path();
}

temporary_directory::temporary_directory(const std::wstring& name)
{
    std::filesystem::path const base = std::filesystem::temp_directory_path() /
                                       (L"launcher-e2e-" + std::to_wstring(GetCurrentProcessId()) +
                                        L"-" + std::to_wstring(GetTickCount()));
    path_ = base / name;
    std::filesystem::create_directories(path_);
}

temporary_directory::~temporary_directory()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_.parent_path(), ignored);
}

} // namespace e2e
