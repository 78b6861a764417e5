#include <platform/last_error.h>

namespace platform {

namespace {
thread_local uint32_t t_last_error = 0;
}

void set_last_error(uint32_t code) { t_last_error = code; }

uint32_t last_error() { return t_last_error; }

void clear_last_error() { t_last_error = 0; }

}  // namespace platform
