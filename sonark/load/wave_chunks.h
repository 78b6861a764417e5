#pragma once

#include <cstdint>

class CRIFF;
class CRefObj;

namespace sonark::wave {

// Walks the chunks of one level of a RIFF cursor from its first chunk, whatever their order.
//
// RIFF asks writers to follow a chunk of odd size with a pad byte that its size leaves out;
// most tools do, our own writer and some others do not. The cursor itself never skips a pad
// byte, so after an odd-sized chunk the walker takes the next header where a plausible chunk
// id starts: directly behind the chunk, or else one byte further on.
class ChunkWalker {
 public:
  // `riff` must stand in the level to walk; its cursor is moved.
  explicit ChunkWalker(CRIFF& riff);

  // Moves to the level's first chunk; 0 when the level holds none.
  int First();
  // Moves to the chunk after the current one; 0 at the end of the level.
  int Next();
  // From the first chunk of the level, the first chunk `id` (0 when there is none).
  int Find(uint32_t id);

  uint32_t Id() const { return id_; }
  uint32_t Size() const { return size_; }
  // Offset of the current chunk's header, in the object's stream positions.
  long Offset() const { return offset_; }
  long DataOffset() const { return offset_ + 8; }
  // One past the last byte of the level.
  long LevelEnd() const { return level_end_; }
  // A chunk header inside the level, with an id of printable characters, starts at `offset`.
  bool PlausibleIdAt(long offset);

 private:
  int MoveTo(long offset);

  CRIFF& riff_;
  CRefObj* object_;
  long level_end_ = 0;
  long offset_ = -1;
  uint32_t id_ = 0;
  uint32_t size_ = 0;
};

}  // namespace sonark::wave
