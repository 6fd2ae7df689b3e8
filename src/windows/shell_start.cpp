#include "windows/shell_start.hpp"

#include "windows/system_dll.hpp"
#include "windows/unique_handle.hpp"
#include "windows/wide.hpp"

namespace launcher::windows {

BOOL WINAPI system_shell_execute(SHELLEXECUTEINFOW* request)
{
    // shell32 stays loaded, as an import would: the shell may leave work of
    // its own behind in the process.
    using shell_execute_call = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);
    HMODULE const shell32 = load_from_system32(L"shell32.dll");
    if (!shell32)
        return FALSE;
    auto const execute = find_procedure<shell_execute_call>(shell32, "ShellExecuteExW");
    if (!execute)
        return FALSE;
    return execute(request);
}

bool shell_start(const std::string& file, const std::string& parameters,
                 const std::string& directory, bool wait, const shell_calls& calls)
{
    if (file.empty())
        return false;

    std::wstring const wide_file = path_to_wide(file);
    // WTF-8 like the paths: --application's unpaired surrogates reach the game.
    std::wstring const wide_parameters = path_to_wide(parameters); // "" rather than null
    std::wstring const wide_directory = path_to_wide(directory);

    SHELLEXECUTEINFOW request{};
    request.cbSize = sizeof request;
    // The launcher may end right after the call: without NOASYNC the shell
    // could still be working on the request in a thread of this process.
    request.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    request.hwnd = nullptr;
    request.lpVerb = L"open";
    request.lpFile = wide_file.c_str();
    request.lpParameters = wide_parameters.c_str();
    request.lpDirectory = wide_directory.c_str();
    request.nShow = SW_SHOWDEFAULT;
    request.hInstApp = nullptr;

    bool const started = calls.shell_execute(&request) != FALSE;
    // hProcess stays null even on success when no new process was made (a
    // document handed to a running program, DDE): only a real one is owned.
    unique_handle const process(started ? request.hProcess : nullptr, calls.close);
    if (process && wait)
        calls.wait(process.get(), INFINITE);
    return started;
}

} // namespace launcher::windows
