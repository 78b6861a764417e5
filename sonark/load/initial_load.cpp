#include <platform/codec_manager.h>
#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/fail.h>
#include <sonark/file_dates.h>
#include <sonark/load/acm_object.h>
#include <sonark/load/initial_load.h>
#include <sonark/load/mp3_info.h>
#include <sonark/load/music_info.h>
#include <sonark/load/peak_slicer.h>
#include <sonark/load/peaks.h>
#include <sonark/load/seek_map.h>
#include <sonark/load/wave_chunks.h>
#include <sonark/load/wave_info.h>
#include <sonark/load/xam_object.h>
#include <sonark/render/buffer_format.h>
#include <sonark/render/decoder.h>
#include <sonark/temp_paths.h>
#include <strings.h>
#include <tarnell/errors.h>
#include <tarnell/file_obj.h>
#include <tarnell/riff.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

using sonark::Fail;

namespace {

using tarnell::FourCC;

// A data size that tells the length was never known: a writer that stopped before patching
// the header (0), or one that streamed to a pipe (all ones). Such data runs to the end.
constexpr uint32_t kUnpatchedSize = 0;
constexpr uint32_t kStreamedSize = 0xFFFFFFFF;

// Peak building reads at most this much at once, whatever the ms per peak.
constexpr long kMaxPeakRead = 4L << 20;

// The path of the disk file behind `source`, or null for anything else.
const char* SourcePath(CRefObj* source) {
  if (source == nullptr || source->Type() != 1) return nullptr;
  auto* file = dynamic_cast<CFileObj*>(source);
  return file != nullptr && file->FilePath()[0] != '\0' ? file->FilePath() : nullptr;
}

// Milliseconds of `bytes` at `bytesPerSecond`, truncated.
long LengthMs(long bytes, uint32_t bytesPerSecond) {
  if (bytesPerSecond == 0 || bytes <= 0) return 0;
  return TruncateToLong(static_cast<double>(bytes) / bytesPerSecond * 1000.0);
}

}  // namespace

SONARK_API int HasMpegExtension(const char* path) {
  if (path == nullptr) return 0;
  const char* slash = std::strrchr(path, '/');
  const char* name = slash != nullptr ? slash + 1 : path;
  const size_t length = std::strlen(name);
  if (length < 4) return 0;
  const char* extension = name + length - 4;
  return strcasecmp(extension, ".mp3") == 0 || strcasecmp(extension, ".mp2") == 0 ||
                 strcasecmp(extension, ".mp1") == 0
             ? 1
             : 0;
}

CInitialLoad::CInitialLoad() = default;

CInitialLoad::~CInitialLoad() {
  std::free(source_format_);
  delete decoder_;
  delete peak_map_;
  delete music_info_;
  DeleteSeekMap(&seek_map_);
}

CDecoder* CInitialLoad::StealACMObject() {
  CDecoder* decoder = decoder_;
  decoder_ = nullptr;
  return decoder;
}

CDecoder* CInitialLoad::GetACMObject() { return decoder_; }

tWAVEFORMATEX* CInitialLoad::StealWaveFomatEx() {
  tWAVEFORMATEX* format = source_format_;
  source_format_ = nullptr;
  return format;
}

TMusicInfo* CInitialLoad::StealMusicInfo() {
  TMusicInfo* info = music_info_;
  music_info_ = nullptr;
  return info;
}

void CInitialLoad::SetSeekMap(CSeekMap* map) {
  if (map != nullptr) map->AddReference();
  DeleteSeekMap(&seek_map_);
  seek_map_ = map;
}

void CInitialLoad::DropPeakMap() {
  delete peak_map_;
  peak_map_ = nullptr;
}

int CInitialLoad::AskToContinue(TLoadProgress callback, void* context, unsigned long amount) {
  if (callback == nullptr) return 1;
  int answer = callback(amount, context);
  while (answer == -1) answer = callback(0, context);
  return answer;
}

int CInitialLoad::DoInitialLoad(CRefObj* source, int buildSeekMap, int determineLength,
                                int buildPeaks, int reserved, long msPerPeak,
                                TLoadProgress callback, void* context) {
  platform::clear_last_error();
  // A second load on the same object starts from nothing.
  std::free(source_format_);
  source_format_ = nullptr;
  delete decoder_;
  decoder_ = nullptr;
  DropPeakMap();
  delete music_info_;
  music_info_ = nullptr;
  DeleteSeekMap(&seek_map_);
  loaded_ = 0;
  cancelled_ = 0;
  refused_ = 0;
  data_cut_short_ = 0;
  data_start_ = -1;
  data_end_ = -1;
  actual_length_ = 0;
  if (source == nullptr || !source->IsOpen()) return Fail(tarnell::kErrNotOpen);

  const long start = source->Tell();
  const int mpegName = HasMpegExtension(SourcePath(source));
  CRIFF riff;
  _chunkInfo form{};
  if (!riff.Open(source, &form)) {
    if (!mpegName) return 0;  // the RIFF code stays
    return LoadMpeg(source, start, buildSeekMap, determineLength, buildPeaks, reserved, msPerPeak,
                    callback, context);
  }

  int result = 0;
  if (form.type == FourCC("WAVE")) {
    result = LoadWave(source, riff, start, buildSeekMap, determineLength, buildPeaks, reserved,
                      msPerPeak, callback, context);
  } else if (form.type == FourCC("RMP3")) {
    sonark::wave::ChunkWalker chunks(riff);
    if (!chunks.Find(FourCC("data"))) return Fail(sonark::kErrNoDataChunk);
    const long chunkEnd = chunks.DataOffset() + static_cast<long>(chunks.Size());
    result = LoadMpeg(source, chunks.DataOffset(), buildSeekMap, determineLength, buildPeaks,
                      reserved, msPerPeak, callback, context);
    if (result && data_end_ > chunkEnd) {
      data_end_ = chunkEnd;
      if (data_end_ <= data_start_ ||
          !source->SetDataOffsets(static_cast<unsigned long>(data_start_),
                                  static_cast<unsigned long>(data_end_))) {
        return Fail(sonark::kErrDataRange);
      }
    }
  } else if (mpegName) {
    result = LoadMpeg(source, start, buildSeekMap, determineLength, buildPeaks, reserved, msPerPeak,
                      callback, context);
  } else {
    return Fail(sonark::kErrNotWaveOrMpeg);
  }
  if (result != 0) platform::clear_last_error();
  return result;
}

int CInitialLoad::LoadWave(CRefObj* source, CRIFF& riff, long startPosition, int buildSeekMap,
                           int determineLength, int buildPeaks, int reserved, long msPerPeak,
                           TLoadProgress callback, void* context) {
  (void)determineLength;  // PCM lengths are always exact
  sonark::wave::ChunkWalker chunks(riff);
  if (!chunks.Find(FourCC("fmt "))) return Fail(sonark::kErrNoFormatChunk);
  const long formatSize = chunks.Size();
  const long objectSize = source->Size();
  // The chunk must lie in the object before a block is sized after it.
  if (chunks.DataOffset() + formatSize > objectSize) return Fail(sonark::kErrFormatChunkShort);
  const long blockSize = std::max(formatSize, static_cast<long>(sizeof(tWAVEFORMATEX)));
  auto* format = static_cast<tWAVEFORMATEX*>(std::calloc(static_cast<size_t>(blockSize), 1));
  if (format == nullptr) return Fail(sonark::kErrOutOfMemory);
  source_format_ = format;
  if (!source->Seek(chunks.DataOffset(), 0) ||
      source->Read(reinterpret_cast<char*>(format), formatSize) != formatSize) {
    return Fail(sonark::kErrFormatChunkShort);
  }
  // Whoever copies the format trusts its count of extra bytes.
  format->cbSize = static_cast<uint16_t>(
      std::min<long>(format->cbSize, blockSize - static_cast<long>(sizeof(tWAVEFORMATEX))));

  if (format->wFormatTag == kWaveFormatPcm) {
    if (!ValidateFormat(format, kWaveFormatPcm)) {
      // Wider samples or a higher rate than the mixer takes are brought down by the codec
      // manager; anything else is no PCM we can play.
      const bool wide = format->wBitsPerSample == 24 || format->wBitsPerSample == 32;
      if (!(wide || format->nSamplesPerSec > 48000) ||
          (decoder_ = CreateCodecDecoder(format)) == nullptr) {
        return Fail(sonark::kErrUnsupportedPcm);
      }
    }
  } else if (format->wFormatTag == kWaveFormatMpegLayer3) {
    return LoadMpeg(source, startPosition, buildSeekMap, determineLength, buildPeaks, reserved,
                    msPerPeak, callback, context);
  } else {
    decoder_ = CreateCodecDecoder(format);
    if (decoder_ == nullptr) {
      if (HasMpegExtension(SourcePath(source))) {
        return LoadMpeg(source, startPosition, buildSeekMap, determineLength, buildPeaks, reserved,
                        msPerPeak, callback, context);
      }
      return Fail(sonark::kErrNoPcmFormat);
    }
  }

  if (!chunks.Find(FourCC("data"))) return Fail(sonark::kErrNoDataChunk);
  const long dataStart = chunks.DataOffset();
  long dataSize = chunks.Size();
  if (chunks.Size() == kStreamedSize ||
      (chunks.Size() == kUnpatchedSize && !chunks.PlausibleIdAt(dataStart))) {
    dataSize = std::max(objectSize - dataStart, 0L);
  }
  // A data chunk that claims more than the file holds belongs to a recording cut short or a
  // partial download: what is there is the user's sound, so it loads up to the file's end.
  if (dataStart + dataSize > objectSize) {
    dataSize = std::max(objectSize - dataStart, 0L);
    data_cut_short_ = 1;
  }
  if (decoder_ == nullptr) {
    // Whole frames only: a stray byte at the end would shift every channel of a looped read.
    dataSize -= dataSize % std::max<long>(format->nBlockAlign, 1);
  }
  if (dataSize <= 0) return Fail(sonark::kErrEmptyData);
  if (!source->SetDataOffsets(static_cast<unsigned long>(dataStart),
                              static_cast<unsigned long>(dataStart + dataSize))) {
    return Fail(sonark::kErrDataRange);
  }
  data_start_ = dataStart;
  data_end_ = dataStart + dataSize;

  SetMusInfoFromWaveInfo(source, &riff);
  loaded_ = 1;

  if (decoder_ != nullptr) {
    // Seek maps serve the MPEG decoder only.
    ParseScanAndBuildForCompressed(source, determineLength, buildPeaks, reserved, 0, msPerPeak,
                                   callback, context);
    return cancelled_ || refused_ ? 0 : 1;
  }
  if (buildPeaks && msPerPeak >= 1) {
    if (!BuildPcmPeaks(source, msPerPeak, callback, context)) {
      if (cancelled_) platform::clear_last_error();
      return 0;
    }
    return 1;
  }
  actual_length_ = LengthMs(dataSize, format->nAvgBytesPerSec);
  const int answer = AskToContinue(callback, context, 0);
  if (answer == 0) {
    cancelled_ = 1;
    platform::clear_last_error();
  }
  return answer;
}

int CInitialLoad::LoadMpeg(CRefObj* source, long startPosition, int buildSeekMap,
                           int determineLength, int buildPeaks, int reserved, long msPerPeak,
                           TLoadProgress callback, void* context) {
  if (!source->Seek(startPosition, 0)) return Fail(tarnell::kErrSeekFailed);
  if (!ParseMP3(source)) return 0;
  ParseScanAndBuildForCompressed(source, determineLength, buildPeaks, reserved, buildSeekMap,
                                 msPerPeak, callback, context);
  return cancelled_ || refused_ ? 0 : 1;
}

CDecoder* CInitialLoad::CreateCodecDecoder(const tWAVEFORMATEX* format) {
  if (format == nullptr || !platform::CodecDriverInstalled(format)) return nullptr;
  auto* decoder = new (std::nothrow) ACMObject(format, 1);
  if (decoder == nullptr) return nullptr;
  decoder->ActivateDriver(1);
  if (decoder->GetSourceFormat() == nullptr || !decoder->SuggestPCMFormat()) {
    delete decoder;
    return nullptr;
  }
  return decoder;
}

int CInitialLoad::ParseMP3(CRefObj* source) {
  if (source == nullptr) return Fail(sonark::kErrMpegInspection);
  CMP3Info info;
  if (info.loadInfo(source) != 0) return Fail(sonark::kErrMpegInspection);
  const long start = info.DataStart();
  const long end = info.DataEnd();
  if (start < 0 || end <= start) return Fail(sonark::kErrMpegInspection);

  // The MPEG layer 3 wave format record: the common 18 bytes, then identifier, flags, block
  // size, frames per block and codec delay.
  unsigned char record[30] = {};
  tWAVEFORMATEX head{};
  head.wFormatTag = kWaveFormatMpegLayer3;
  head.nChannels = static_cast<uint16_t>(info.BestNumChannels());
  head.nSamplesPerSec = static_cast<uint32_t>(info.BestSamplingRate());
  head.nAvgBytesPerSec = static_cast<uint32_t>(std::max(info.getBitrate(), 0) * 125);
  head.nBlockAlign = info.getLayer() == 1 ? 4 : 1;
  head.wBitsPerSample = 16;
  // The twelve bytes of layer 3 fields that follow; a count of 14 would send every copy of
  // the record two bytes past its end.
  head.cbSize = sizeof(record) - sizeof(tWAVEFORMATEX);
  std::memcpy(record, &head, sizeof(head));
  const uint16_t id = 1;
  const uint32_t flags = 2;
  const auto blockSize = static_cast<uint16_t>(info.GetAverageFrameSize());
  const uint16_t framesPerBlock = 1;
  const uint16_t codecDelay = 1393;
  std::memcpy(record + 18, &id, 2);
  std::memcpy(record + 20, &flags, 4);
  std::memcpy(record + 24, &blockSize, 2);
  std::memcpy(record + 26, &framesPerBlock, 2);
  std::memcpy(record + 28, &codecDelay, 2);
  const auto* format = reinterpret_cast<const tWAVEFORMATEX*>(record);

  SetMusInfoFromMP3Info(source, &info);

  std::unique_ptr<XAMObject> decoder(new (std::nothrow) XAMObject(format, 1));
  if (decoder == nullptr) return Fail(sonark::kErrOutOfMemory);
  decoder->SetBitRate(static_cast<long>(info.getBitrate()) * 1000);
  decoder->SetBestBitRate(static_cast<long>(info.BestBitrate()) * 1000);
  decoder->SetVBR(info.isVBitRate() ? 1 : 0);
  decoder->SetLayer(info.getLayer());
  decoder->SetFrequency(info.getFrequency());
  decoder->SetAverageFrameSize(info.GetAverageFrameSize());
  decoder->SetVersion(info.getZeVersion());
  decoder->SetMode(info.BestMode());
  decoder->SetFirstFrameDecodesToCDQuality(
      info.getFrequency() == 44100 && info.BestNumChannels() == 2 ? 1 : 0);
  decoder->ActivateDriver(1);
  if (!decoder->SuggestPCMFormat()) return Fail(sonark::kErrNoPcmFormat);
  // The encoder's delay and padding, so that scan and playback trim alike.
  decoder->ReadStreamInfo(source, start, end);

  auto* copy = static_cast<tWAVEFORMATEX*>(std::calloc(sizeof(record), 1));
  if (copy == nullptr) return Fail(sonark::kErrOutOfMemory);
  std::memcpy(copy, record, sizeof(record));
  std::free(source_format_);
  source_format_ = copy;
  delete decoder_;
  decoder_ = decoder.release();
  if (!source->SetDataOffsets(static_cast<unsigned long>(start), static_cast<unsigned long>(end))) {
    return Fail(sonark::kErrDataRange);
  }
  data_start_ = start;
  data_end_ = end;
  loaded_ = 1;
  return 1;
}

int CInitialLoad::ParseWMA(CRefObj* /*source*/) { return 0; }

long CInitialLoad::ParseScanAndBuildForCompressed(CRefObj* source, int determineLength,
                                                  int buildPeaks, int reserved, int buildSeekMap,
                                                  long msPerPeak, TLoadProgress callback,
                                                  void* context) {
  auto* decoder = dynamic_cast<ACMObject*>(decoder_);
  if (source == nullptr || decoder == nullptr) return Fail(sonark::kErrNoPcmFormat);
  const int cached = SourcePath(source) != nullptr && (source->Type() & 1) != 0;
  actual_length_ = 0;
  cancelled_ = 0;
  if (!AskToContinue(callback, context, 0)) cancelled_ = 1;
  source->SeekToData(0);
  const long dataSize = std::max(source->DataSize(), 0L);

  if (msPerPeak < 1) buildPeaks = 0;
  int writePeaks = buildPeaks && cached;
  int saveSeekMap = buildSeekMap;
  if (cached && !cancelled_) {
    if (buildPeaks) LoadPeakMap(source, msPerPeak, &buildPeaks, &writePeaks, &determineLength, 1);
    if (buildSeekMap && LoadSeekMap(source, &buildSeekMap, &saveSeekMap)) {
      // A map that does not end at this data's end was made of other data: made again.
      if (static_cast<long>(seek_map_->ElementAt(seek_map_->Count() - 1)) != dataSize) {
        DeleteSeekMap(&seek_map_);
        buildSeekMap = saveSeekMap = 1;
      }
    }
  }

  unsigned long consumed = 0;
  bool built = false;
  if (!cancelled_ && (determineLength || buildPeaks || buildSeekMap)) {
    long length = 0;
    CPeaks* peaks = nullptr;
    CSeekMap* map = nullptr;
    const int scanned = decoder->ParseScanAndBuild(
        source, buildSeekMap ? &map : nullptr, buildPeaks ? &peaks : nullptr, &length, &consumed,
        data_start_, data_end_, &cancelled_, determineLength, buildPeaks, buildSeekMap,
        msPerPeak, reserved, writePeaks, callback, context);
    if (scanned && !cancelled_) {
      if (determineLength || buildPeaks || length > 0) actual_length_ = length;
      if (peaks != nullptr) {
        DropPeakMap();
        peak_map_ = peaks;
      }
      if (map != nullptr) {
        DeleteSeekMap(&seek_map_);
        seek_map_ = map;
        built = true;
      }
    } else {
      delete peaks;
      DeleteSeekMap(&map);
    }
  }
  // A map from the side file tells the whole decoded size where no scan did.
  if (seek_map_ != nullptr && seek_map_->Count() > 0 && decoder->PcmSize() < 0) {
    decoder->SetPcmSize(seek_map_->SortValueAt(seek_map_->Count() - 1));
  }
  if (!cancelled_ && peak_map_ == nullptr && actual_length_ == 0) {
    if (decoder->PcmSize() > 0 && decoder->GetDestFormat() != nullptr &&
        decoder->GetDestFormat()->nAvgBytesPerSec > 0) {
      actual_length_ = LengthMs(static_cast<long>(decoder->PcmSize()),
                                decoder->GetDestFormat()->nAvgBytesPerSec);
    } else if (source_format_ != nullptr) {
      actual_length_ = LengthMs(dataSize, source_format_->nAvgBytesPerSec);
    }
  }
  // The caller's progress always sees the whole data go by.
  if (!cancelled_ && consumed == 0 && !AskToContinue(callback, context,
                                                     static_cast<unsigned long>(dataSize))) {
    cancelled_ = 1;
  }
  if (cancelled_) {
    // A cancelled load keeps no peaks and no map (the unfinished peak file goes with them).
    DropPeakMap();
    DeleteSeekMap(&seek_map_);
    actual_length_ = 0;
    platform::clear_last_error();
    return 0;
  }
  // Sounds keep their positions in 32-bit byte counts: a longer decode would wrap round.
  if (decoder->PcmSize() > INT32_MAX) {
    // Nothing of a refused sound is kept, its peak file included.
    if (peak_map_ != nullptr) peak_map_->DeletePeakFile();
    DropPeakMap();
    DeleteSeekMap(&seek_map_);
    actual_length_ = 0;
    refused_ = 1;
    return Fail(sonark::kErrDecodedTooLong);
  }
  if (built && saveSeekMap && cached && seek_map_->Count() > 0) {
    SaveSeekMap(source);
  }
  source->SeekToData(0);
  return actual_length_;
}

long CInitialLoad::ParsePeaksForUncompressed(CRefObj* source, int /*reserved*/, long msPerPeak,
                                             TLoadProgress callback, void* context) {
  BuildPcmPeaks(source, msPerPeak, callback, context);
  return actual_length_;
}

int CInitialLoad::BuildPcmPeaks(CRefObj* source, long msPerPeak, TLoadProgress callback,
                                void* context) {
  actual_length_ = 0;
  cancelled_ = 0;
  if (msPerPeak < 1) return 0;
  if (source == nullptr || source_format_ == nullptr || source_format_->nAvgBytesPerSec == 0) {
    return Fail(tarnell::kErrNotOpen);
  }
  const int cached = SourcePath(source) != nullptr;
  if (!AskToContinue(callback, context, 0)) {
    cancelled_ = 1;
    return 0;
  }
  const long dataSize = source->DataSize();
  int buildPeaks = 1;
  int writePeaks = cached;
  int determineLength = 1;
  if (cached && LoadPeakMap(source, msPerPeak, &buildPeaks, &writePeaks, &determineLength, 1)) {
    // The side file stands for the whole data.
    if (!AskToContinue(callback, context, static_cast<unsigned long>(std::max(dataSize, 0L)))) {
      DropPeakMap();
      actual_length_ = 0;
      cancelled_ = 1;
      return 0;
    }
    return 1;
  }

  if (dataSize <= 0 || !source->SeekToData(0)) return Fail(sonark::kErrDataRange);
  const tWAVEFORMATEX format = *source_format_;
  const long second = format.nAvgBytesPerSec;

  DropPeakMap();
  peak_map_ = new (std::nothrow) CPeaks(static_cast<unsigned long>(msPerPeak), -1);
  if (peak_map_ == nullptr || peak_map_->GetDataPtr() == nullptr) {
    DropPeakMap();
    return Fail(sonark::kErrOutOfMemory);
  }
  int toFile = writePeaks;
  peak_map_->InitStreamPeaksFromParse(&toFile, source);
  CPeakSlicer slicer;
  if (!slicer.Init(peak_map_, &format, static_cast<unsigned long>(msPerPeak))) {
    DropPeakMap();
    return Fail(sonark::kErrUnsupportedPcm);
  }

  // About a second per read, in whole peaks, so a cancel answers within a second of data.
  const long block = static_cast<long>(slicer.WholeBytesPerPeak());
  long readSize = dataSize < second ? dataSize : second / block * block;
  if (readSize <= 0) readSize = block;
  readSize = std::min(readSize, kMaxPeakRead);
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[readSize]);
  if (!buffer) {
    DropPeakMap();
    return Fail(sonark::kErrOutOfMemory);
  }

  bool peaksLost = false;
  for (long done = 0; done < dataSize;) {
    const long wanted = std::min(readSize, dataSize - done);
    const long got = source->Read(reinterpret_cast<char*>(buffer.get()), wanted);
    if (got != wanted) {
      DropPeakMap();
      return Fail(sonark::kErrDataRange);
    }
    if (!peaksLost && !slicer.Add(buffer.get(), static_cast<unsigned long>(got))) {
      peaksLost = true;
    }
    done += got;
    if (!AskToContinue(callback, context, static_cast<unsigned long>(got))) {
      DropPeakMap();
      cancelled_ = 1;
      return 0;
    }
  }

  actual_length_ = LengthMs(dataSize, format.nAvgBytesPerSec);
  // Peaks that could not be kept leave the sound without a waveform, not without sound.
  if (peaksLost || !slicer.Flush() || !peak_map_->FinishPeaksFromParse(actual_length_, toFile)) {
    DropPeakMap();
  }
  return 1;
}

int CInitialLoad::LoadPeakMap(CRefObj* source, long msPerPeak, int* buildPeaks, int* writePeaks,
                              int* determineLength, int loadAll) {
  const char* soundPath = SourcePath(source);
  if (soundPath == nullptr || msPerPeak < 1) return 0;
  auto* peaks = new (std::nothrow) CPeaks();
  if (peaks == nullptr) return Fail(sonark::kErrOutOfMemory);
  // Only a cache newer than the sound, built from a sound of its size, at this resolution.
  if (!peaks->LoadPeakCache(soundPath, static_cast<unsigned long>(msPerPeak), loadAll)) {
    delete peaks;
    return 0;
  }
  DropPeakMap();
  peak_map_ = peaks;
  actual_length_ = peaks->LengthOfSound();
  if (buildPeaks != nullptr) *buildPeaks = 0;
  if (writePeaks != nullptr) *writePeaks = 0;
  if (determineLength != nullptr) *determineLength = 0;
  return 1;
}

int CInitialLoad::LoadSeekMap(CRefObj* source, int* buildSeekMap, int* saveSeekMap) {
  const char* soundPath = SourcePath(source);
  if (soundPath == nullptr) return 0;
  char cachePath[PATH_MAX];
  if (!MakeTempPath1(soundPath, ".isk", cachePath, sizeof(cachePath), 0) ||
      !IsRightFileOlder(cachePath, soundPath)) {
    return 0;
  }
  auto* map = new (std::nothrow) CSeekMap();
  if (map == nullptr) return Fail(sonark::kErrOutOfMemory);
  if (!map->LoadFromFile(cachePath)) {
    DeleteSeekMap(&map);
    return 0;
  }
  DeleteSeekMap(&seek_map_);
  seek_map_ = map;
  if (buildSeekMap != nullptr) *buildSeekMap = 0;
  if (saveSeekMap != nullptr) *saveSeekMap = 0;
  return 1;
}

int CInitialLoad::SaveSeekMap(CRefObj* source) {
  const char* soundPath = SourcePath(source);
  if (soundPath == nullptr || seek_map_ == nullptr || seek_map_->Count() == 0) return 0;
  char cachePath[PATH_MAX];
  if (!MakeTempPath1(soundPath, ".isk", cachePath, sizeof(cachePath), 1)) return 0;
  return seek_map_->SaveToFile(cachePath);
}

int CInitialLoad::SetMusInfoFromWaveInfo(CRefObj* source, CRIFF* riff) {
  if (source == nullptr || riff == nullptr) return 0;
  auto* info = new (std::nothrow) TMusicInfo;
  if (info == nullptr) {
    platform::set_last_error(sonark::kErrOutOfMemory);
    return 0;
  }
  if (!ReadWaveMusicInfo(riff, info)) {
    delete info;
    return 0;
  }
  delete music_info_;
  music_info_ = info;
  return 1;
}
