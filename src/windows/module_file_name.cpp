#include "windows/module_file_name.hpp"

#include "windows/grow_buffer.hpp"

#include <windows.h>

#include <system_error>

namespace launcher::windows {

std::optional<std::string> module_file_name_narrow()
{
    return read_growing<char>([](char* buffer, std::size_t size) {
        return GetModuleFileNameA(/* hModule */ nullptr, buffer, static_cast<DWORD>(size));
    });
}

std::u16string module_file_name(module_file_name_call call)
{
    DWORD error = ERROR_SUCCESS;
    auto const name = read_growing<wchar_t>([&](wchar_t* buffer, std::size_t size) {
        DWORD const written = call(/* hModule */ nullptr, buffer, static_cast<DWORD>(size));
        error = GetLastError();
        return written;
    });
    if (!name)
        throw std::system_error(static_cast<int>(error), std::system_category(),
                                "The launcher's own path cannot be read");
    return {name->begin(), name->end()};
}

} // namespace launcher::windows
