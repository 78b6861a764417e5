// The stored form of an envelope map: the "smap" chunk of session files.

#include <platform/byte_order.h>
#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/containers/map.h>
#include <tarnell/errors.h>
#include <tarnell/ref_obj.h>
#include <tarnell/riff.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

namespace {

using platform::PutLe32;

constexpr uint32_t kMapChunkId = tarnell::FourCC("smap");
constexpr unsigned long kEventHeaderBytes = 12;
constexpr unsigned long kCountBytes = 4;

// Times are stored in 32 bits; a time beyond their range (24 days) is held at its limit.
int32_t StoredTime(long time) {
  if (time > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (time < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(time);
}

struct StoredEvent {
  int32_t type;
  int32_t time;
  const unsigned char* payload;
  uint32_t size;
};

// Checks the whole chunk before anything is added: every count is bounded by the bytes that
// are really there. False for a chunk that is short or inconsistent.
bool ParseMapChunk(const unsigned char* data, unsigned long size,
                   std::vector<StoredEvent>* events) {
  if (size < kCountBytes) return false;
  int32_t count = platform::GetLeSigned32(data);
  unsigned long left = size - kCountBytes;
  if (count < 0 || static_cast<unsigned long>(count) > left / kEventHeaderBytes) return false;
  const unsigned char* at = data + kCountBytes;
  events->reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    if (left < kEventHeaderBytes) return false;
    StoredEvent event{platform::GetLeSigned32(at), platform::GetLeSigned32(at + 4), at + kEventHeaderBytes, 0};
    int32_t payload = platform::GetLeSigned32(at + 8);
    left -= kEventHeaderBytes;
    if (payload < 0 || static_cast<unsigned long>(payload) > left) return false;
    event.size = static_cast<uint32_t>(payload);
    at += kEventHeaderBytes + event.size;
    left -= event.size;
    events->push_back(event);
  }
  return true;
}

}  // namespace

unsigned long CMap::MapSaveSize() const {
  unsigned long total = 0;
  int count = events_.Count();
  for (int i = 0; i < count; ++i) {
    total += static_cast<_tvol_pan_data*>(events_.Index(i))->size + kEventHeaderBytes;
  }
  return total;
}

int CMap::WriteMap(CRIFF* riff) {
  if (riff == nullptr) return 0;
  int count = events_.Count();
  for (int i = 0; i < count; ++i) {
    // A payload the 32-bit size field cannot describe would corrupt the chunk.
    if (static_cast<_tvol_pan_data*>(events_.Index(i))->size >
        static_cast<unsigned long>(std::numeric_limits<int32_t>::max())) {
      platform::set_last_error(tarnell::kErrRiffRead);
      return 0;
    }
  }
  const unsigned long bytes = kCountBytes + MapSaveSize();
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[bytes]);
  if (!buffer) {
    platform::set_last_error(sonark::kErrOutOfMemory);
    return 0;
  }
  // The whole chunk is built in memory so that it goes out in one stream write.
  unsigned char* at = buffer.get();
  PutLe32(at, static_cast<uint32_t>(count));
  at += kCountBytes;
  for (int i = 0; i < count; ++i) {
    long time = 0;
    auto* event = static_cast<_tvol_pan_data*>(events_.Index(i, &time));
    PutLe32(at, static_cast<uint32_t>(event->type));
    PutLe32(at + 4, static_cast<uint32_t>(StoredTime(time)));
    PutLe32(at + 8, static_cast<uint32_t>(event->size));
    at += kEventHeaderBytes;
    if (event->size > 0) std::memcpy(at, event->data, event->size);
    at += event->size;
  }

  if (!riff->StartWriteStream(kMapChunkId)) return 0;
  long written = riff->WriteStreamData(buffer.get(), static_cast<long>(bytes));
  // The stream is closed in any case so that the file stays well formed.
  int ended = riff->EndWriteStream();
  return (written == static_cast<long>(bytes) && ended) ? 1 : 0;
}

int CMap::ReadMap(CRIFF* riff) {
  if (riff == nullptr) return 0;
  _chunkInfo level{};
  _subChunk sub{};
  riff->GetCurrentChunkInfo(&level, &sub);
  // Reading another chunk as a map would invent events and skip a chunk the caller needs.
  if (sub.id != kMapChunkId) {
    platform::set_last_error(tarnell::kErrNoSuchChunk);
    return 0;
  }
  const unsigned long size = sub.size;
  // A size beyond the whole object cannot be real; it must not drive the allocation.
  CRefObj* object = riff->GetRefObj();
  bool plausible = object != nullptr && size <= static_cast<unsigned long>(object->Size());
  std::unique_ptr<unsigned char[]> buffer;
  long got = -1;
  if (plausible && size > 0) {
    buffer.reset(new (std::nothrow) unsigned char[size]);
    if (!buffer) {
      platform::set_last_error(sonark::kErrOutOfMemory);
      return 0;
    }
    got = riff->ReadCurrentSubChunk(reinterpret_cast<char*>(buffer.get()), static_cast<long>(size));
  }
  std::vector<StoredEvent> events;
  bool valid = got == static_cast<long>(size) && ParseMapChunk(buffer.get(), size, &events);
  riff->SeekToNextChunk();
  if (!valid) {
    platform::set_last_error(tarnell::kErrRiffRead);
    return 0;
  }

  int result = 1;
  for (const StoredEvent& event : events) {
    void* data = nullptr;
    if (event.size > 0) {
      data = std::malloc(event.size);
      if (data == nullptr) {
        platform::set_last_error(sonark::kErrOutOfMemory);
        result = 0;
        break;
      }
      std::memcpy(data, event.payload, event.size);
    }
    // Events the map refuses (a second one of a kind at one time) are skipped. Stored order
    // is kept, so a map reads and writes back byte for byte.
    if (Insert(event.type, event.time, data, event.size, true) < 0) std::free(data);
  }
  return result;
}
