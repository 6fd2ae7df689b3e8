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

// Paths are another matter: a Windows file name is any sequence of UTF-16
// units, unpaired surrogates included, and dropping one names another file.
// So paths travel as WTF-8: UTF-8 that also writes an unpaired surrogate,
// as the three bytes of its code point. Valid UTF-16 gives plain UTF-8. The
// command line does too, for its words become paths (--build) and the
// game's parameters (--application).
[[nodiscard]] std::string path_to_utf8(std::u16string_view path);

// WTF-8 (so also UTF-8) back to UTF-16, unit for unit; invalid sequences
// are dropped.
[[nodiscard]] std::u16string path_to_utf16(std::string_view path);

} // namespace launcher
