#pragma once

#include "launch/system.hpp"

namespace launcher::windows {

// The real operating-system services of the launcher.
[[nodiscard]] system_services windows_system();

} // namespace launcher::windows
