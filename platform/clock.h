#pragma once

#include <cstdint>

#include <platform/visibility.h>

namespace platform {

// Milliseconds from an arbitrary fixed point; never goes backwards (wall-clock changes do not
// move it). Used wherever elapsed time is measured.
PLATFORM_API uint64_t monotonic_ms();

// Sleeps the calling thread for at least `ms` milliseconds.
PLATFORM_API void sleep_ms(uint32_t ms);

}  // namespace platform
