#include <session/bar_chunk.h>

#include <tarnell/riff.h>

namespace {

constexpr unsigned long kBarChunkId = tarnell::FourCC("zbar");
constexpr long kBarChunkSize = 16;

void PutLE32(unsigned char* out, int32_t value) {
  uint32_t v = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(v >> (8 * i));
}

int32_t GetLE32(const unsigned char* in) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(in[i]) << (8 * i);
  return static_cast<int32_t>(v);
}

}  // namespace

BarRect BarInLane(long offset, long length, int lane) {
  BarRect bar;
  bar.left = static_cast<int32_t>(offset);
  bar.right = static_cast<int32_t>(offset + length);
  bar.top = lane * kLaneSpacing;
  bar.bottom = bar.top + kBarHeight;
  return bar;
}

int WriteBarChunk(CRIFF* riff, const BarRect& bar) {
  unsigned char bytes[kBarChunkSize];
  PutLE32(bytes, bar.left);
  PutLE32(bytes + 4, bar.top);
  PutLE32(bytes + 8, bar.right);
  PutLE32(bytes + 12, bar.bottom);
  return riff->WriteSubChunk(kBarChunkId, bytes, kBarChunkSize);
}

int ReadBarChunk(CRIFF* riff, BarRect* bar) {
  _chunkInfo level{};
  _subChunk sub{};
  riff->GetCurrentChunkInfo(&level, &sub);
  if (sub.id != kBarChunkId) return 0;
  if (sub.size < kBarChunkSize) return -1;
  unsigned char bytes[kBarChunkSize];
  if (riff->ReadCurrentSubChunk(reinterpret_cast<char*>(bytes), kBarChunkSize) != kBarChunkSize)
    return -1;
  bar->left = GetLE32(bytes);
  bar->top = GetLE32(bytes + 4);
  bar->right = GetLE32(bytes + 8);
  bar->bottom = GetLE32(bytes + 12);
  return 1;
}
