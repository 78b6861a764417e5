#pragma once

#include <sonark/visibility.h>
#include <sonark/containers/my_array_list.h>

#include <atomic>
#include <climits>
#include <cstdint>

// Where decoding of compressed audio can restart: entries of (byte offset of a frame counted
// from the data start, PCM bytes decoded before that frame), sorted by the PCM position. A
// sound and its streaming buffers share one map by reference count.
//
// The map is cached in a ".isk" side file: a headerless run of 8-byte little-endian records
// (frame offset u32, PCM position i32) in list order.
//
// Ownership: the creator holds one reference; release with DeleteSeekMap, never delete. The
// count is atomic; the entries are not guarded: a map is filled by the one load that built
// it, and read only after that.
class SONARK_API CSeekMap {
 public:
  CSeekMap();
  CSeekMap(const CSeekMap&) = delete;
  CSeekMap& operator=(const CSeekMap&) = delete;

  void AddReference();
  // Drops one reference and returns the new count; the last one destroys the map.
  long Release();
  long References() const;

  // Inserts in PCM-position order. 0 when out of memory (kErrOutOfMemory).
  int AddEntry(uint32_t frameOffset, int32_t pcmPosition);
  int Count() const;
  // Entry `index`, clamped into the list; 0 for an empty map.
  uint32_t ElementAt(int index) const;
  int32_t SortValueAt(int index) const;
  // Where to restart decoding for `pcmPosition`: the last entry whose position is not above
  // it (entry 0 when every entry lies above), moved back by `stepsBack` entries and clamped
  // into the list. Returns its index and fills the frame offset and its PCM position; -1 for
  // an empty map.
  int FindBySortValue(long pcmPosition, long stepsBack, uint32_t* frameOffset,
                      int32_t* pcmPositionOut) const;

  // Replaces the entries by those of the file and remembers its path. A file that is empty,
  // not a whole number of records, or out of order (frame offsets or PCM positions going
  // back, negative positions) is not ours: 0 with the map unchanged (kErrSeekMapDamaged, or
  // the open's code).
  int LoadFromFile(const char* path);
  // Writes every entry to `path` through a temporary file renamed into place, so no reader
  // ever sees half a map, and remembers the path. 0 (kErrSeekMapWrite) leaves no file.
  int SaveToFile(const char* path);
  // Deletes the remembered file, if any, and forgets the path.
  int DeleteFile();
  // The remembered file ("" when none).
  const char* FilePath() const { return file_path_; }

 private:
  ~CSeekMap();
  friend SONARK_API void DeleteSeekMap(CSeekMap** holder);

  std::atomic<long> references_{1};
  CMyArrayList entries_;  // items hold the frame offsets
  char file_path_[PATH_MAX] = {};
};

// Drops the holder's reference (the last destroys the map) and nulls the holder.
SONARK_API void DeleteSeekMap(CSeekMap** holder);
