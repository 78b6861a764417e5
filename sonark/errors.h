#pragma once

#include <cstdint>

// Detail codes that the sound engine leaves in the thread's last-error value.
namespace sonark {

constexpr uint32_t kErrOutOfMemory = 0x20000001;

}  // namespace sonark
