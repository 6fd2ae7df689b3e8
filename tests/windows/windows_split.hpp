#pragma once

#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

// How any program on Windows reads a command line: Windows' own split.
inline std::vector<std::wstring> windows_words(const std::wstring& command_line)
{
    int count = 0;
    LPWSTR* words = CommandLineToArgvW(command_line.c_str(), &count);
    std::vector<std::wstring> result(words, words + count);
    LocalFree(words);
    return result;
}
