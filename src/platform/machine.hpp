#pragma once

#include "launch/system.hpp"

namespace launcher::platform {

// What this Windows says about its machine, from whichever of its calls it has.
[[nodiscard]] machine_report windows_machine();

} // namespace launcher::platform
