// The atom's own part of the session file: the "atom" record and the source map.

#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/fail.h>
#include <sonark/model/audio_atom.h>
#include <sonark/model/session_chunks.h>
#include <tarnell/riff.h>

#include <climits>
#include <mutex>

namespace session = sonark::session;

namespace {

// The record keeps times and offsets in 32 bits; anything beyond them (about 24 days) cannot
// be stored, and cutting it would move the atom.
bool Fits32(long value) { return value >= INT32_MIN && value <= INT32_MAX; }

}  // namespace

int CAudioAtom::Save(CRIFF* riff, int) { return SaveAtomRecord(riff, -1, -1); }

int CAudioAtom::SaveAtomRecord(CRIFF* riff, int64_t fileBytes, int64_t dataBytes) {
  if (riff == nullptr) return sonark::Fail(sonark::kErrInvalidAtomArgument);
  std::lock_guard<std::recursive_mutex> guard(lock_);
  const long length = Length(0);
  const long offset = AbsoluteOffset();
  if (!Fits32(length) || !Fits32(offset) || !Fits32(virtual_data_start_)) {
    return sonark::Fail(sonark::kErrSessionValueRange);
  }
  session::AtomRecord record;
  record.length = static_cast<int32_t>(length);
  record.absoluteOffset = static_cast<int32_t>(offset);
  record.info = info_;
  record.mark = session::kAtomMark;
  record.virtualDataStart = static_cast<int32_t>(virtual_data_start_);
  record.chunkFlags = static_cast<uint32_t>(chunk_flags_.load());
  record.fileBytes = fileBytes;
  record.dataBytes = dataBytes;
  unsigned char bytes[session::kAtomRecordBytes];
  session::PackAtomRecord(record, bytes);
  if (!riff->WriteSubChunk(session::kChunkAtom, bytes, session::kAtomRecordBytes)) return 0;
  return source_map_.WriteMap(riff);
}

unsigned long CAudioAtom::SaveSize(int) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return source_map_.MapSaveSize() + session::kAtomRecordBytes;
}

int CAudioAtom::PreSave(CRIFF*) { return 0; }

int CAudioAtom::PostSave(CRIFF*) { return 0; }

int CAudioAtom::PreLoad(CRIFF*) { return 0; }

int CAudioAtom::PostLoad(CRIFF*) { return 0; }

int CAudioAtom::Load(CRIFF* riff, int, int, int, int, TLoadProgress, void*) {
  return LoadAtomRecord(riff, nullptr, nullptr);
}

int CAudioAtom::LoadAtomRecord(CRIFF* riff, int64_t* fileBytes, int64_t* dataBytes) {
  if (riff == nullptr) return sonark::Fail(sonark::kErrInvalidAtomArgument);
  unsigned char bytes[session::kAtomRecordBytes];
  if (!session::ReadRecord(riff, session::kChunkAtom, bytes, session::kAtomRecordBytes)) {
    return 0;
  }
  session::AtomRecord record;
  session::UnpackAtomRecord(bytes, &record);
  if (fileBytes != nullptr) *fileBytes = record.fileBytes;
  if (dataBytes != nullptr) *dataBytes = record.dataBytes;
  // The map follows the record in every session; an atom without one is not whole.
  if (session::Advance(riff) != 1) return sonark::Fail(sonark::kErrSessionDamaged);

  CMap map;
  if (!map.ReadMap(riff)) {
    return sonark::Fail(platform::last_error() == sonark::kErrOutOfMemory
                             ? sonark::kErrOutOfMemory
                             : sonark::kErrSessionDamaged);
  }
  if (map.NumEvents(-1) == 0) map.SetDefaultMap(record.length, kMapAll);

  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    absolute_offset_ = record.absoluteOffset;
    // Files of the version before this one hold the data start but no flags; older ones
    // hold neither.
    const bool current = record.mark == session::kAtomMark;
    virtual_data_start_ =
        current || record.mark == session::kAtomMarkEarlier ? record.virtualDataStart : 0;
    chunk_flags_ = current ? record.chunkFlags : 0;
    info_ = record.info;
    source_map_ = map;
  }
  // After the map, so that the last rate length follows the stored rate envelope.
  SetVirtualLength(record.length);
  platform::clear_last_error();
  return 1;
}
