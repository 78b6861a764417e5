#include <platform/byte_order.h>
#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/fail.h>
#include <sonark/load/seek_map.h>
#include <tarnell/file_obj.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using sonark::Fail;

namespace {

using platform::GetLe32;
using platform::PutLe32;

constexpr long kRecordSize = 8;
// Records per read or write: 64 KiB at a time.
constexpr long kRecordsPerBlock = 8192;

void* ItemOf(uint32_t frameOffset) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(frameOffset));
}

uint32_t FrameOf(void* item) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(item)); }

// The temporary name a map is written under before it replaces the real file. It keeps the
// ".isk" ending so that a clean-up of side files also removes one left by a crash.
std::string TemporaryPath(const std::string& path) {
  constexpr const char* kSuffix = ".isk";
  if (path.size() > 4 && path.compare(path.size() - 4, 4, kSuffix) == 0) {
    return path.substr(0, path.size() - 4) + ".new.isk";
  }
  return path + ".new";
}

}  // namespace

CSeekMap::CSeekMap() = default;

CSeekMap::~CSeekMap() = default;

void CSeekMap::AddReference() { references_.fetch_add(1, std::memory_order_relaxed); }

long CSeekMap::Release() {
  const long left = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left < 1) delete this;
  return left;
}

long CSeekMap::References() const { return references_.load(std::memory_order_relaxed); }

void DeleteSeekMap(CSeekMap** holder) {
  if (holder == nullptr || *holder == nullptr) return;
  CSeekMap* map = *holder;
  *holder = nullptr;
  map->Release();
}

int CSeekMap::AddEntry(uint32_t frameOffset, int32_t pcmPosition) {
  const int before = entries_.Count();
  // Frames that decode to nothing share their position with the next one; they keep their
  // order of arrival (the sorted insert would put an equal first key in front).
  long last = 0;
  if (before > 0) entries_.Index(before - 1, &last);
  const int added = before > 0 && pcmPosition >= last
                        ? entries_.AppendToTail(ItemOf(frameOffset), pcmPosition)
                        : entries_.AddSorted(ItemOf(frameOffset), pcmPosition);
  if (added < 0 || entries_.Count() == before) {
    return Fail(sonark::kErrOutOfMemory);
  }
  return 1;
}

int CSeekMap::Count() const { return entries_.Count(); }

uint32_t CSeekMap::ElementAt(int index) const {
  const int count = entries_.Count();
  if (count == 0) return 0;
  return FrameOf(entries_.Index(std::clamp(index, 0, count - 1)));
}

int32_t CSeekMap::SortValueAt(int index) const {
  const int count = entries_.Count();
  if (count == 0) return 0;
  long value = 0;
  entries_.Index(std::clamp(index, 0, count - 1), &value);
  return static_cast<int32_t>(value);
}

int CSeekMap::FindBySortValue(long pcmPosition, long stepsBack, uint32_t* frameOffset,
                              int32_t* pcmPositionOut) const {
  const int count = entries_.Count();
  if (count == 0) return -1;
  // The list's own lookup answers a two-entry list by its first key alone, which would
  // restart a decode past the wanted position; a plain search for the last entry not above
  // the position is exact for every length.
  int low = 0;
  int high = count;  // first entry above the position lies in [low, high]
  while (low < high) {
    const int mid = low + (high - low) / 2;
    long value = 0;
    entries_.Index(mid, &value);
    if (value <= pcmPosition) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  long index = std::max(low - 1, 0);
  index = std::clamp(index - stepsBack, 0L, static_cast<long>(count - 1));
  long value = 0;
  void* item = entries_.Index(static_cast<int>(index), &value);
  if (frameOffset != nullptr) *frameOffset = FrameOf(item);
  if (pcmPositionOut != nullptr) *pcmPositionOut = static_cast<int32_t>(value);
  return static_cast<int>(index);
}

int CSeekMap::LoadFromFile(const char* path) {
  if (path == nullptr || path[0] == '\0' || std::strlen(path) >= sizeof(file_path_)) {
    return Fail(sonark::kErrSeekMapDamaged);
  }
  CFileObj file;
  if (!file.Open(path, 0, 0)) return 0;
  const long size = file.Size();
  // An entry per frame: a map beyond what CMyArrayList can index is no map of ours.
  if (size <= 0 || size % kRecordSize != 0 || size / kRecordSize > INT32_MAX) {
    return Fail(sonark::kErrSeekMapDamaged);
  }
  const long records = size / kRecordSize;

  CMyArrayList loaded;
  std::vector<unsigned char> block;
  long previousFrame = -1;
  long previousPosition = 0;
  for (long done = 0; done < records;) {
    const long count = std::min(kRecordsPerBlock, records - done);
    block.resize(static_cast<size_t>(count * kRecordSize));
    if (file.Read(reinterpret_cast<char*>(block.data()), count * kRecordSize) !=
        count * kRecordSize) {
      return Fail(sonark::kErrSeekMapDamaged);
    }
    for (long i = 0; i < count; ++i) {
      const uint32_t frame = GetLe32(&block[static_cast<size_t>(i * kRecordSize)]);
      const auto position =
          static_cast<int32_t>(GetLe32(&block[static_cast<size_t>(i * kRecordSize + 4)]));
      if (position < previousPosition || static_cast<long>(frame) < previousFrame) {
        return Fail(sonark::kErrSeekMapDamaged);
      }
      previousFrame = frame;
      previousPosition = position;
      const int before = loaded.Count();
      loaded.AppendToTail(ItemOf(frame), position);
      if (loaded.Count() == before) return Fail(sonark::kErrOutOfMemory);
    }
    done += count;
  }
  entries_ = loaded;
  if (entries_.Count() != loaded.Count()) {
    entries_.RemoveAll();
    return Fail(sonark::kErrOutOfMemory);
  }
  std::strcpy(file_path_, path);
  return 1;
}

int CSeekMap::SaveToFile(const char* path) {
  if (path == nullptr || path[0] == '\0' || std::strlen(path) >= sizeof(file_path_)) {
    return Fail(sonark::kErrSeekMapWrite);
  }
  const std::string temporary = TemporaryPath(path);
  CFileObj file;
  if (!file.Create(temporary.c_str())) return Fail(sonark::kErrSeekMapWrite);
  const long records = entries_.Count();
  std::vector<unsigned char> block;
  bool written = true;
  for (long done = 0; written && done < records;) {
    const long count = std::min(kRecordsPerBlock, records - done);
    block.resize(static_cast<size_t>(count * kRecordSize));
    for (long i = 0; i < count; ++i) {
      long value = 0;
      void* item = entries_.Index(static_cast<int>(done + i), &value);
      PutLe32(&block[static_cast<size_t>(i * kRecordSize)], FrameOf(item));
      PutLe32(&block[static_cast<size_t>(i * kRecordSize + 4)], static_cast<uint32_t>(value));
    }
    written = file.Write(reinterpret_cast<const char*>(block.data()), count * kRecordSize) ==
              count * kRecordSize;
    done += count;
  }
  file.Close();
  if (!written || std::rename(temporary.c_str(), path) != 0) {
    std::remove(temporary.c_str());
    return Fail(sonark::kErrSeekMapWrite);
  }
  std::strcpy(file_path_, path);
  return 1;
}

int CSeekMap::DeleteFile() {
  if (file_path_[0] == '\0') return 0;
  const int removed = std::remove(file_path_) == 0 ? 1 : 0;
  file_path_[0] = '\0';
  return removed;
}
