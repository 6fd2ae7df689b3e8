// Stands in for quenby.exe: writes what it received into received.txt beside
// itself, in UTF-8, one item a line:
//   command line: <the whole command line>
//   word: <each word, as CommandLineToArgvW splits it>
//   directory: <the working directory>
//   machine: <x64 or x86, what it was built for>
// If a file named "linger" lies beside it, it first waits (up to a minute)
// for a file named "release" to appear there.

#include <windows.h>
#include <shellapi.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

std::string utf8(const std::wstring& text)
{
    int const size = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), result.data(), size, nullptr,
                        nullptr);
    return result;
}

bool exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    std::wstring folder(32768, L'\0');
    folder.resize(GetModuleFileNameW(nullptr, folder.data(), DWORD(folder.size())));
    folder.resize(folder.find_last_of(L'\\') + 1);

    if (exists(folder + L"linger"))
        for (int i = 0; i < 1200 && !exists(folder + L"release"); ++i)
            Sleep(50);

    std::wstring directory(32768, L'\0');
    directory.resize(GetCurrentDirectoryW(DWORD(directory.size()), directory.data()));

    std::string record = "command line: " + utf8(GetCommandLineW()) + "\n";
    int count = 0;
    LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 0; i < count; ++i)
        record += "word: " + utf8(words[i]) + "\n";
    LocalFree(words);
    record += "directory: " + utf8(directory) + "\n";
#ifdef _WIN64
    record += "machine: x64\n";
#else
    record += "machine: x86\n";
#endif

    // Written aside and renamed, so that a reader never sees half of it.
    std::wstring const partial = folder + L"received.partial";
    std::ofstream(std::filesystem::path(partial), std::ios::binary) << record;
    MoveFileExW(partial.c_str(), (folder + L"received.txt").c_str(), MOVEFILE_REPLACE_EXISTING);
    return 0;
}
