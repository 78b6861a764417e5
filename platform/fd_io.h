#pragma once

#include <platform/visibility.h>

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace platform {

// Writes all `size` bytes to the descriptor (at offset `at`, or where it stands when `at` is
// negative), going on after short writes and interrupted calls; false when the descriptor
// refuses (a full disk, a closed pipe), with errno saying why.
PLATFORM_API bool write_all(int fd, const void* data, size_t size, off_t at = -1);
PLATFORM_API bool write_all(int fd, const std::string& text);

}  // namespace platform
