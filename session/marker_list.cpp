#include <platform/byte_order.h>
#include <session/marker_list.h>
#include <tarnell/ref_obj.h>
#include <tarnell/riff.h>
#include <utilities/string_table.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

constexpr unsigned long kMarkerChunkId = tarnell::FourCC("tmrk");
constexpr long kCountBytes = 4;
constexpr int32_t kStartColour = 0xFF0000;

int32_t ClampTime(long time) {
  if (time < 0) return 0;
  if (time > INT32_MAX) return INT32_MAX;
  return static_cast<int32_t>(time);
}

void SetTitle(MarkerRecord* record, const char* title) {
  std::memset(record->title, 0, sizeof record->title);
  if (title != nullptr) std::memcpy(record->title, title, strnlen(title, sizeof record->title - 1));
}

void PutRecord(unsigned char* out, const MarkerRecord& record) {
  platform::PutLe32(out, static_cast<uint32_t>(record.time));
  std::memcpy(out + 4, record.title, sizeof record.title);
  platform::PutLe32(out + 132, static_cast<uint32_t>(record.cdTrack));
  platform::PutLe32(out + 136, static_cast<uint32_t>(record.movable));
  platform::PutLe32(out + 140, static_cast<uint32_t>(record.colour));
}

MarkerRecord GetRecord(const unsigned char* in) {
  MarkerRecord record;
  record.time = std::max(platform::GetLeSigned32(in), 0);
  std::memcpy(record.title, in + 4, sizeof record.title);
  // A title that fills its field is cut rather than read on into the flags.
  record.title[sizeof record.title - 1] = '\0';
  record.cdTrack = platform::GetLeSigned32(in + 132);
  record.movable = platform::GetLeSigned32(in + 136);
  record.colour = platform::GetLeSigned32(in + 140);
  return record;
}

}  // namespace

MarkerRecord StartMarker() {
  MarkerRecord record;
  char title[sizeof record.title] = "";
  // Without a strings file the lookup answers with the key itself.
  if (!MyLoadString("IDS_START", title, sizeof title) || std::strcmp(title, "IDS_START") == 0)
    std::strcpy(title, "Start");
  SetTitle(&record, title);
  record.time = 0;
  record.cdTrack = 1;
  record.movable = 0;
  record.colour = kStartColour;
  return record;
}

int MarkerList::FindTimeLocked(int32_t time) const {
  for (size_t i = 0; i < records_.size(); ++i)
    if (records_[i].time == time) return static_cast<int>(i);
  return -1;
}

int MarkerList::InsertLocked(const MarkerRecord& record) {
  if (FindTimeLocked(record.time) >= 0) return -1;
  auto at =
      std::upper_bound(records_.begin(), records_.end(), record.time,
                       [](int32_t time, const MarkerRecord& other) { return time < other.time; });
  at = records_.insert(at, record);
  return static_cast<int>(at - records_.begin());
}

void MarkerList::RecountLocked() {
  cd_tracks_ = static_cast<int>(std::count_if(
      records_.begin(), records_.end(), [](const MarkerRecord& r) { return r.cdTrack != 0; }));
}

int MarkerList::Add(long time, const char* title, int cdTrack, int32_t colour) {
  MarkerRecord record;
  record.time = ClampTime(time);
  SetTitle(&record, title);
  record.cdTrack = cdTrack ? 1 : 0;
  record.movable = 1;
  record.colour = colour;
  std::lock_guard<std::mutex> guard(lock_);
  const int index = InsertLocked(record);
  if (index < 0) return -1;
  RecountLocked();
  last_changed_ = index;
  return index;
}

int MarkerList::Change(int index, long time, const char* title, int cdTrack, int32_t colour) {
  std::lock_guard<std::mutex> guard(lock_);
  if (index < 0 || index >= static_cast<int>(records_.size())) return -1;
  MarkerRecord record = records_[index];
  if (record.movable) record.time = ClampTime(time);
  const int holder = FindTimeLocked(record.time);
  if (holder >= 0 && holder != index) return -1;
  SetTitle(&record, title);
  record.cdTrack = cdTrack ? 1 : 0;
  record.colour = colour;
  records_.erase(records_.begin() + index);
  const int placed = InsertLocked(record);
  RecountLocked();
  last_changed_ = placed;
  return placed;
}

int MarkerList::Move(int index, long time) {
  std::lock_guard<std::mutex> guard(lock_);
  if (index < 0 || index >= static_cast<int>(records_.size())) return -1;
  MarkerRecord record = records_[index];
  if (!record.movable) return -1;
  record.time = ClampTime(time);
  const int holder = FindTimeLocked(record.time);
  if (holder >= 0) return holder == index ? index : -1;
  records_.erase(records_.begin() + index);
  last_changed_ = InsertLocked(record);
  return last_changed_;
}

void MarkerList::Remove(int index) {
  std::lock_guard<std::mutex> guard(lock_);
  if (index == -1) {
    records_.clear();
  } else if (index >= 0 && index < static_cast<int>(records_.size())) {
    records_.erase(records_.begin() + index);
  }
  RecountLocked();
  last_changed_ = -1;
}

void MarkerList::ResetToStart() {
  const MarkerRecord start = StartMarker();
  std::lock_guard<std::mutex> guard(lock_);
  records_.assign(1, start);
  RecountLocked();
  last_changed_ = -1;
}

int MarkerList::Count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<int>(records_.size());
}

int MarkerList::CdTrackCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return cd_tracks_;
}

int MarkerList::CdTrackOrdinal(int index) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (index < 0 || index >= static_cast<int>(records_.size())) return 0;
  int before = 0;
  for (int i = 0; i < index; ++i) before += records_[i].cdTrack != 0 ? 1 : 0;
  return before + 1;
}

int MarkerList::MarkerBefore(long time) const {
  std::lock_guard<std::mutex> guard(lock_);
  int found = -1;
  for (size_t i = 0; i < records_.size() && records_[i].time <= time; ++i)
    found = static_cast<int>(i);
  return found;
}

int MarkerList::LastChanged() const {
  std::lock_guard<std::mutex> guard(lock_);
  return last_changed_;
}

bool MarkerList::Get(int index, MarkerRecord* out) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (index < 0 || index >= static_cast<int>(records_.size())) return false;
  *out = records_[index];
  return true;
}

std::vector<MarkerRecord> MarkerList::Records() const {
  std::lock_guard<std::mutex> guard(lock_);
  return records_;
}

unsigned long MarkerList::ChunkBytes() const {
  std::lock_guard<std::mutex> guard(lock_);
  return kCountBytes + kRecordBytes * records_.size();
}

std::vector<unsigned char> MarkerList::ChunkData() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<unsigned char> data(kCountBytes + kRecordBytes * records_.size());
  platform::PutLe32(data.data(), static_cast<uint32_t>(records_.size()));
  for (size_t i = 0; i < records_.size(); ++i)
    PutRecord(data.data() + kCountBytes + kRecordBytes * i, records_[i]);
  return data;
}

int MarkerList::WriteChunk(CRIFF* riff) const {
  std::vector<unsigned char> data = ChunkData();
  if (!riff->StartWriteStream(kMarkerChunkId)) return 0;
  const long wrote = riff->WriteStreamData(data.data(), static_cast<long>(data.size()));
  // The stream is closed even after a short write, so the file stays well formed.
  const int ended = riff->EndWriteStream();
  return wrote == static_cast<long>(data.size()) && ended ? 1 : 0;
}

void MarkerList::ReadChunkData(const unsigned char* data, size_t size) {
  const size_t whole = size > kCountBytes ? (size - kCountBytes) / kRecordBytes : 0;
  std::lock_guard<std::mutex> guard(lock_);
  records_.clear();
  for (size_t i = 0; i < whole; ++i) InsertLocked(GetRecord(data + kCountBytes + kRecordBytes * i));
  RecountLocked();
  last_changed_ = -1;
}

int MarkerList::ReadChunk(CRIFF* riff) {
  _chunkInfo level{};
  _subChunk sub{};
  riff->GetCurrentChunkInfo(&level, &sub);
  if (sub.id != kMarkerChunkId) return 0;
  // The declared size is checked against the file before anything is allocated for it.
  CRefObj* file = riff->GetRefObj();
  const long left = file != nullptr ? file->Size() - file->Tell() : -1;
  if (left < 0 || static_cast<long>(sub.size) > left) return -1;
  std::vector<unsigned char> data(sub.size);
  const long size = static_cast<long>(sub.size);
  if (size > 0 && riff->ReadCurrentSubChunk(reinterpret_cast<char*>(data.data()), size) != size)
    return -1;
  ReadChunkData(data.data(), data.size());
  return 1;
}
