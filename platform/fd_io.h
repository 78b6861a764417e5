#pragma once

#include <platform/visibility.h>

#include <string>

namespace platform {

// Writes all of `text` to the descriptor, going on after short writes and interrupted calls;
// false when the descriptor refuses (a full disk, a closed pipe).
PLATFORM_API bool write_all(int fd, const std::string& text);

}  // namespace platform
