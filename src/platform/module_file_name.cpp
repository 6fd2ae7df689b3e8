#include "platform/module_file_name.hpp"

#include "platform/grow_buffer.hpp"

#include <windows.h>

namespace launcher::platform {

std::optional<std::string> module_file_name_narrow()
{
    return read_growing<char>([](char* buffer, std::size_t size) {
        return GetModuleFileNameA(/* hModule */ nullptr, buffer, static_cast<DWORD>(size));
    });
}

} // namespace launcher::platform
