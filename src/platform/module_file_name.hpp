#pragma once

#include <optional>
#include <string>

namespace launcher::platform {

// The path of the launcher's own executable in the system's narrow code
// page, whole however long it is; nothing if Windows cannot tell.
[[nodiscard]] std::optional<std::string> module_file_name_narrow();

// The same as UTF-16. Throws std::system_error if Windows cannot tell.
[[nodiscard]] std::u16string module_file_name();

} // namespace launcher::platform
