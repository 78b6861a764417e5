#pragma once

#include <cstdint>

// Little-endian fields of stored records (RIFF sizes, side files, envelope chunks), read and
// written byte by byte so that neither alignment nor the host's byte order matters.
namespace platform {

inline uint32_t GetLe32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline void PutLe32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

// A stored 32-bit field that holds a signed value (two's complement).
inline int32_t GetLeSigned32(const unsigned char* p) { return static_cast<int32_t>(GetLe32(p)); }

inline uint64_t GetLe64(const unsigned char* p) {
  return static_cast<uint64_t>(GetLe32(p)) | static_cast<uint64_t>(GetLe32(p + 4)) << 32;
}

inline void PutLe64(unsigned char* p, uint64_t v) {
  PutLe32(p, static_cast<uint32_t>(v));
  PutLe32(p + 4, static_cast<uint32_t>(v >> 32));
}

}  // namespace platform
