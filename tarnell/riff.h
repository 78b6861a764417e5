#pragma once

#include <tarnell/visibility.h>

#include <cstdint>

class CRefObj;

namespace tarnell {

// The little-endian 32-bit value of a four-character code as it appears in a RIFF file:
// FourCC("WAVE").
constexpr uint32_t FourCC(const char (&s)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(s[0])) |
         static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[3])) << 24;
}

}  // namespace tarnell

// A level of the cursor: the RIFF form or a LIST chunk. `type` is the form or list type.
struct _chunkInfo {
  uint32_t id;
  uint32_t size;
  uint32_t type;
};

struct _subChunk {
  uint32_t id;
  uint32_t size;
};

static_assert(sizeof(_chunkInfo) == 12 && sizeof(_subChunk) == 8, "chunk headers are stored");

// Reads and writes RIFF-structured data on any data object, through its plain stream
// operations (the data window is not used).
//
// The cursor is a stack of nested levels (the form, then LIST chunks) and a current
// sub-chunk inside the innermost level. Reading moves it from chunk to chunk and leaves the
// data object at the first data byte of the current sub-chunk, so Read continues there.
//
// Writing appends at the end of the form and patches the size of every enclosing level after
// each call, so the data is a well-formed RIFF file between calls. Chunks are never padded:
// writers that want even sizes pad their data themselves, and the reader never skips a pad
// byte. Bulk payloads go through a stream, whose sizes are patched by EndWriteStream (and,
// for a stream that must survive a crash, by PatchStreamSizes on the way); while a stream is
// open the other write operations are refused.
//
// Results: 1/0 (or byte counts); the detail of a failure is in the thread's last-error value
// (tarnell/errors.h). Not locked: one thread uses a CRIFF and its data object at a time.
class TARNELL_API CRIFF {
 public:
  static constexpr int kMaxLevels = 50;

  CRIFF();
  CRIFF(const CRIFF&) = delete;
  CRIFF& operator=(const CRIFF&) = delete;

  // Drops the data-object reference.
  virtual ~CRIFF();
  // Drops the data-object reference and forgets the object.
  virtual void Close();

  // Starts reading the form at the object's current position; `formInfo` (may be null)
  // receives its header. A form size of 0 (a writer that stopped early) means the rest of
  // the object.
  int Open(CRefObj* object, _chunkInfo* formInfo);
  // Starts writing a new form at offset 0 of a writable object.
  int Create(CRefObj* object, unsigned long formType);

  // Enters the current LIST sub-chunk; returns 0 with the cursor unchanged otherwise.
  int Descend();
  // Leaves the innermost list, which becomes the current sub-chunk.
  int Ascend();

  // Finds the chunk `id` in the current level, starting after the current sub-chunk (or at it
  // unless `skipCurrent`). With `restoreOnFailure`, a failed search leaves the cursor and the
  // stream position as they were. A "data" chunk of size 0 is reported as running to the end
  // of the object.
  int SeekToChunk(unsigned long id, int skipCurrent, int restoreOnFailure);
  // 0 without a code at the exact end of the level.
  int SeekToNextChunk();
  int SeekToPreviousChunk();
  int SeekToLevelBeginning();
  // `offset` must lie inside the current level (its header included).
  int SeekToChunkAtOffset(long offset);

  void GetCurrentChunkInfo(_chunkInfo* level, _subChunk* sub);

  // Reads from the start of the current sub-chunk's data; -1 when it cannot be reached. A
  // count that differs from the chunk's size is delivered but leaves 0x20000100.
  long ReadCurrentSubChunk(char* buf, long count);
  // Reads at the current position.
  long Read(char* buf, long count);

  int WriteSubChunk(unsigned long id, void* data, long size);
  // Appends raw bytes to the innermost level (for callers that build a chunk piecewise).
  long Write(char* data, long count);
  // Appends an empty list; Descend() to fill it and Ascend() when it is complete.
  int WriteListChunkHeader(unsigned long type);

  int StartWriteStream(unsigned long id);
  long WriteStreamData(void* data, long count);
  long CurrentStreamDataCount();
  // Writes the sizes the open stream has reached into its header and the headers of every
  // enclosing level, without ending it: should the writer stop here without EndWriteStream (a
  // crash), the data is a complete RIFF file up to this point. The stream goes on afterwards.
  // 1, or 0 when a header could not be written.
  int PatchStreamSizes();
  int EndWriteStream();

  int LevelsDown();
  // No reference is added.
  CRefObj* GetRefObj();

 private:
  int UpdateChunk(long offset, long delta);
  int UpdateAllMasterChunks(long delta);
  // The enclosing levels' headers grow by `delta`; with `inMemory` their sizes here too.
  int UpdateEnclosing(long delta, bool inMemory);

  void Forget();
  int ReadHeader(_subChunk* out);
  int ReadHeaderAt(long offset, _subChunk* out);
  int SeekTo(long offset);
  long LevelEnd() const;
  long FormEnd() const;
  int CanAppend(long bytes);
  int Fail(uint32_t code);

  CRefObj* object_ = nullptr;
  int levels_down_ = -1;
  // Entry k holds the header offset of level k once the cursor descended below it.
  long level_starts_[kMaxLevels] = {};
  long form_start_ = 0;
  _chunkInfo master_{};
  _chunkInfo level_{};
  long level_offset_ = 0;
  _subChunk sub_{};
  long sub_offset_ = 0;
  int writing_ = 0;
  int streaming_ = 0;
  long stream_count_ = 0;
  long stream_header_ = 0;
  long stream_patched_ = 0;  // stream bytes (its header included) the level headers count
};
