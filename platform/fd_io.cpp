#include <platform/fd_io.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

bool write_all(int fd, const void* data, size_t size, off_t at) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t n = at < 0 ? ::write(fd, bytes, size) : ::pwrite(fd, bytes, size, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // A write that takes nothing would never end; it means the device is full.
      if (n == 0) errno = ENOSPC;
      return false;
    }
    bytes += n;
    size -= static_cast<size_t>(n);
    if (at >= 0) at += n;
  }
  return true;
}

bool write_all(int fd, const std::string& text) { return write_all(fd, text.data(), text.size()); }

}  // namespace platform
