#include <sonark/load/wave_chunks.h>
#include <tarnell/ref_obj.h>
#include <tarnell/riff.h>

namespace sonark::wave {

namespace {

constexpr long kHeaderBytes = 8;
constexpr long kListHeaderBytes = 12;

}  // namespace

ChunkWalker::ChunkWalker(CRIFF& riff) : riff_(riff), object_(riff.GetRefObj()) {}

int ChunkWalker::First() {
  offset_ = -1;
  if (object_ == nullptr || !riff_.SeekToLevelBeginning()) return 0;
  // The cursor leaves the object behind the first chunk's header.
  const long first = object_->Tell() - kHeaderBytes;
  _chunkInfo level{};
  _subChunk sub{};
  riff_.GetCurrentChunkInfo(&level, &sub);
  level_end_ = first - kListHeaderBytes + kHeaderBytes + static_cast<long>(level.size);
  if (first + kHeaderBytes > level_end_) return 0;
  offset_ = first;
  id_ = sub.id;
  size_ = sub.size;
  return 1;
}

int ChunkWalker::Next() {
  if (offset_ < 0) return 0;
  long next = offset_ + kHeaderBytes + static_cast<long>(size_);
  if ((size_ & 1) != 0 && !PlausibleIdAt(next) && PlausibleIdAt(next + 1)) ++next;
  if (next + kHeaderBytes > level_end_) return 0;
  return MoveTo(next);
}

int ChunkWalker::Find(uint32_t id) {
  for (int found = First(); found; found = Next()) {
    if (id_ == id) return 1;
  }
  return 0;
}

int ChunkWalker::MoveTo(long offset) {
  if (!riff_.SeekToChunkAtOffset(offset)) {
    offset_ = -1;
    return 0;
  }
  _subChunk sub{};
  riff_.GetCurrentChunkInfo(nullptr, &sub);
  offset_ = offset;
  id_ = sub.id;
  size_ = sub.size;
  return 1;
}

bool ChunkWalker::PlausibleIdAt(long offset) {
  if (offset + kHeaderBytes > level_end_ || !object_->Seek(offset, 0)) return false;
  unsigned char id[4];
  if (object_->Read(reinterpret_cast<char*>(id), 4) != 4) return false;
  for (unsigned char c : id) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

}  // namespace sonark::wave
