#include <platform/last_error.h>
#include <sonark/containers/my_array_list.h>
#include <sonark/errors.h>
#include <sonark/fail.h>
#include <sonark/load/peak_slicer.h>
#include <sonark/load/peaks.h>
#include <sonark/model/atom_guard.h>
#include <sonark/model/atom_player.h>
#include <sonark/model/loaded_sounds.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/render/buffer_format.h>
#include <tarnell/file_obj.h>
#include <tarnell/mem_obj.h>
#include <tarnell/ref_ptr.h>
#include <tarnell/riff.h>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <system_error>

// Recording: a sound that writes what the mixer's input device hands it into a new wave file,
// building its peaks on the way, and becomes an ordinary sound of that file when it stops.

using sonark::AtomGuard;
using tarnell::FourCC;

struct CPCMSound::RecordState {
  CRIFF riff;
  tWAVEFORMATEX format{};
  long dataStart = 0;  // where the "data" chunk's bytes begin in the file
  std::string path;    // empty when recording into memory
  // Peaks: the slicer carries a peak across blocks and makes up the bytes that whole frames
  // per peak lose; the values are kept until the recording ends.
  int withPeaks = 0;
  unsigned long msPerPeak = 0;
  CPeakSlicer slicer;
  CMyArrayList peakValues;
  // The sizes are patched into the file about once a second, so that a recording cut off by a
  // crash is a complete wave file of all but its last second.
  unsigned long unpatched = 0;
  // Once a block could not be written nothing more is appended: a later block that fits would
  // leave a gap in the sound.
  bool failed = false;
};

void CPCMSound::RecordStateDeleter::operator()(RecordState* state) const { delete state; }

namespace {

// The file a recording goes to: created (its folder too when missing) unless the path names
// something other than a file, which must not be truncated or written as a wave (a device, a
// FIFO, a folder). Null when it cannot be created.
CRefObj* CreateRecordingFile(const std::string& path) {
  std::error_code ignored;
  const std::filesystem::path target(path);
  if (target.has_parent_path()) std::filesystem::create_directories(target.parent_path(), ignored);
  struct stat info {};
  if (stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) return nullptr;
  RefPtr<CFileObj> file(new (std::nothrow) CFileObj());
  if (file == nullptr || !file->Create(path.c_str())) return nullptr;
  return file.release();
}

}  // namespace

int CPCMSound::Record(int type, const tWAVEFORMATEX* format, const char* path, int withPeaks,
                      long msPerPeak) {
  // The sound's lock is never held while the mixer is called: the mixer takes the engine lock,
  // which comes before any atom's lock.
  if (type != 0) {
    if (record_state_ == nullptr) return sonark::Fail(sonark::kErrInvalidAtomArgument);
    // Ends the input, which hands the sound every block it has recorded.
    StopRecordingOnCurrentMixer(this);
    AtomGuard guard(*this);
    return FinishRecording(true);
  }

  tWAVEFORMATEX pcm{};
  if (format != nullptr) pcm = *format;
  if (format == nullptr || !ValidateFormat(&pcm, kWaveFormatPcm)) {
    return sonark::Fail(sonark::kErrUnsupportedPcm);
  }
  if (record_state_ != nullptr) Record(1, nullptr, nullptr, 0, 0);
  Unload();

  auto state = std::unique_ptr<RecordState, RecordStateDeleter>(new (std::nothrow) RecordState());
  if (state == nullptr) return sonark::Fail(sonark::kErrOutOfMemory);
  RefPtr<> object;
  if (path != nullptr && path[0] != '\0') {
    object.reset(CreateRecordingFile(path));
    if (object != nullptr) state->path = path;
  }
  if (object == nullptr) {
    RefPtr<CMemObj> memory(new (std::nothrow) CMemObj());
    if (memory == nullptr || !memory->Create()) return sonark::Fail(sonark::kErrOutOfMemory);
    object.reset(memory.release());
  }
  // The form, the format and an empty data chunk, its sizes already right: a recording whose
  // first block cannot be written is a valid, empty wave file.
  state->format = pcm;
  if (!state->riff.Create(object.get(), FourCC("WAVE")) ||
      !state->riff.WriteSubChunk(FourCC("fmt "), &pcm, sizeof pcm)) {
    return sonark::Fail(sonark::kErrRecordWrite);
  }
  state->dataStart = object->Size() + 8;
  if (!state->riff.StartWriteStream(FourCC("data")) || !state->riff.PatchStreamSizes()) {
    return sonark::Fail(sonark::kErrRecordWrite);
  }
  if (withPeaks && msPerPeak > 0) {
    state->withPeaks = state->slicer.Init(&state->peakValues, &pcm,
                                          static_cast<unsigned long>(msPerPeak));
    state->msPerPeak = static_cast<unsigned long>(msPerPeak);
  }
  {
    AtomGuard guard(*this);
    if (!SetSourceFormat(&pcm)) return 0;
    SetRefObj(object.get());
    record_state_ = std::move(state);
  }

  if (!StartRecordingOnCurrentMixer(this, &pcm)) {
    const uint32_t code = platform::last_error();
    AtomGuard guard(*this);
    // Nothing was recorded: the empty file this made goes again.
    const std::string made = record_state_->path;
    record_state_->riff.Close();
    record_state_.reset();
    SetRefObj(nullptr);
    source_format_.reset();
    if (!made.empty()) std::remove(made.c_str());
    return sonark::Fail(code != 0 ? code : sonark::kErrInputDeviceOpen);
  }
  recording_ = 1;
  return 1;
}

int CPCMSound::WriteData(_bufferType* block) {
  RecordState* state = record_state_.get();
  if (state == nullptr || block == nullptr || block->data == nullptr ||
      block->precision != ptInterleaved) {
    return sonark::Fail(sonark::kErrInvalidAtomArgument);
  }
  if (state->failed) return sonark::Fail(sonark::kErrRecordWrite);
  const unsigned long size = block->dataSize;
  if (size == 0) return 1;
  if (state->withPeaks && !state->slicer.Add(block->data, size)) {
    // Peaks are a help for the display; the recording goes on without them.
    state->withPeaks = 0;
    state->peakValues.RemoveAll();
  }
  const long written = state->riff.WriteStreamData(block->data, static_cast<long>(size));
  state->unpatched += written > 0 ? static_cast<unsigned long>(written) : 0;
  if (written != static_cast<long>(size)) {
    // What did reach the file stays part of the recording.
    const uint32_t cause = platform::last_error();
    state->failed = true;
    state->riff.PatchStreamSizes();
    return sonark::Fail(cause != 0 ? cause : sonark::kErrRecordWrite);
  }
  if (state->unpatched >= state->format.nAvgBytesPerSec) {
    state->unpatched = 0;
    if (!state->riff.PatchStreamSizes()) {
      const uint32_t cause = platform::last_error();
      state->failed = true;
      return sonark::Fail(cause != 0 ? cause : sonark::kErrRecordWrite);
    }
  }
  return 1;
}

int CPCMSound::FinishRecording(bool becomeSound) {
  std::unique_ptr<RecordState, RecordStateDeleter> state = std::move(record_state_);
  recording_ = 0;
  if (state == nullptr) return 0;
  const long recorded = state->riff.CurrentStreamDataCount();
  state->riff.EndWriteStream();
  state->riff.Close();
  if (state->failed && !state->path.empty()) {
    // A write that failed may have left part of its block behind the counted data.
    std::error_code ignored;
    const auto end = static_cast<std::uintmax_t>(state->dataStart + recorded);
    if (std::filesystem::file_size(state->path, ignored) > end) {
      std::filesystem::resize_file(state->path, end, ignored);
    }
  }
  if (!becomeSound) return 1;
  const long whole = recorded - recorded % state->format.nBlockAlign;

  // A recorded file is read from here on like any other: opened again for reading only.
  RefPtr<> object = RefPtr<>::Share(data_object_.get());
  if (!state->path.empty()) {
    RefPtr<CFileObj> reader(new (std::nothrow) CFileObj());
    if (reader != nullptr && reader->Open(state->path.c_str(), 0, 0)) object.reset(reader.release());
  }
  if (object == nullptr) return sonark::Fail(sonark::kErrRecordWrite);
  SetRefObj(object.get());
  // A partial frame that a failed write left behind is not part of the sound.
  object->SetDataOffsets(static_cast<unsigned long>(state->dataStart),
                         static_cast<unsigned long>(state->dataStart + whole));
  object->Seek(state->dataStart, 0);
  if (whole <= 0) {
    SetVirtualLength(0);
    return 1;
  }
  if (!SetUpFromPCM(object.get(), &state->format, 500)) return 0;
  if (state->withPeaks && state->slicer.Flush()) {
    auto peaks = std::make_unique<CPeaks>();
    if (peaks->LoadPeaksFromArrayList(state->peakValues, state->msPerPeak, DataLength(),
                                      state->slicer.MaxLeft(), state->slicer.MaxRight(),
                                      object.get())) {
      peaks_ = std::move(peaks);
      DetermineSilenceAndPartialSong();
    }
  }
  if (!state->path.empty()) AddTheSound(this);
  return 1;
}
