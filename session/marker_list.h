#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

class CRIFF;

// A named point in session time. The layout is the stored one (144 bytes, little-endian on
// the disk): time in ms, a zero-terminated title, the CD-track separator flag, the movable
// flag (0 = fixed) and a colour with red in the low byte.
struct MarkerRecord {
  int32_t time = 0;
  char title[128] = {};
  int32_t cdTrack = 0;
  int32_t movable = 1;
  int32_t colour = 0;
};
static_assert(sizeof(MarkerRecord) == 144, "marker records are stored as they are");

// The marker every new session starts with: time 0, titled by "IDS_START", a CD-track
// separator, colour 0xFF0000, fixed.
MarkerRecord StartMarker();

// The markers of a session, sorted by time; two markers never share a time. Indexes are
// positions in that order. Every operation takes the list's own lock, so the time line may
// read the list while a background load replaces it.
class MarkerList {
 public:
  static constexpr long kRecordBytes = 144;

  MarkerList() = default;
  MarkerList(const MarkerList&) = delete;
  MarkerList& operator=(const MarkerList&) = delete;

  // A new movable marker; a time below 0 becomes 0. The index it got, or -1 when a marker
  // already sits at that time.
  int Add(long time, const char* title, int cdTrack, int32_t colour);
  // Puts the marker at `index` at its new time with the new title, flag and colour; a fixed
  // marker keeps its time. The new index, or -1 for a bad index or an occupied time (nothing
  // changes then).
  int Change(int index, long time, const char* title, int cdTrack, int32_t colour);
  // Only a movable marker moves, and only to a free time. The new index, or -1.
  int Move(int index, long time);
  // Removes one marker, or every marker with index -1.
  void Remove(int index);
  // Leaves only the start marker.
  void ResetToStart();

  int Count() const;
  int CdTrackCount() const;
  // The number of separators before the marker plus 1; 0 for a bad index.
  int CdTrackOrdinal(int index) const;
  // The last marker at or before `time`, or -1 when every marker lies after it.
  int MarkerBefore(long time) const;
  // The index of the marker last added or moved (-1 when none).
  int LastChanged() const;
  // False for a bad index.
  bool Get(int index, MarkerRecord* out) const;
  std::vector<MarkerRecord> Records() const;

  // The stored form: a 4-byte count and the records, as the "tmrk" chunk holds them.
  std::vector<unsigned char> ChunkData() const;
  // Bytes of ChunkData (the chunk header not counted).
  unsigned long ChunkBytes() const;
  // Appends the "tmrk" chunk; 1 on success.
  int WriteChunk(CRIFF* riff) const;
  // Replaces the list with the records of a "tmrk" chunk's data: the whole records that fit
  // in `size` bytes from offset 4 (the count field is not trusted), inserted by time; a
  // record at a time already taken is dropped.
  void ReadChunkData(const unsigned char* data, size_t size);
  // When the current chunk is "tmrk", reads it as above and returns 1; 0 for another chunk
  // (the list unchanged); -1 when the chunk runs past the end of the file.
  int ReadChunk(CRIFF* riff);

 private:
  int InsertLocked(const MarkerRecord& record);
  int FindTimeLocked(int32_t time) const;
  void RecountLocked();

  mutable std::mutex lock_;
  std::vector<MarkerRecord> records_;
  int cd_tracks_ = 0;
  int last_changed_ = -1;
};
