/* The least launcher: the same shell request for x64r\quenby.exe beside it
 * that launcher.exe makes by default, and nothing else. The yardstick for
 * what launcher.exe costs on top of starting the game at all. */
#include <windows.h>
#include <shellapi.h>
#include <wchar.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command_line, int show)
{
    wchar_t file[MAX_PATH + 32], directory[MAX_PATH + 32];
    DWORD length = GetModuleFileNameW(NULL, directory, MAX_PATH);
    while (length > 0 && directory[length - 1] != L'\\')
        --length;
    wcscpy(directory + length, L"x64r");
    wcscpy(file, directory);
    wcscat(file, L"\\quenby.exe");

    SHELLEXECUTEINFOW request = {sizeof request};
    request.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    request.lpVerb = L"open";
    request.lpFile = file;
    request.lpParameters = L"";
    request.lpDirectory = directory;
    request.nShow = SW_SHOWDEFAULT;
    if (ShellExecuteExW(&request) && request.hProcess)
        CloseHandle(request.hProcess);
    return 0;
}
