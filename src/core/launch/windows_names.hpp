#pragma once

#include <string>
#include <string_view>

namespace launcher {

// How Windows reads one name of a path written without "\\?\". Names are
// WTF-8 (see core/text/utf16.hpp).

// Whether `name` holds a character Windows never takes in a name:
// < > : " | ? * (and the separators), or a unit from U+0000 to U+001F.
[[nodiscard]] bool holds_refused_character(std::string_view name);

// Whether `name`, as the last name of a path, is a DOS device (CON, NUL,
// COM1, CONIN$, ...): no file or folder on any Windows that reads it so.
[[nodiscard]] bool is_dos_device(std::string_view name);

// `name` as Windows reads it as the last name of a path: without its
// trailing dots and blanks, so perhaps empty.
[[nodiscard]] std::string read_as_last_name(std::string_view name);

// `name` as Windows reads it inside a path: one trailing dot goes, blanks
// stay. "." and ".." are no names here: the caller takes them first.
[[nodiscard]] std::string read_as_inner_name(std::string_view name);

// Whether a path holding `name` reads otherwise without "\\?\" than with it.
[[nodiscard]] bool ends_in_dot_or_blank(std::string_view name);

} // namespace launcher
