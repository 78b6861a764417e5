// A sound's part of the session file: its list "sndc" with the atom record, the map and
// either the path of its file ("sref") or its data ("WAVE" list).

#include <platform/last_error.h>
#include <platform/wave_format.h>
#include <sonark/errors.h>
#include <sonark/fail.h>
#include <sonark/load/acm_buffer.h>
#include <sonark/load/acm_object.h>
#include <sonark/load/music_info.h>
#include <sonark/load/peaks.h>
#include <sonark/load/seek_map.h>
#include <sonark/model/atom_guard.h>
#include <sonark/model/atom_ref.h>
#include <sonark/model/loaded_sounds.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/session_chunks.h>
#include <sonark/model/session_report.h>
#include <sonark/model/sound_group.h>
#include <sonark/model/sound_start.h>
#include <sonark/render/pcm_buffer.h>
#include <sys/stat.h>
#include <tarnell/errors.h>
#include <tarnell/file_obj.h>
#include <tarnell/mem_obj.h>
#include <tarnell/paths.h>
#include <tarnell/ref_obj.h>
#include <tarnell/ref_ptr.h>
#include <tarnell/riff.h>
#include <unistd.h>
#include <utilities/disk_space.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

namespace session = sonark::session;

namespace {

using Guard = sonark::AtomGuard;

// Embedded data moves in pieces of this size.
constexpr long kCopyPiece = 64 * 1024;
// The streaming buffer of a sound that a session loads, in milliseconds.
constexpr long kBufferMs = 2000;

// A path in memory relative to the working folder is made absolute, so that a session keeps
// meaning the same file wherever it is opened.
bool MakeAbsolute(char* path) {
  if (path[0] == '/') return true;
  char folder[PATH_MAX];
  if (getcwd(folder, sizeof folder) == nullptr) return false;
  std::string joined = std::string(folder) + "/" + path;
  if (joined.size() >= PATH_MAX) return false;
  std::memcpy(path, joined.c_str(), joined.size() + 1);
  return true;
}

// A stored path of a Windows system ("C:\...", "\\server\share\...") names no file here; it
// goes to the missing-file search as it is.
bool IsForeignAbsolute(const char* path) {
  const bool drive =
      ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) && path[1] == ':';
  return drive || (path[0] == '\\' && path[1] == '\\');
}

// Only a regular file is opened: a session must not make the engine read a device or wait
// on a pipe. kErrSoundFileMissing when there is nothing at the path, kErrNotRegularFile when
// something else is there.
bool IsRegularFile(const char* path) {
  struct stat info {};
  if (stat(path, &info) != 0) {
    platform::set_last_error(sonark::kErrSoundFileMissing);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    platform::set_last_error(sonark::kErrNotRegularFile);
    return false;
  }
  return true;
}

// The caller's progress callback, watched for a cancel: a cancelled sound is nothing wrong
// with its file, and the open it belongs to must stop rather than go on without it.
struct WatchedProgress {
  TLoadProgress callback;
  void* context;
  bool cancelled = false;

  static int Relay(unsigned long amount, void* self) {
    auto* watched = static_cast<WatchedProgress*>(self);
    const int answer = watched->callback(amount, watched->context);
    if (answer == 0) watched->cancelled = true;
    return answer;
  }
};

// The initial load of a session's sound; the length and start the session stored win over
// what the data alone would give. A failure goes to ErrorLoadingFile; a cancel fails with
// kErrLoadCancelled and is not reported as a fault of the file.
int LoadFromData(CPCMSound* sound, CRefObj* data, int a, int b, int c, int d,
                 TLoadProgress progress, void* context) {
  const long length = sound->Length(0);
  WatchedProgress watched{progress, context};
  const int result =
      progress != nullptr
          ? sound->InitialLoad(data, kBufferMs, a, b, b, c, d, WatchedProgress::Relay, &watched)
          : sound->InitialLoad(data, kBufferMs, a, b, b, c, d, nullptr, nullptr);
  const uint32_t code = platform::last_error();
  if (!result) {
    if (watched.cancelled) return sonark::Fail(sonark::kErrLoadCancelled);
    sound->ErrorLoadingFile(code != 0 ? code : sonark::kErrSoundFileMissing);
    return 0;
  }
  if (length > 0 && sound->Length(0) != length) sound->SetVirtualLength(length);
  return 1;
}

CFileObj* OpenSoundFile(const char* path) {
  if (!IsRegularFile(path)) return nullptr;
  RefPtr<CFileObj> file(new (std::nothrow) CFileObj());
  if (file == nullptr) {
    platform::set_last_error(sonark::kErrOutOfMemory);
    return nullptr;
  }
  if (!file->Open(path, 0, 0)) {
    const uint32_t code = platform::last_error();
    file.reset();
    platform::set_last_error(code != 0 ? code : sonark::kErrSoundFileMissing);
    return nullptr;
  }
  return file.release();
}

}  // namespace

int CPCMSound::PreSave(CRIFF* riff) { return session::BeginListSave(riff, session::kListSound); }

int CPCMSound::PostSave(CRIFF* riff) { return session::EndListSave(riff); }

int CPCMSound::PreLoad(CRIFF* riff) { return session::BeginListLoad(riff); }

int CPCMSound::PostLoad(CRIFF* riff) { return session::EndListLoad(riff); }

namespace {

// Extra bytes of a compressed format that an embedded sound keeps, at most.
constexpr long kMaxFormatExtra = 1024;

// The bytes of the format record an embedded sound stores: 18, and for compressed data the
// extra bytes of its own format as well.
long EmbeddedFormatBytes(CPCMSound* sound) {
  const tWAVEFORMATEX* format = sound->ActualFormat();
  if (format == nullptr || sound->GetACMObj() == nullptr) return session::kFormatBytes;
  return session::kFormatBytes + std::min<long>(format->cbSize, kMaxFormatExtra);
}

// The bytes of the current format chunk to read back: 18, or the chunk with the extra bytes
// its record counts (a damaged count reads no more than the chunk holds).
long EmbeddedFormatSize(CRIFF* riff) {
  _chunkInfo level{};
  _subChunk sub{};
  riff->GetCurrentChunkInfo(&level, &sub);
  const long size = static_cast<long>(sub.size);
  if (size <= session::kFormatBytes) return session::kFormatBytes;
  return std::min(size, session::kFormatBytes + kMaxFormatExtra);
}

}  // namespace

unsigned long CPCMSound::SaveSize(int byReference) {
  unsigned long size = CAudioAtom::SaveSize(byReference);
  if (byReference) return size + session::kSoundRefBytes;
  Guard guard(*this);
  CRefObj* data = GetRefObj();
  long bytes = data != nullptr ? data->DataSize() : 0;
  return size + (bytes > 0 ? static_cast<unsigned long>(bytes) : 0) + EmbeddedFormatBytes(this);
}

// The path as the session stores it: relative to the session file when both lie on one
// local file system, else absolute. 0 when the sound has no file or the path does not fit.
int CPCMSound::StoredSoundPath(CRIFF* riff, char* out) {
  char path[PATH_MAX];
  if (!session::FilePathOf(GetRefObj(), path) || !MakeAbsolute(path)) {
    return sonark::Fail(sonark::kErrSoundHasNoFile);
  }
  const char* stored = path;
  char sessionPath[PATH_MAX];
  char relative[PATH_MAX];
  // The relative form separates its parts with backslashes: a name that holds one would be
  // read back as two parts, so such a path is stored as it is.
  if (std::strchr(path, '\\') == nullptr && session::FilePathOf(riff->GetRefObj(), sessionPath) &&
      MakeAbsolute(sessionPath) && HasSameDrive(path, sessionPath) &&
      IsOnLocalHardDrive(sessionPath) && AbsoluteToRelative(sessionPath, path, relative)) {
    stored = relative;
  }
  const size_t length = std::strlen(stored);
  if (length >= static_cast<size_t>(session::kSoundRefBytes)) {
    return sonark::Fail(sonark::kErrSoundPathTooLong);
  }
  std::memset(out, 0, session::kSoundRefBytes);
  std::memcpy(out, stored, length);
  return 1;
}

int CPCMSound::SaveEmbeddedData(CRIFF* riff) {
  CRefObj* data = GetRefObj();
  tWAVEFORMATEX* format = ActualFormat();
  if (data == nullptr || format == nullptr || data->DataSize() < 0) {
    return sonark::Fail(sonark::kErrSoundHasNoFile);
  }
  // A copy of its own is read, so that a sound that plays meanwhile keeps its position.
  RefPtr<> reader(data->Copy());
  if (reader == nullptr) return sonark::Fail(sonark::kErrEmbeddedSound);
  reader->SetVirtualStart(0);
  reader->SetDataMode(0);
  const long total = reader->DataSize();
  int ok = reader->SeekToData(0);
  // Compressed data keeps its format's extra bytes (a codec needs them to decode it again).
  const long formatBytes = EmbeddedFormatBytes(this);
  ok = ok && riff->WriteListChunkHeader(session::kListWave) && riff->Descend() &&
       riff->WriteSubChunk(session::kChunkFormat, format, formatBytes) &&
       riff->StartWriteStream(session::kChunkData);
  uint32_t code = ok ? 0 : platform::last_error();
  if (ok) {
    auto piece = std::make_unique<char[]>(kCopyPiece);
    for (long left = total; left > 0 && ok;) {
      const long want = left < kCopyPiece ? left : kCopyPiece;
      const long got = reader->ReadData(piece.get(), want);
      if (got != want || riff->WriteStreamData(piece.get(), got) != got) {
        ok = 0;
        code = sonark::kErrEmbeddedSound;
      }
      left -= want;
    }
    if (!riff->EndWriteStream()) ok = 0;
    if (!riff->Ascend()) ok = 0;
  }
  reader.reset();
  if (!ok) return sonark::Fail(code != 0 ? code : sonark::kErrEmbeddedSound);
  return 1;
}

int CPCMSound::Save(CRIFF* riff, int byReference) {
  if (riff == nullptr) return sonark::Fail(sonark::kErrInvalidAtomArgument);
  Guard guard(*this);
  // The path is settled first: a sound that cannot be stored leaves nothing behind.
  char stored[session::kSoundRefBytes];
  if (byReference && !StoredSoundPath(riff, stored)) return 0;
  if (!PreSave(riff)) {
    if (platform::last_error() == 0) platform::set_last_error(sonark::kErrSessionDamaged);
    return 0;
  }
  // What the file was when saved, so that a later open can tell it was replaced.
  int64_t fileBytes = -1;
  int64_t dataBytes = -1;
  if (byReference) {
    CRefObj* data = GetRefObj();
    if (data != nullptr && data->Type() == 1 && data->Size() >= 0 && data->DataSize() >= 0) {
      fileBytes = data->Size();
      dataBytes = data->DataSize();
    }
  }
  int ok = SaveAtomRecord(riff, fileBytes, dataBytes);
  if (ok) {
    ok = byReference ? riff->WriteSubChunk(session::kChunkSoundRef, stored, session::kSoundRefBytes)
                     : SaveEmbeddedData(riff);
  }
  const uint32_t code = platform::last_error();
  const int closed = PostSave(riff);
  if (!ok) return sonark::Fail(code != 0 ? code : sonark::kErrSessionDamaged);
  if (!closed) return sonark::Fail(sonark::kErrSessionDamaged);
  platform::clear_last_error();
  return 1;
}

int CPCMSound::Load(CRIFF* riff, int a, int b, int c, int d, TLoadProgress progress,
                    void* context) {
  if (!PreLoad(riff)) return 0;
  int64_t savedFileBytes = -1;
  int64_t savedDataBytes = -1;
  if (!LoadAtomRecord(riff, &savedFileBytes, &savedDataBytes)) return 0;

  _chunkInfo level{};
  _subChunk sub{};
  riff->GetCurrentChunkInfo(&level, &sub);
  int loaded = 0;
  if (sub.id == session::kChunkSoundRef) {
    char stored[session::kSoundRefBytes];
    if (!session::ReadRecord(riff, session::kChunkSoundRef,
                             reinterpret_cast<unsigned char*>(stored), session::kSoundRefBytes)) {
      return 0;
    }
    if (std::memchr(stored, 0, sizeof stored) == nullptr) {
      return sonark::Fail(sonark::kErrSessionDamaged);
    }
    loaded = LoadReferencedFile(riff, stored, a, b, c, d, progress, context);
    if (loaded) CheckFileAgainstSaved(savedFileBytes, savedDataBytes);
  } else {
    uint32_t type = 0;
    if (!session::CurrentListType(riff, &type) || type != session::kListWave) {
      return sonark::Fail(sonark::kErrSessionDamaged);
    }
    loaded = LoadEmbeddedData(riff, a, b, c, d, progress, context);
  }
  if (!loaded && platform::last_error() == sonark::kErrLoadCancelled) return 0;

  // Whatever became of the sound, the rest of its list must be whole.
  if (session::Advance(riff) < 0) return 0;
  if (!PostLoad(riff)) {
    if (platform::last_error() == 0) platform::set_last_error(sonark::kErrSessionDamaged);
    return 0;
  }
  if (!loaded) return sonark::Fail(sonark::kErrSoundNotLoaded);
  platform::clear_last_error();
  return 1;
}

void CPCMSound::CheckFileAgainstSaved(int64_t savedFileBytes, int64_t savedDataBytes) {
  if (savedFileBytes < 0 || savedDataBytes < 0) return;
  CRefObj* data = GetRefObj();
  if (data == nullptr || data->Type() != 1) return;
  const int64_t fileBytes = data->Size();
  const int64_t dataBytes = data->DataSize();
  if (fileBytes == savedFileBytes && dataBytes == savedDataBytes) return;
  file_changed_ = 1;
  if (sonark::SessionLoadScope* scope = sonark::SessionLoadScope::Current()) {
    sonark::SoundFileChange change;
    change.name = GetInfo()->name;
    char path[PATH_MAX];
    if (session::FilePathOf(data, path)) change.path = path;
    change.savedFileBytes = savedFileBytes;
    change.fileBytes = fileBytes;
    change.savedDataBytes = savedDataBytes;
    change.dataBytes = dataBytes;
    scope->Report()->changed.push_back(std::move(change));
  }
}

CPCMSound* FindSoundThatCannotBeStored(CAudioAtom* atom, CRIFF* riff) {
  if (atom == nullptr || riff == nullptr) return nullptr;
  if (auto* sound = dynamic_cast<CPCMSound*>(atom)) {
    Guard guard(*sound);
    char stored[session::kSoundRefBytes];
    return sound->StoredSoundPath(riff, stored) ? nullptr : sound;
  }
  auto* group = dynamic_cast<CSoundGroup*>(atom);
  if (group == nullptr) return nullptr;
  long offset = 0;
  for (int i = 0; CAudioAtom* member = group->GetAtom(i, &offset); ++i) {
    if (CPCMSound* found = FindSoundThatCannotBeStored(member, riff)) return found;
  }
  platform::clear_last_error();
  return nullptr;
}

int CPCMSound::LoadReferencedFile(CRIFF* riff, const char* stored, int a, int b, int c, int d,
                                  TLoadProgress progress, void* context) {
  if (stored[0] == '\0') {
    ErrorLoadingFile(sonark::kErrEmptySoundPath);
    return 0;
  }
  char path[PATH_MAX];
  std::strcpy(path, stored);
  bool resolved = stored[0] == '/';
  if (!resolved && !IsForeignAbsolute(stored)) {
    // The relative form means the session's own folder; a session held in memory has none.
    char sessionPath[PATH_MAX];
    if (session::FilePathOf(riff->GetRefObj(), sessionPath) && MakeAbsolute(sessionPath) &&
        RelativeToAbsolute(sessionPath, stored, path)) {
      resolved = true;
    } else {
      std::strcpy(path, stored);
    }
  }

  if (resolved) {
    AtomRef<CPCMSound> loaded(HoldLoadedSound(path));
    if (loaded != nullptr) {
      const int shared =
          loaded.get() != this ? ShareLoadedSound(loaded.get(), progress, context) : -1;
      const uint32_t code = platform::last_error();
      loaded.reset();
      if (shared >= 0) {
        platform::set_last_error(code);
        return shared;
      }
    }
  }

  RefPtr<CFileObj> file(resolved ? OpenSoundFile(path) : nullptr);
  if (!resolved) platform::set_last_error(sonark::kErrSoundFileMissing);
  if (file == nullptr) {
    uint32_t code = platform::last_error();
    char* proposed = FindMissingFile(path);
    if (proposed != nullptr && proposed[0] != '\0') {
      file.reset(OpenSoundFile(proposed));
      if (file == nullptr) code = platform::last_error();
    }
    if (file == nullptr) {
      ErrorLoadingFile(code != 0 ? code : sonark::kErrSoundFileMissing);
      return 0;
    }
  }
  const int result = LoadFromData(this, file.get(), a, b, c, d, progress, context);
  const uint32_t code = platform::last_error();
  file.reset();
  if (!result) return sonark::Fail(code);
  // Registered (once) so that a later atom on the same file shares it.
  AddTheSound(this);
  return 1;
}

// A file that a sound has loaded already is not loaded again: this sound takes the same data
// (the data object itself while the other sound holds it whole, else a copy with its own
// read position), its peaks and music information, and keeps its own stored length and
// start. Its volume, pan and rate stay its own.
int CPCMSound::ShareLoadedSound(CPCMSound* loaded, TLoadProgress progress, void* context) {
  const long length = Length(0);
  const long start = GetVirtualDataStart();
  if (progress != nullptr && progress(0, context) == 0) {
    return sonark::Fail(sonark::kErrLoadCancelled);
  }

  RefPtr<> data;
  tWAVEFORMATEX format{};
  bool whole = false;
  std::unique_ptr<CPeaks> peaks;
  std::unique_ptr<TMusicInfo> info;
  bool copied = true;
  int cutShort = 0;
  {
    Guard guard(*loaded);
    cutShort = loaded->cut_short_;
    CRefObj* source = loaded->data_object_.get();
    if (source != nullptr && loaded->source_format_ != nullptr) {
      format = *loaded->source_format_;
      whole = loaded->buffer_ != nullptr && loaded->buffer_->IsLoadedOnce();
      if (whole) {
        data = RefPtr<>::Share(source);
      } else {
        platform::clear_last_error();
        data.reset(source->Copy());
      }
      if (loaded->peaks_ != nullptr) {
        peaks.reset(loaded->peaks_->Copy());
        copied = peaks != nullptr;
      }
      if (loaded->music_info_ != nullptr) {
        info.reset(new (std::nothrow) TMusicInfo(*loaded->music_info_));
        copied = copied && info != nullptr;
      }
    }
  }
  if (data == nullptr || !copied) {
    const uint32_t code = platform::last_error();
    data.reset();
    ErrorLoadingFile(!copied     ? sonark::kErrOutOfMemory
                     : code != 0 ? code
                                 : tarnell::kErrCopyReopen);
    return 0;
  }
  // Compressed data decodes with a decoder of its own over the shared seek map.
  std::unique_ptr<tWAVEFORMATEX, FreeFormat> fullFormat;
  ACMObject* decoder = nullptr;
  CSeekMap* seekMap = nullptr;
  bool compressed = false;
  {
    Guard guard(*loaded);
    compressed = loaded->decoder_ != nullptr;
    if (auto* codec = dynamic_cast<ACMObject*>(loaded->decoder_.get())) {
      decoder = codec->Copy();
      const tWAVEFORMATEX* own = loaded->source_format_.get();
      if (own != nullptr) {
        const size_t size = sizeof(tWAVEFORMATEX) + own->cbSize;
        fullFormat.reset(static_cast<tWAVEFORMATEX*>(std::malloc(size)));
        if (fullFormat != nullptr) std::memcpy(fullFormat.get(), own, size);
      }
      if (auto* buffer = dynamic_cast<CACMBuffer*>(loaded->buffer_.get())) {
        seekMap = buffer->GetSeekMap();
        if (seekMap != nullptr) seekMap->AddReference();  // the loaded sound may let go
      }
    }
  }
  const int ok = compressed
                     ? (decoder != nullptr && fullFormat != nullptr
                            ? SetUpFromDecoder(data.get(), fullFormat.get(), decoder, seekMap,
                                               kBufferMs)
                            : (delete decoder, sonark::Fail(sonark::kErrOutOfMemory)))
                     : SetUpFromPCM(data.get(), &format, kBufferMs);
  DeleteSeekMap(&seekMap);
  const uint32_t code = platform::last_error();
  const long shared = data->DataSize();
  data.reset();
  if (!ok) {
    ErrorLoadingFile(code != 0 ? code : sonark::kErrSoundFileMissing);
    return 0;
  }
  {
    Guard guard(*this);
    peaks_ = std::move(peaks);
    music_info_ = std::move(info);
    cut_short_ = cutShort;
    DetermineSilenceAndPartialSong();
  }
  SetVirtualLength(length);
  StartAtByte(this, start, !whole);
  AddTheSound(this);
  if (progress != nullptr &&
      progress(shared > 0 ? static_cast<unsigned long>(shared) : 0, context) == 0) {
    return sonark::Fail(sonark::kErrLoadCancelled);
  }
  return 1;
}

// The data of an embedded sound is read back as a wave file in memory, which loads like any
// other sound. Whatever cannot be read leaves the sound out, said through ErrorLoadingFile.
int CPCMSound::LoadEmbeddedData(CRIFF* riff, int a, int b, int c, int d, TLoadProgress progress,
                                void* context) {
  // The format record with the extra bytes a compressed sound keeps.
  unsigned char format[session::kFormatBytes + kMaxFormatExtra] = {};
  long formatBytes = session::kFormatBytes;
  long dataSize = -1;
  RefPtr<CMemObj> wave;
  uint32_t code = sonark::kErrEmbeddedSound;
  if (riff->Descend()) {
    if (riff->SeekToChunk(session::kChunkFormat, 0, 1) &&
        (formatBytes = EmbeddedFormatSize(riff)) > 0 &&
        session::ReadRecord(riff, session::kChunkFormat, format, formatBytes) &&
        riff->SeekToChunk(session::kChunkData, 0, 1)) {
      _chunkInfo level{};
      _subChunk sub{};
      riff->GetCurrentChunkInfo(&level, &sub);
      dataSize = sub.size;
    }
    if (dataSize >= 0) {
      wave.reset(new (std::nothrow) CMemObj());
      CRIFF writer;
      bool ok = wave != nullptr && wave->Create() &&
                writer.Create(wave.get(), session::kListWave) &&
                writer.WriteSubChunk(session::kChunkFormat, format, formatBytes) &&
                writer.StartWriteStream(session::kChunkData);
      if (ok) {
        auto piece = std::make_unique<char[]>(kCopyPiece);
        // Reading nothing puts the object at the chunk's first byte.
        riff->ReadCurrentSubChunk(piece.get(), 0);
        for (long left = dataSize; left > 0 && ok;) {
          const long want = left < kCopyPiece ? left : kCopyPiece;
          ok = riff->Read(piece.get(), want) == want &&
               writer.WriteStreamData(piece.get(), want) == want;
          left -= want;
        }
        ok = writer.EndWriteStream() && ok;
      }
      writer.Close();
      if (!ok) {
        if (wave != nullptr && platform::last_error() == sonark::kErrOutOfMemory) {
          code = sonark::kErrOutOfMemory;
        }
        wave.reset();
      }
    }
    riff->Ascend();
  }
  if (wave == nullptr) {
    ErrorLoadingFile(code);
    return 0;
  }
  wave->Seek(0, 0);
  const int result = LoadFromData(this, wave.get(), a, b, c, d, progress, context);
  const uint32_t failure = platform::last_error();
  wave.reset();
  if (!result) return sonark::Fail(failure);
  return 1;
}
