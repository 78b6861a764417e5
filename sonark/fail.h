#pragma once

#include <platform/last_error.h>

#include <cstdint>

namespace sonark {

// Leaves `code` as the thread's last error and answers 0, the engine's result for a failure.
inline int Fail(uint32_t code) {
  platform::set_last_error(code);
  return 0;
}

}  // namespace sonark
