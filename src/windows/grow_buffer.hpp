#pragma once

#include "launch/windows_path.hpp"

#include <cstddef>
#include <optional>
#include <string>

namespace launcher::windows {

// For calls that fill a caller's buffer and cut the text silently when it
// does not fit (GetModuleFileName*): `fill(data, size)` returns how many
// characters it wrote, 0 on failure. A result as long as the buffer may be a
// cut one (whether the NUL is then written differs between Windows versions
// and Wine), so only a shorter result is taken, and the buffer doubles until
// one is, starting from max_path, which most paths fit. Gives nothing on
// failure or past any length Windows allows.
template <typename Char, typename Fill>
[[nodiscard]] std::optional<std::basic_string<Char>> read_growing(Fill fill,
                                                                  std::size_t size = max_path)
{
    constexpr std::size_t limit = std::size_t{1} << 16;
    for (; size != 0 && size <= limit; size *= 2) {
        std::basic_string<Char> buffer(size, Char{});
        auto const written = static_cast<std::size_t>(fill(buffer.data(), size));
        if (written == 0)
            return std::nullopt;
        if (written < size) {
            buffer.resize(written);
            return buffer;
        }
    }
    return std::nullopt;
}

} // namespace launcher::windows
