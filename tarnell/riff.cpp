#include <platform/byte_order.h>
#include <platform/last_error.h>
#include <tarnell/errors.h>
#include <tarnell/ref_obj.h>
#include <tarnell/riff.h>

#include <algorithm>

namespace {

using platform::GetLe32;
using platform::PutLe32;

using tarnell::FourCC;

constexpr uint32_t kRiffId = FourCC("RIFF");
constexpr uint32_t kListId = FourCC("LIST");
constexpr uint32_t kDataId = FourCC("data");

// Sizes are 32-bit on disk; every offset built from them is computed in 64 bits.
constexpr long kMaxChunkSize = 0xFFFFFFFFL;
constexpr long kHeaderBytes = 8;
constexpr long kListHeaderBytes = 12;

// The rest of an object after a header at `offset`, as a 32-bit size.
uint32_t RestOfObject(long objectSize, long offset, long headerBytes) {
  return static_cast<uint32_t>(std::clamp(objectSize - offset - headerBytes, 0L, kMaxChunkSize));
}

}  // namespace

CRIFF::CRIFF() = default;

CRIFF::~CRIFF() { Forget(); }

void CRIFF::Close() { Forget(); }

void CRIFF::Forget() {
  levels_down_ = -1;
  writing_ = 0;
  streaming_ = 0;
  stream_count_ = 0;
  stream_patched_ = 0;
  if (object_ != nullptr) {
    CRefObj* held = object_;
    object_ = nullptr;
    DeleteRefObject(&held);
  }
}

int CRIFF::Fail(uint32_t code) {
  platform::set_last_error(code);
  return 0;
}

int CRIFF::SeekTo(long offset) { return offset >= 0 && object_->Seek(offset, 0) ? 1 : 0; }

int CRIFF::ReadHeader(_subChunk* out) {
  unsigned char header[kHeaderBytes];
  if (object_->Read(reinterpret_cast<char*>(header), kHeaderBytes) != kHeaderBytes) return 0;
  out->id = GetLe32(header);
  out->size = GetLe32(header + 4);
  return 1;
}

int CRIFF::ReadHeaderAt(long offset, _subChunk* out) { return SeekTo(offset) && ReadHeader(out); }

long CRIFF::LevelEnd() const {
  return level_offset_ + static_cast<long>(level_.size) + kHeaderBytes;
}

long CRIFF::FormEnd() const { return form_start_ + static_cast<long>(master_.size) + kHeaderBytes; }

int CRIFF::Open(CRefObj* object, _chunkInfo* formInfo) {
  // Hold the new object before letting go of the old one: they may be the same.
  if (object != nullptr) object->AddReference();
  Forget();
  auto refuse = [&](uint32_t code) {
    if (object != nullptr) DeleteRefObject(&object);
    return Fail(code);
  };
  if (object == nullptr || !object->IsOpen()) return refuse(tarnell::kErrNotOpen);

  const long start = object->Tell();
  unsigned char header[kListHeaderBytes];
  if (object->Read(reinterpret_cast<char*>(header), kListHeaderBytes) != kListHeaderBytes) {
    return refuse(tarnell::kErrRiffRead);
  }
  _chunkInfo form{GetLe32(header), GetLe32(header + 4), GetLe32(header + 8)};
  if (form.id != kRiffId) return refuse(tarnell::kErrNotRiff);
  // A form size of 0 is left by a writer that stopped before patching: the form is the rest
  // of the object. The size counts the form type, so only the 8-byte header is excluded.
  if (form.size == 0) form.size = RestOfObject(object->Size(), start, kHeaderBytes);
  if (formInfo != nullptr) *formInfo = form;

  unsigned char first[kHeaderBytes];
  if (object->Read(reinterpret_cast<char*>(first), kHeaderBytes) != kHeaderBytes ||
      !object->Seek(start, 0)) {
    return refuse(tarnell::kErrRiffRead);
  }

  object_ = object;
  master_ = form;
  level_ = form;
  level_offset_ = start;
  form_start_ = start;
  level_starts_[0] = start;
  sub_ = {GetLe32(first), GetLe32(first + 4)};
  sub_offset_ = start + kListHeaderBytes;
  levels_down_ = 0;
  writing_ = 0;
  platform::clear_last_error();
  return 1;
}

int CRIFF::Create(CRefObj* object, unsigned long formType) {
  if (object != nullptr) object->AddReference();
  Forget();
  if (object == nullptr || !object->IsOpen() || object->WriteMode() == 0) {
    if (object != nullptr) DeleteRefObject(&object);
    return Fail(tarnell::kErrNotOpen);
  }
  master_ = {kRiffId, 4, static_cast<uint32_t>(formType)};
  unsigned char header[kListHeaderBytes];
  PutLe32(header, master_.id);
  PutLe32(header + 4, master_.size);
  PutLe32(header + 8, master_.type);
  if (!object->Seek(0, 0) ||
      object->Write(reinterpret_cast<char*>(header), kListHeaderBytes) != kListHeaderBytes) {
    DeleteRefObject(&object);
    return 0;
  }
  object_ = object;
  level_ = master_;
  level_offset_ = 0;
  form_start_ = 0;
  level_starts_[0] = 0;
  sub_ = {0, 0};
  sub_offset_ = kListHeaderBytes;
  levels_down_ = 0;
  writing_ = 1;
  platform::clear_last_error();
  return 1;
}

int CRIFF::Descend() {
  if (object_ == nullptr) return Fail(tarnell::kErrNotOpen);
  if (sub_.id != kListId) return 0;
  if (levels_down_ >= kMaxLevels - 1) return Fail(tarnell::kErrTooDeep);
  // Appends land at the end of the form, so a writer may only enter the last list of the
  // level; any other list would have its size patched over the chunks that follow it.
  if (writing_ && (sub_offset_ < level_offset_ + kListHeaderBytes ||
                   sub_offset_ + static_cast<long>(sub_.size) + kHeaderBytes != LevelEnd())) {
    return Fail(tarnell::kErrNoSuchChunk);
  }

  // Nothing of the cursor changes until every header has been read.
  const long position = object_->Tell();
  auto fail = [&](uint32_t code) {
    object_->Seek(position, 0);
    return Fail(code);
  };
  unsigned char header[kListHeaderBytes];
  if (!SeekTo(sub_offset_) ||
      object_->Read(reinterpret_cast<char*>(header), kListHeaderBytes) != kListHeaderBytes) {
    return fail(tarnell::kErrLevelHeaderRead);
  }
  const _chunkInfo list{GetLe32(header), GetLe32(header + 4), GetLe32(header + 8)};
  const long firstOffset = sub_offset_ + kListHeaderBytes;
  _subChunk first{0, 0};
  if (!writing_ && !ReadHeaderAt(firstOffset, &first)) return fail(tarnell::kErrRiffRead);

  level_starts_[levels_down_] = level_offset_;
  level_offset_ = sub_offset_;
  level_ = list;
  sub_ = first;
  sub_offset_ = firstOffset;
  ++levels_down_;
  platform::clear_last_error();
  return 1;
}

int CRIFF::Ascend() {
  if (object_ == nullptr) return Fail(tarnell::kErrNotOpen);
  if (levels_down_ <= 0) return 0;
  const long parentStart = level_starts_[levels_down_ - 1];
  _chunkInfo parent{};
  if (levels_down_ == 1) {
    // The form's header on disk may say 0 (see Open); the one in memory is authoritative.
    if (!SeekTo(parentStart + kListHeaderBytes)) return Fail(tarnell::kErrLevelHeaderRead);
    parent = master_;
  } else {
    unsigned char header[kListHeaderBytes];
    if (!SeekTo(parentStart) ||
        object_->Read(reinterpret_cast<char*>(header), kListHeaderBytes) != kListHeaderBytes) {
      return Fail(tarnell::kErrLevelHeaderRead);
    }
    parent = {GetLe32(header), GetLe32(header + 4), GetLe32(header + 8)};
  }
  sub_ = {level_.id, level_.size};
  sub_offset_ = level_offset_;
  level_ = parent;
  level_offset_ = parentStart;
  --levels_down_;
  platform::clear_last_error();
  return 1;
}

int CRIFF::SeekToChunk(unsigned long id, int skipCurrent, int restoreOnFailure) {
  if (object_ == nullptr) return Fail(tarnell::kErrNotOpen);
  const long position = object_->Tell();
  if (!skipCurrent && sub_.id == id) {
    platform::clear_last_error();
    return 1;
  }
  auto fail = [&](uint32_t code) {
    if (restoreOnFailure) object_->Seek(position, 0);
    return Fail(code);
  };

  const long levelEnd = LevelEnd();
  long next = sub_offset_ + static_cast<long>(sub_.size) + kHeaderBytes;
  // A chunk is looked at while its whole header lies inside the level.
  if (next + kHeaderBytes > levelEnd) return 0;
  if (!SeekTo(next)) return fail(tarnell::kErrRiffRead);
  for (;;) {
    _subChunk found{};
    if (!ReadHeader(&found)) return fail(tarnell::kErrRiffRead);
    if (!restoreOnFailure || found.id == id) {
      sub_ = found;
      sub_offset_ = next;
    }
    if (found.id == id) {
      if (found.id == kDataId && found.size == 0) {
        sub_.size = RestOfObject(object_->Size(), next, kHeaderBytes);
      }
      platform::clear_last_error();
      return 1;
    }
    // Each step moves on by at least a header, so a damaged level cannot hold us here.
    next += static_cast<long>(found.size) + kHeaderBytes;
    if (!SeekTo(next)) return fail(tarnell::kErrRiffRead);
    if (next + kHeaderBytes > levelEnd) return fail(tarnell::kErrNoSuchChunk);
  }
}

int CRIFF::SeekToNextChunk() {
  if (object_ == nullptr) return Fail(tarnell::kErrNotOpen);
  const long levelEnd = LevelEnd();
  const long next = sub_offset_ + static_cast<long>(sub_.size) + kHeaderBytes;
  if (next == levelEnd) return 0;
  if (next + kHeaderBytes > levelEnd) return Fail(tarnell::kErrNoSuchChunk);
  const long position = object_->Tell();
  _subChunk found{};
  if (!ReadHeaderAt(next, &found)) {
    object_->Seek(position, 0);
    return Fail(tarnell::kErrRiffRead);
  }
  sub_ = found;
  sub_offset_ = next;
  platform::clear_last_error();
  return 1;
}

int CRIFF::SeekToPreviousChunk() {
  if (object_ == nullptr) return Fail(tarnell::kErrNotOpen);
  long offset = level_offset_ + kListHeaderBytes;
  if (sub_offset_ <= offset) return Fail(tarnell::kErrNoSuchChunk);
  _subChunk found{};
  // Chunks only link forwards: walk from the first one to the one just before the cursor.
  for (;;) {
    if (!ReadHeaderAt(offset, &found)) {
      object_->Seek(sub_offset_, 0);
      return Fail(tarnell::kErrRiffRead);
    }
    const long successor = offset + static_cast<long>(found.size) + kHeaderBytes;
    if (successor >= sub_offset_) break;
    offset = successor;
  }
  sub_ = found;
  sub_offset_ = offset;
  platform::clear_last_error();
  return 1;
}

int CRIFF::SeekToLevelBeginning() {
  if (object_ == nullptr) return Fail(tarnell::kErrNotOpen);
  const long first = level_offset_ + kListHeaderBytes;
  const long position = object_->Tell();
  _subChunk found{};
  if (!ReadHeaderAt(first, &found)) {
    object_->Seek(position, 0);
    return Fail(tarnell::kErrLevelHeaderRead);
  }
  sub_ = found;
  sub_offset_ = first;
  platform::clear_last_error();
  return 1;
}

int CRIFF::SeekToChunkAtOffset(long offset) {
  if (object_ == nullptr) return Fail(tarnell::kErrNotOpen);
  if (offset < level_offset_ || offset >= LevelEnd()) return Fail(tarnell::kErrNoSuchChunk);
  const long position = object_->Tell();
  _subChunk found{};
  if (!ReadHeaderAt(offset, &found)) {
    object_->Seek(position, 0);
    return Fail(tarnell::kErrNoSuchChunk);
  }
  sub_ = found;
  sub_offset_ = offset;
  return 1;
}

void CRIFF::GetCurrentChunkInfo(_chunkInfo* level, _subChunk* sub) {
  if (level != nullptr) *level = level_;
  if (sub != nullptr) *sub = sub_;
}

long CRIFF::ReadCurrentSubChunk(char* buf, long count) {
  if (object_ == nullptr) {
    Fail(tarnell::kErrNotOpen);
    return -1;
  }
  if (!SeekTo(sub_offset_ + kHeaderBytes)) {
    Fail(tarnell::kErrRiffRead);
    return -1;
  }
  const long got = count > 0 && buf != nullptr ? object_->Read(buf, count) : 0;
  if (got != static_cast<long>(sub_.size)) platform::set_last_error(tarnell::kErrRiffRead);
  return got;
}

long CRIFF::Read(char* buf, long count) {
  if (object_ == nullptr) return Fail(tarnell::kErrNotOpen);
  const long got = count > 0 && buf != nullptr ? object_->Read(buf, count) : 0;
  if (got < count) platform::set_last_error(tarnell::kErrRiffRead);
  return got;
}

int CRIFF::UpdateChunk(long offset, long delta) {
  unsigned char header[kHeaderBytes];
  if (!SeekTo(offset) ||
      object_->Read(reinterpret_cast<char*>(header), kHeaderBytes) != kHeaderBytes ||
      !SeekTo(offset)) {
    return 0;
  }
  PutLe32(header + 4, GetLe32(header + 4) + static_cast<uint32_t>(delta));
  return object_->Write(reinterpret_cast<char*>(header), kHeaderBytes) == kHeaderBytes ? 1 : 0;
}

int CRIFF::UpdateAllMasterChunks(long delta) { return UpdateEnclosing(delta, true); }

int CRIFF::UpdateEnclosing(long delta, bool inMemory) {
  for (int k = levels_down_ - 1; k >= 1; --k) {
    if (!UpdateChunk(level_starts_[k], delta)) return 0;
  }
  if (inMemory) {
    master_.size += static_cast<uint32_t>(delta);
    level_.size += static_cast<uint32_t>(delta);
  }
  if (levels_down_ > 0) UpdateChunk(level_offset_, delta);
  return UpdateChunk(form_start_, delta);
}

// Every append goes to the end of the form and grows every open level, so it is sound only
// when the innermost level ends there and the levels nest strictly; a form cannot grow past
// 4 GiB. A writer built with Create always meets the first two; a form opened for reading
// meets them when the cursor stands in its last list, and must also end its object, or the
// append would overwrite what follows it (a tag behind a wave file, say).
int CRIFF::CanAppend(long bytes) {
  if (object_ == nullptr || streaming_ || object_->WriteMode() == 0 || bytes < 0) {
    return Fail(tarnell::kErrNotOpen);
  }
  if (static_cast<long>(master_.size) + bytes > kMaxChunkSize || LevelEnd() != FormEnd() ||
      (!writing_ && FormEnd() != object_->Size())) {
    return Fail(tarnell::kErrNotOpen);
  }
  long below = level_offset_;
  for (int k = levels_down_ - 1; k >= 0; --k) {
    if (level_starts_[k] >= below) return Fail(tarnell::kErrNotOpen);
    below = level_starts_[k];
  }
  return 1;
}

int CRIFF::WriteSubChunk(unsigned long id, void* data, long size) {
  if (size < 0 || (size > 0 && data == nullptr)) return Fail(tarnell::kErrNotOpen);
  if (!CanAppend(size + kHeaderBytes)) return 0;
  const long at = FormEnd();
  unsigned char header[kHeaderBytes];
  PutLe32(header, static_cast<uint32_t>(id));
  PutLe32(header + 4, static_cast<uint32_t>(size));
  if (!SeekTo(at) ||
      object_->Write(reinterpret_cast<char*>(header), kHeaderBytes) != kHeaderBytes ||
      (size > 0 && object_->Write(static_cast<const char*>(data), size) != size)) {
    return 0;
  }
  // A writer's cursor stays at the end of the data, where the next chunk goes.
  if (writing_) {
    sub_ = {0, 0};
    sub_offset_ = at + size + kHeaderBytes;
  }
  return UpdateAllMasterChunks(size + kHeaderBytes);
}

long CRIFF::Write(char* data, long count) {
  if (count <= 0 || data == nullptr) return 0;
  if (!CanAppend(count)) return 0;
  // Appending at the end of the form, not at the stream position: a size patch leaves the
  // object near its start, where writing would overwrite the form header.
  const long at = FormEnd();
  if (!SeekTo(at)) return 0;
  const long written = object_->Write(data, count);
  if (written <= 0) return 0;
  if (writing_) {
    sub_ = {0, 0};
    sub_offset_ = at + written;
  }
  UpdateAllMasterChunks(written);
  return written;
}

int CRIFF::WriteListChunkHeader(unsigned long type) {
  if (!CanAppend(kListHeaderBytes)) return 0;
  const long at = FormEnd();
  unsigned char header[kListHeaderBytes];
  PutLe32(header, kListId);
  PutLe32(header + 4, 4);
  PutLe32(header + 8, static_cast<uint32_t>(type));
  if (!SeekTo(at) ||
      object_->Write(reinterpret_cast<char*>(header), kListHeaderBytes) != kListHeaderBytes) {
    return 0;
  }
  sub_ = {kListId, 4};
  sub_offset_ = at;
  return UpdateAllMasterChunks(kListHeaderBytes);
}

int CRIFF::StartWriteStream(unsigned long id) {
  if (!CanAppend(kHeaderBytes)) return 0;
  const long at = FormEnd();
  unsigned char header[kHeaderBytes];
  PutLe32(header, static_cast<uint32_t>(id));
  PutLe32(header + 4, 0);
  if (!SeekTo(at) ||
      object_->Write(reinterpret_cast<char*>(header), kHeaderBytes) != kHeaderBytes) {
    return 0;
  }
  // The header's own offset is kept apart from the cursor so that EndWriteStream patches
  // the stream whatever the cursor did meanwhile.
  stream_header_ = at;
  stream_count_ = 0;
  stream_patched_ = 0;
  streaming_ = 1;
  if (writing_) {
    sub_ = {static_cast<uint32_t>(id), 0};
    sub_offset_ = at;
  }
  return 1;
}

long CRIFF::WriteStreamData(void* data, long count) {
  if (object_ == nullptr || !streaming_) return Fail(tarnell::kErrNotOpen);
  if (count <= 0 || data == nullptr) return 0;
  // The form must still fit its 32-bit size once the stream is counted in.
  const long room = kMaxChunkSize - static_cast<long>(master_.size) - kHeaderBytes - stream_count_;
  if (count > room) {
    platform::set_last_error(tarnell::kErrNotOpen);
    count = std::max(room, 0L);
    if (count == 0) return 0;
  }
  // Reads between stream writes move the object; the data belongs right after what is there.
  const long at = stream_header_ + kHeaderBytes + stream_count_;
  if (object_->Tell() != at && !SeekTo(at)) return 0;
  const long written = object_->Write(static_cast<const char*>(data), count);
  if (written <= 0) return 0;
  stream_count_ += written;
  return written;
}

long CRIFF::CurrentStreamDataCount() { return stream_count_; }

int CRIFF::PatchStreamSizes() {
  if (object_ == nullptr || !streaming_) return Fail(tarnell::kErrNotOpen);
  const long total = stream_count_ + kHeaderBytes;
  if (total == stream_patched_) return 1;
  const long inHeader = stream_patched_ > 0 ? stream_patched_ - kHeaderBytes : 0;
  if (!UpdateChunk(stream_header_, stream_count_ - inHeader) ||
      !UpdateEnclosing(total - stream_patched_, false)) {
    return 0;
  }
  stream_patched_ = total;
  return 1;
}

int CRIFF::EndWriteStream() {
  if (object_ == nullptr || !streaming_) return Fail(tarnell::kErrNotOpen);
  streaming_ = 0;
  const long count = stream_count_;
  const long inHeader = stream_patched_ > 0 ? stream_patched_ - kHeaderBytes : 0;
  const int own = UpdateChunk(stream_header_, count - inHeader);
  // The level headers already count what a patch gave them; the sizes kept here count all.
  int enclosing = UpdateEnclosing(count + kHeaderBytes - stream_patched_, false);
  if (enclosing) {
    master_.size += static_cast<uint32_t>(count + kHeaderBytes);
    level_.size += static_cast<uint32_t>(count + kHeaderBytes);
  }
  if (writing_) {
    sub_ = {0, 0};
    sub_offset_ = stream_header_ + count + kHeaderBytes;
  }
  stream_count_ = 0;
  stream_patched_ = 0;
  return own && enclosing ? 1 : 0;
}

int CRIFF::LevelsDown() { return levels_down_; }

CRefObj* CRIFF::GetRefObj() { return object_; }
