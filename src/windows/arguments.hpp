#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace launcher::windows {

// Stands for the program when its own path cannot be had.
inline constexpr std::string_view unknown_program = "Unknown absolute executable filename";

// The argument vector: the program's path as element 0, whole, followed by
// the command line after the program name, converted to WTF-8 (UTF-8 that
// keeps an unpaired surrogate, core/text/utf16.hpp) and split by the
// Windows rules. A path such as "C:\Games --build x\launcher.exe" is
// never taken apart, so none of its words can pass for an option.
[[nodiscard]] std::vector<std::string> make_arguments(std::optional<std::string> program,
                                                      std::u16string_view command_line);

} // namespace launcher::windows
