#pragma once

#include <platform/byte_order.h>
#include <platform/wave_format.h>
#include <sonark/mixer/pcm_mixer.h>

#include <array>
#include <cstdint>
#include <string>

class CRegKey;

// The binary settings values, packed field by field little-endian so that neither the host's
// byte order nor a struct's padding ends up in the settings file.

// A window rectangle as stored: left, top, right, bottom.
struct StoredRect {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;

  bool operator==(const StoredRect&) const = default;
};

constexpr size_t kStoredRectBytes = 16;
constexpr size_t kStoredFormatBytes = 18;
// Device, buffer count, buffer size, the format and two bytes of padding.
constexpr size_t kStoredDeviceRecordBytes = 32;

namespace stored {

inline void PutLe16(unsigned char* p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

inline uint16_t GetLe16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

inline std::array<unsigned char, kStoredRectBytes> PackRect(const StoredRect& rect) {
  std::array<unsigned char, kStoredRectBytes> bytes{};
  platform::PutLe32(&bytes[0], static_cast<uint32_t>(rect.left));
  platform::PutLe32(&bytes[4], static_cast<uint32_t>(rect.top));
  platform::PutLe32(&bytes[8], static_cast<uint32_t>(rect.right));
  platform::PutLe32(&bytes[12], static_cast<uint32_t>(rect.bottom));
  return bytes;
}

inline StoredRect UnpackRect(const unsigned char* p) {
  return StoredRect{platform::GetLeSigned32(p), platform::GetLeSigned32(p + 4),
                    platform::GetLeSigned32(p + 8), platform::GetLeSigned32(p + 12)};
}

inline void PackFormatAt(unsigned char* p, const tWAVEFORMATEX& format) {
  PutLe16(p, format.wFormatTag);
  PutLe16(p + 2, format.nChannels);
  platform::PutLe32(p + 4, format.nSamplesPerSec);
  platform::PutLe32(p + 8, format.nAvgBytesPerSec);
  PutLe16(p + 12, format.nBlockAlign);
  PutLe16(p + 14, format.wBitsPerSample);
  PutLe16(p + 16, format.cbSize);
}

inline tWAVEFORMATEX UnpackFormatAt(const unsigned char* p) {
  return tWAVEFORMATEX{
      GetLe16(p),      GetLe16(p + 2),  platform::GetLe32(p + 4), platform::GetLe32(p + 8),
      GetLe16(p + 12), GetLe16(p + 14), GetLe16(p + 16)};
}

inline std::array<unsigned char, kStoredFormatBytes> PackFormat(const tWAVEFORMATEX& format) {
  std::array<unsigned char, kStoredFormatBytes> bytes{};
  PackFormatAt(bytes.data(), format);
  return bytes;
}

inline std::array<unsigned char, kStoredDeviceRecordBytes> PackDeviceRecord(
    const _tInitMixer& record) {
  std::array<unsigned char, kStoredDeviceRecordBytes> bytes{};  // the padding stays zero
  platform::PutLe32(&bytes[0], record.device);
  platform::PutLe32(&bytes[4], static_cast<uint32_t>(record.bufferCount));
  platform::PutLe32(&bytes[8], static_cast<uint32_t>(record.bufferSize));
  PackFormatAt(&bytes[12], record.format);
  return bytes;
}

inline _tInitMixer UnpackDeviceRecord(const unsigned char* p) {
  return _tInitMixer{platform::GetLe32(p), platform::GetLeSigned32(p + 4),
                     platform::GetLeSigned32(p + 8), UnpackFormatAt(p + 12)};
}

}  // namespace stored

// Reading one stored value into a field: the field changes only when the value exists (and,
// for a binary value, has exactly the stored size, so a damaged value is never half taken).
void ReadNumber(CRegKey& key, const char* name, uint32_t* field);
void ReadText(CRegKey& key, const char* name, std::string* field);
bool ReadBytes(CRegKey& key, const char* name, unsigned char* out, size_t size);
