#pragma once

#include <cstdint>

#include <platform/visibility.h>

// One error value per thread, shared by every library of the system. Operations that fail
// leave a detail code here (the application bit 0x20000000 is set on all of ours) and
// callers read it right after the failing call.
namespace platform {

PLATFORM_API void set_last_error(uint32_t code);
PLATFORM_API uint32_t last_error();
PLATFORM_API void clear_last_error();

}  // namespace platform
