#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/load/acm_buffer.h>
#include <sonark/load/acm_object.h>
#include <sonark/load/music_info.h>
#include <sonark/load/peaks.h>
#include <sonark/model/loaded_sounds.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/render/buffer_format.h>
#include <sonark/render/decoder.h>
#include <sonark/render/pcm_buffer.h>
#include <sonark/model/render_units.h>
#include <sonark/render/sample_convert.h>
#include <tarnell/file_obj.h>
#include <tarnell/ref_obj.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

// Setting a sound up over its data, and what a sound tells about its data and its buffer.

using namespace sonark::render;

int CPCMSound::SetUpFromPCM(CRefObj* object, const tWAVEFORMATEX* format, long bufferMs) {
  if (object == nullptr || format == nullptr) {
    platform::set_last_error(sonark::kErrInvalidAtomArgument);
    return 0;
  }
  tWAVEFORMATEX pcm = *format;
  if (!ValidateFormat(&pcm, kWaveFormatPcm)) {
    platform::set_last_error(sonark::kErrUnsupportedPcm);
    return 0;
  }
  const long start = object->GetDataStart();
  const long size = object->DataSize();
  const long whole = size > 0 ? WholeFrames(size, &pcm) : 0;
  if (start < 0 || whole <= 0) {
    platform::set_last_error(sonark::kErrEmptyData);
    return 0;
  }
  // A trailing part of a frame would shift every frame after the data wraps round.
  if (whole != size && !object->SetDataOffsets(static_cast<unsigned long>(start),
                                               static_cast<unsigned long>(start + whole))) {
    platform::set_last_error(sonark::kErrEmptyData);
    return 0;
  }
  const long capacityMs = bufferMs > 0 ? bufferMs : 1;
  long capacity = MsToBytes(capacityMs, &pcm);
  if (capacity < FrameBytes(&pcm)) capacity = FrameBytes(&pcm);
  int loadedOnce = 0;
  if (capacity >= whole) {
    capacity = whole;
    loadedOnce = 1;
  }
  auto buffer = std::unique_ptr<CPCMBuffer>(new (std::nothrow) CPCMBuffer());
  if (buffer == nullptr) {
    platform::set_last_error(sonark::kErrOutOfMemory);
    return 0;
  }
  object->Seek(start, 0);
  buffer->SetSilence(sonark::samples::SilenceByte(pcm.wBitsPerSample));
  if (!buffer->Init(object, static_cast<unsigned long>(capacity), loadedOnce, 50)) {
    platform::set_last_error(sonark::kErrOutOfMemory);
    return 0;
  }
  {
    AtomGuard guard(*this);
    if (!SetSourceFormat(&pcm)) return 0;
    SetRefObj(object);
    buffer_ = std::move(buffer);
  }
  SetVirtualLength(TruncateToLong(static_cast<double>(whole) * 1000.0 / BytesPerSecond(&pcm)));
  return 1;
}

int CPCMSound::EnterLowActivity() {
  AtomGuard guard(*this);
  if (buffer_ == nullptr || buffer_->IsLoadedOnce()) return 0;
  buffer_->LowActivityMode();
  // A file another holder reads, or one being written or downloaded, stays open.
  auto* file = dynamic_cast<CFileObj*>(data_object_.get());
  if (file == nullptr || !file->IsOpen() || file->References() != 1 || file->WriteMode() != 0 ||
      file->FileDownloading()) {
    return file_rested_ ? 1 : 0;
  }
  rested_size_ = file->Size();
  rested_position_ = file->Tell();
  file->Close();
  file_rested_ = true;
  return 1;
}

int CPCMSound::LeaveLowActivity() {
  AtomGuard guard(*this);
  auto* file = dynamic_cast<CFileObj*>(data_object_.get());
  if (file == nullptr) return 0;
  if (!file_rested_ || file->IsOpen()) return file->IsOpen();
  // Opened as it was: the base offset is what puts the file's end at the size it had.
  if (!file->Open(file->FilePath(), 0, 0)) return 0;
  const long base = file->Size() - rested_size_;
  if (base != 0 && (base < 0 || !file->Open(file->FilePath(), base, 0))) {
    file->Close();
    platform::set_last_error(sonark::kErrBufferCannotStart);
    return 0;
  }
  file->Seek(rested_position_, 0);
  file_rested_ = false;
  return 1;
}

void CPCMSound::Unload() {
  RemoveTheSound(this);
  AtomGuard guard(*this);
  buffer_.reset();
  data_object_.reset();
  source_format_.reset();
  decoder_.reset();
  music_info_.reset();
  peaks_.reset();
}

long CPCMSound::PcmDataSize() {
  AtomGuard guard(*this);
  if (data_object_ == nullptr) return 0;
  if (auto* decoder = dynamic_cast<ACMObject*>(decoder_.get())) {
    return decoder->PcmSize() > 0
               ? static_cast<long>(std::min<int64_t>(decoder->PcmSize(), INT32_MAX))
               : 0;
  }
  return std::max(data_object_->DataSize(), 0L);
}

long CPCMSound::DataLength() {
  AtomGuard guard(*this);
  const tWAVEFORMATEX* format = Format();
  if (data_object_ == nullptr) return 0;
  if (peaks_ != nullptr) return peaks_->LengthOfSound();
  if (!RenderableFormat(format)) return 0;
  const long size = PcmDataSize();
  if (size <= 0) return 0;
  return TruncateToLong(static_cast<double>(size) / BytesPerSecond(format) * 1000.0 + 0.5);
}

long CPCMSound::NumSamples() {
  AtomGuard guard(*this);
  const tWAVEFORMATEX* format = Format();
  if (data_object_ == nullptr || !RenderableFormat(format)) return 0;
  const long size = PcmDataSize();
  return size > 0 ? size / FrameBytes(format) : 0;
}

long CPCMSound::GetMaxSample(const unsigned char* first, const unsigned char* end) {
  const tWAVEFORMATEX* format = Format();
  if (first == nullptr || end <= first || !RenderableFormat(format)) return 0;
  long left = 0;
  long right = 0;
  ::GetMaxSample(first, end, format, left, right);
  return std::max(left, right);
}

long CPCMSound::GetAmplitudes(long* framePosition, long framesPerValue, long count,
                              unsigned char* out) {
  AtomGuard guard(*this);
  const tWAVEFORMATEX* format = Format();
  unsigned char* first = nullptr;
  unsigned char* second = nullptr;
  unsigned long firstLength = 0;
  unsigned long secondLength = 0;
  if (buffer_ == nullptr || !RenderableFormat(format) ||
      !buffer_->Lock(first, firstLength, second, secondLength)) {
    platform::set_last_error(sonark::kErrBufferCannotStart);
    return 0;
  }
  if (framesPerValue <= 0 || count <= 0 || out == nullptr) {
    buffer_->Unlock();
    return 0;
  }
  const unsigned long align = static_cast<unsigned long>(FrameBytes(format));
  const unsigned long run = static_cast<unsigned long>(framesPerValue) * align;
  firstLength -= firstLength % align;
  if (second == nullptr) secondLength = 0;
  secondLength -= secondLength % align;
  const unsigned long values = std::min<unsigned long>(static_cast<unsigned long>(count),
                                                       (firstLength + secondLength) / run);
  unsigned long offset = 0;  // bytes into the two regions taken as one
  for (unsigned long v = 0; v < values; ++v, offset += run) {
    long left = 0;
    long right = 0;
    const unsigned long runEnd = offset + run;
    if (offset < firstLength) {
      ::GetMaxSample(first + offset, first + std::min(runEnd, firstLength), format, left, right);
    }
    if (runEnd > firstLength) {
      const unsigned long from = offset > firstLength ? offset - firstLength : 0;
      ::GetMaxSample(second + from, second + (runEnd - firstLength), format, left, right);
    }
    out[v] = static_cast<unsigned char>(std::max(left, right) * 255 / 32767);
  }
  buffer_->UpdateReadOffset(values * run);
  buffer_->Unlock();
  if (framePosition != nullptr) *framePosition += static_cast<long>(values) * framesPerValue;
  return static_cast<long>(values);
}

int CPCMSound::FinishedWithPlayOnce() {
  AtomGuard guard(*this);
  if (buffer_ == nullptr) return 1;
  if (buffer_->IsLoadedOnce()) {
    // The ring of a loaded-once buffer never empties; its read is over when it is complete.
    return buffer_->TotalBytesRead() >= buffer_->TotalBytesToRead() ? 1 : 0;
  }
  if (data_object_ == nullptr) return 1;
  // Compressed data has ended when its decoder has nothing left either.
  if (auto* decoding = dynamic_cast<CACMBuffer*>(buffer_.get())) {
    return decoding->Drained() && buffer_->NewDataInBuffer() == 0 ? 1 : 0;
  }
  return data_object_->Tell() >= data_object_->GetDataEnd() && buffer_->NewDataInBuffer() == 0 ? 1
                                                                                               : 0;
}

long CPCMSound::GetSourceBytesMixedInPlayOnceMode() {
  AtomGuard guard(*this);
  if (data_object_ == nullptr) return 0;
  if (buffer_ != nullptr && buffer_->IsLoadedOnce()) return data_object_->DataSize();
  return data_object_->Tell() - data_object_->GetDataStart();
}

long CPCMSound::CurrentPlayOffset() {
  AtomGuard guard(*this);
  const tWAVEFORMATEX* format = Format();
  if (buffer_ == nullptr || !RenderableFormat(format)) return 0;
  const uint32_t handedOut = std::min(buffer_->TotalBytesRead(), buffer_->TotalBytesToRead());
  return TruncateToLong(static_cast<double>(handedOut) / BytesPerSecond(format) * 1000.0);
}

void CPCMSound::SetVirtualTimeStart(long ms) {
  AtomGuard guard(*this);
  const tWAVEFORMATEX* format = Format();
  if (!RenderableFormat(format)) return;
  const long bytes = std::min<long>(MsToBytes(ms, format),
                                    WholeFrames(std::numeric_limits<uint32_t>::max(), format));
  SetVirtualDataStart(bytes);
  if (buffer_ != nullptr) buffer_->SetVirtualStart(static_cast<uint32_t>(bytes));
  if (data_object_ != nullptr && data_object_->IsOpen() && IsPCMOrACM(decoder_.get())) {
    const long block = BlockSize(ActualFormat(), decoder_.get());
    const long limit = data_object_->DataSize() - block;
    // The data object counts source bytes: decoded positions are scaled back to them.
    long sourceBytes = bytes;
    if (decoder_ != nullptr && ActualFormat() != nullptr && format->nAvgBytesPerSec > 0) {
      sourceBytes = static_cast<long>(static_cast<double>(bytes) * ActualFormat()->nAvgBytesPerSec /
                                      format->nAvgBytesPerSec);
    }
    sourceBytes = block > 0 ? sourceBytes - sourceBytes % block : sourceBytes;
    sourceBytes = std::max<long>(0, std::min(sourceBytes, limit));
    data_object_->SetVirtualStart(sourceBytes);
  }
}

long CPCMSound::GetVirtualTimeStart() {
  AtomGuard guard(*this);
  const tWAVEFORMATEX* format = Format();
  if (!RenderableFormat(format)) return 0;
  const double bytes = buffer_ != nullptr ? static_cast<double>(buffer_->GetVirtualStart())
                                          : static_cast<double>(GetVirtualDataStart());
  return TruncateToLong(bytes * 1000.0 / BytesPerSecond(format));
}

int CPCMSound::ShrinkBuffer(unsigned long bytes) {
  AtomGuard guard(*this);
  const tWAVEFORMATEX* format = Format();
  if (buffer_ == nullptr || data_object_ == nullptr || !RenderableFormat(format)) return 0;
  const unsigned long size = bytes - bytes % static_cast<unsigned long>(FrameBytes(format));
  if (size == 0 || size >= buffer_->BufferSize()) return 0;
  std::unique_ptr<CPCMBuffer> buffer;
  if (auto* decoder = dynamic_cast<ACMObject*>(decoder_.get())) {
    // Compressed data is held whole as its decoder makes it.
    auto* current = dynamic_cast<CACMBuffer*>(buffer_.get());
    buffer.reset(decoder->NewBuffer(current != nullptr ? current->GetSeekMap() : nullptr));
  } else {
    buffer.reset(new (std::nothrow) CPCMBuffer());
  }
  if (buffer == nullptr) return 0;
  data_object_->Seek(data_object_->GetDataStart(), 0);
  buffer->SetSilence(buffer_->Silence());
  if (!buffer->Init(data_object_.get(), size, 1, 50)) return 0;
  // A part of a file keeps playing from its own start, not from the start of the data.
  buffer->SetVirtualStart(buffer_->GetVirtualStart());
  buffer_ = std::move(buffer);
  return 1;
}

int CPCMSound::GetFormat(tWAVEFORMATEX* out) {
  const tWAVEFORMATEX* format = Format();
  if (out == nullptr || format == nullptr) return 0;
  std::memcpy(out, format, sizeof(tWAVEFORMATEX));
  return 1;
}

void CPCMSound::GetSrcFormatString(char* out, long outSize) {
  // Compressed data is described by its decoder, which knows its codec's name.
  if (auto* decoder = dynamic_cast<ACMObject*>(decoder_.get())) {
    decoder->GetSrcFormatStr(out, outSize);
  } else if (ActualFormat() != nullptr) {
    SoundFormatToString(ActualFormat(), out, outSize, nullptr);
  }
}

void CPCMSound::GetDestFormatString(char* out, long outSize) {
  if (Format() != nullptr) SoundFormatToString(Format(), out, outSize, nullptr);
}

bool CPCMSound::Pause() { return true; }

bool CPCMSound::Resume() { return true; }

int CPCMSound::IsTotalSilence() { return total_silence_; }

int CPCMSound::IsPartialSong() { return partial_song_; }

void CPCMSound::SetAutoTrim(int on) { auto_trim_ = on; }

int CPCMSound::IsAutoTrim() { return auto_trim_; }

int CPCMSound::SetEffect(CEffect*) { return 0; }

int CPCMSound::SetFormat(const tWAVEFORMATEX*) { return 0; }

char* CPCMSound::FindMissingFile(char*) { return nullptr; }

void CPCMSound::ErrorLoadingFile(unsigned long) {}

int CPCMSound::SaveAs(const char*, TLoadProgress, void*) {
  platform::set_last_error(sonark::kErrNotAvailable);
  return 0;
}
