#pragma once

#include "launch/system.hpp"

namespace launcher::platform {

// The real operating-system services of the launcher.
[[nodiscard]] system_services windows_system();

} // namespace launcher::platform
