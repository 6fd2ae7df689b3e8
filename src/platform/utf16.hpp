#pragma once

#include <string>
#include <string_view>

namespace launcher {

// UTF-16 (what Windows supplies and accepts) to UTF-8. Invalid input is
// dropped, never reported; an unpaired surrogate is dropped on its own, so
// the unit after it always survives.
[[nodiscard]] std::string to_utf8(std::u16string_view text);

// UTF-8 to UTF-16; invalid sequences are dropped.
[[nodiscard]] std::u16string to_utf16(std::string_view text);

#ifdef _WIN32
// The same for Windows' wchar_t strings, which hold UTF-16.
[[nodiscard]] inline std::wstring to_wide(std::string_view text)
{
    std::u16string const wide = to_utf16(text);
    return {wide.begin(), wide.end()};
}

[[nodiscard]] inline std::string from_wide(std::wstring_view text)
{
    return to_utf8(std::u16string(text.begin(), text.end()));
}
#endif

} // namespace launcher
