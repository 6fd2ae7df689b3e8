#pragma once

#include "text/utf16.hpp"

#include <string>
#include <string_view>

namespace launcher::windows {

// The core's conversions (text/utf16.hpp) for Windows' wchar_t strings,
// which hold UTF-16.
[[nodiscard]] inline std::wstring to_wide(std::string_view text)
{
    std::u16string const wide = to_utf16(text);
    return {wide.begin(), wide.end()};
}

[[nodiscard]] inline std::string from_wide(std::wstring_view text)
{
    return to_utf8(std::u16string(text.begin(), text.end()));
}

[[nodiscard]] inline std::wstring path_to_wide(std::string_view path)
{
    std::u16string const wide = path_to_utf16(path);
    return {wide.begin(), wide.end()};
}

} // namespace launcher::windows
