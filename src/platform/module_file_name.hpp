#pragma once

#include <optional>
#include <string>

namespace launcher::platform {

// The path of the launcher's own executable in the system's narrow code
// page, whole however long it is; nothing if Windows cannot tell.
[[nodiscard]] std::optional<std::string> module_file_name_narrow();

} // namespace launcher::platform
