#pragma once

#include <windows.h>

#include <cstdint>

namespace launcher::windows {

// RtlGenRandom's shape (advapi32's SystemFunction036).
using random_generator = BOOLEAN(WINAPI*)(PVOID buffer, ULONG length);

// The stack protector's canary: from `generate`, or, where it fails or says
// 0, from what differs between processes and starts. Never 0. Tests hand
// it a generator of their own.
[[nodiscard]] std::uintptr_t fresh_canary(random_generator generate);

} // namespace launcher::windows
