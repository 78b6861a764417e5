#include <platform/byte_order.h>
#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/fail.h>
#include <sonark/model/session_chunks.h>
#include <sonark/model/session_report.h>
#include <tarnell/file_obj.h>
#include <tarnell/ref_obj.h>
#include <tarnell/riff.h>

#include <cstring>

namespace sonark::session {

namespace {

using platform::GetLe32;
using platform::GetLe64;
using platform::GetLeSigned32;
using platform::PutLe32;
using platform::PutLe64;

// Record offsets.
constexpr long kAtomLength = 0;
constexpr long kAtomOffset = 4;
constexpr long kAtomInfo = 8;
constexpr long kAtomMarkAt = 520;
constexpr long kAtomDataStart = 524;
constexpr long kAtomFlags = 528;
constexpr long kAtomFileMark = 532;
constexpr long kAtomFileBytes = 536;
constexpr long kAtomDataBytes = 544;
constexpr long kInfoComments = 0;
constexpr long kInfoCreation = 1024;
constexpr long kInfoMarkAt = 1088;
constexpr long kInfoDataSize = 1096;

static_assert(kAtomInfo + sizeof(_infoStruct) == kAtomMarkAt);
static_assert(kInfoCreation + kCreationTimeBytes == kInfoMarkAt);

}  // namespace

void PackAtomRecord(const AtomRecord& record, unsigned char* out) {
  std::memset(out, 0, kAtomRecordBytes);
  PutLe32(out + kAtomLength, static_cast<uint32_t>(record.length));
  PutLe32(out + kAtomOffset, static_cast<uint32_t>(record.absoluteOffset));
  std::memcpy(out + kAtomInfo, &record.info, sizeof record.info);
  PutLe32(out + kAtomMarkAt, record.mark);
  PutLe32(out + kAtomDataStart, static_cast<uint32_t>(record.virtualDataStart));
  PutLe32(out + kAtomFlags, record.chunkFlags);
  if (record.fileBytes >= 0 && record.dataBytes >= 0) {
    PutLe32(out + kAtomFileMark, kSoundFileMark);
    PutLe64(out + kAtomFileBytes, static_cast<uint64_t>(record.fileBytes));
    PutLe64(out + kAtomDataBytes, static_cast<uint64_t>(record.dataBytes));
  }
}

void UnpackAtomRecord(const unsigned char* in, AtomRecord* record) {
  record->length = GetLeSigned32(in + kAtomLength);
  record->absoluteOffset = GetLeSigned32(in + kAtomOffset);
  std::memcpy(&record->info, in + kAtomInfo, sizeof record->info);
  // The name is read as a string; a record without its NUL must not run past it.
  record->info.name[sizeof record->info.name - 1] = '\0';
  record->mark = GetLe32(in + kAtomMarkAt);
  record->virtualDataStart = GetLeSigned32(in + kAtomDataStart);
  record->chunkFlags = GetLe32(in + kAtomFlags);
  record->fileBytes = -1;
  record->dataBytes = -1;
  const auto fileBytes = static_cast<int64_t>(GetLe64(in + kAtomFileBytes));
  const auto dataBytes = static_cast<int64_t>(GetLe64(in + kAtomDataBytes));
  if (GetLe32(in + kAtomFileMark) == kSoundFileMark && fileBytes >= 0 && dataBytes >= 0) {
    record->fileBytes = fileBytes;
    record->dataBytes = dataBytes;
  }
}

void PackGroupInfo(const GroupInfoRecord& record, unsigned char* out) {
  std::memset(out, 0, kGroupInfoBytes);
  std::memcpy(out + kInfoComments, record.comments, kCommentBytes);
  out[kInfoComments + kCommentBytes - 1] = 0;
  std::memcpy(out + kInfoCreation, record.creationTime, kCreationTimeBytes);
  out[kInfoCreation + kCreationTimeBytes - 1] = 0;
  PutLe32(out + kInfoMarkAt, record.mark);
  uint64_t bits = 0;
  static_assert(sizeof bits == sizeof record.dataSize);
  std::memcpy(&bits, &record.dataSize, sizeof bits);
  PutLe32(out + kInfoDataSize, static_cast<uint32_t>(bits));
  PutLe32(out + kInfoDataSize + 4, static_cast<uint32_t>(bits >> 32));
}

void UnpackGroupInfo(const unsigned char* in, GroupInfoRecord* record) {
  std::memcpy(record->comments, in + kInfoComments, kCommentBytes);
  record->comments[kCommentBytes - 1] = '\0';
  std::memcpy(record->creationTime, in + kInfoCreation, kCreationTimeBytes);
  record->creationTime[kCreationTimeBytes - 1] = '\0';
  record->mark = GetLe32(in + kInfoMarkAt);
  uint64_t bits = static_cast<uint64_t>(GetLe32(in + kInfoDataSize)) |
                  static_cast<uint64_t>(GetLe32(in + kInfoDataSize + 4)) << 32;
  std::memcpy(&record->dataSize, &bits, sizeof bits);
}

long CurrentChunkOffset(CRIFF* riff) {
  CRefObj* object = riff->GetRefObj();
  if (object == nullptr) return -1;
  // Reading nothing still puts the object at the chunk's data, 8 bytes behind its header.
  char none = 0;
  if (riff->ReadCurrentSubChunk(&none, 0) < 0) return -1;
  long at = object->Tell();
  return at >= 8 ? at - 8 : -1;
}

int Advance(CRIFF* riff) {
  platform::clear_last_error();
  if (riff->SeekToNextChunk()) return 1;
  // The cursor reports the exact end of its level without a code.
  if (platform::last_error() == 0) return 0;
  Fail(kErrSessionDamaged);
  return -1;
}

int ReadRecord(CRIFF* riff, uint32_t id, unsigned char* out, long bytes) {
  _chunkInfo level{};
  _subChunk sub{};
  riff->GetCurrentChunkInfo(&level, &sub);
  if (sub.id != id || static_cast<long>(sub.size) < bytes) return Fail(kErrSessionDamaged);
  if (riff->ReadCurrentSubChunk(reinterpret_cast<char*>(out), bytes) != bytes) {
    return Fail(kErrSessionDamaged);
  }
  platform::clear_last_error();
  return 1;
}

int CurrentListType(CRIFF* riff, uint32_t* type) {
  _chunkInfo level{};
  _subChunk sub{};
  riff->GetCurrentChunkInfo(&level, &sub);
  unsigned char bytes[4];
  if (sub.id != kListId || sub.size < 4 ||
      riff->ReadCurrentSubChunk(reinterpret_cast<char*>(bytes), 4) != 4) {
    return Fail(kErrSessionDamaged);
  }
  *type = GetLe32(bytes);
  platform::clear_last_error();
  return 1;
}

int FilePathOf(CRefObj* object, char* out) {
  out[0] = '\0';
  if (object == nullptr || object->Type() != 1) return 0;
  auto* file = dynamic_cast<CFileObj*>(object);
  if (file == nullptr) return 0;
  return file->GetFilePath(out, CFileObj::kPathCapacity) && out[0] != '\0' ? 1 : 0;
}

int BeginListSave(CRIFF* riff, uint32_t kind) {
  if (riff == nullptr || !riff->WriteListChunkHeader(kind)) return 0;
  return riff->Descend();
}

int EndListSave(CRIFF* riff) { return riff != nullptr ? riff->Ascend() : 0; }

int BeginListLoad(CRIFF* riff) {
  if (riff == nullptr) return Fail(kErrInvalidAtomArgument);
  platform::clear_last_error();
  if (riff->Descend()) return 1;
  if (platform::last_error() == 0) platform::set_last_error(kErrSessionDamaged);
  return 0;
}

int EndListLoad(CRIFF* riff) {
  if (riff == nullptr || !riff->Ascend()) return Fail(kErrSessionDamaged);
  if (Advance(riff) >= 0) return 1;
  return SessionLoadScope::Current() != nullptr ? 1 : 0;
}

}  // namespace sonark::session
