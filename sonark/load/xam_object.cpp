#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/load/decoder_scan.h>
#include <sonark/load/peaks.h>
#include <sonark/load/seek_map.h>
#include <sonark/load/xam_object.h>
#include <sonark/mpeg/mpeg_engine.h>
#include <sonark/render/buffer_format.h>
#include <sonark/strings.h>
#include <tarnell/ref_obj.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

using sonark::load::DecoderScan;
using sonark::mpeg::Engine;
using sonark::mpeg::FramePcm;
using sonark::mpeg::PcmShaper;

namespace {

// The scan and the stream-information probe read this much at once.
constexpr long kScanRead = 64 * 1024;
constexpr long kProbeRead = 16 * 1024;

// Frames after which the synthesis filter's ring has made whole turns, whatever the layer.
constexpr int kFramesPerFilterTurn = 8;

// The block size field of an MPEG layer 3 format record: after the 18 bytes of the common
// record, the identifier (2 bytes) and the flags (4 bytes).
constexpr size_t kBlockSizeField = 18 + 2 + 4;

int32_t ClampPosition(int64_t bytes) {
  return static_cast<int32_t>(std::clamp<int64_t>(bytes, 0, INT32_MAX));
}

}  // namespace

XAMObject::XAMObject(const tWAVEFORMATEX* source, unsigned long flag) : ACMObject(source, flag) {
  if (source != nullptr) {
    tWAVEFORMATEX pcm{};
    pcm.wFormatTag = kWaveFormatPcm;
    pcm.nChannels = source->nChannels;
    pcm.nSamplesPerSec = source->nSamplesPerSec;
    pcm.wBitsPerSample = 16;
    if (ValidateFormat(&pcm, kWaveFormatPcm)) dest_format_ = CopyFormat(&pcm, false);
  }
}

XAMObject::XAMObject(const XAMObject& other)
    : ACMObject(other),
      vbr_(other.vbr_),
      version_(other.version_),
      layer_(other.layer_),
      average_frame_size_(other.average_frame_size_),
      mode_(other.mode_),
      cd_quality_(other.cd_quality_),
      encoder_delay_(other.encoder_delay_),
      encoder_padding_(other.encoder_padding_),
      declared_frames_(other.declared_frames_) {}

XAMObject::~XAMObject() = default;

ACMObject* XAMObject::Copy() {
  auto* copy = new (std::nothrow) XAMObject(*this);
  if (copy != nullptr && (copy->source_format_ == nullptr || copy->dest_format_ == nullptr)) {
    delete copy;
    copy = nullptr;
  }
  if (copy == nullptr) platform::set_last_error(sonark::kErrOutOfMemory);
  return copy;
}

int XAMObject::IsACM() { return 0; }

int XAMObject::SuggestPCMFormat() { return dest_format_ != nullptr ? 1 : 0; }

int XAMObject::SetDestFormat(const tWAVEFORMATEX* format) {
  if (format == nullptr) return 0;
  tWAVEFORMATEX pcm{};
  std::memcpy(&pcm, format, sizeof(tWAVEFORMATEX));
  if (!ValidateFormat(&pcm, kWaveFormatPcm) || pcm.wBitsPerSample != 16) return 0;
  dest_format_ = CopyFormat(&pcm, false);
  return dest_format_ != nullptr ? 1 : 0;
}

void XAMObject::GetSrcFormatStr(char* text, long size) {
  if (text == nullptr || size <= 0) return;
  // A strings file without the keys still gets a description.
  auto load = [](const char* key, const char* fallback, char* out, long outSize) {
    if (!SonarkLoadString(key, out, outSize) || out[0] == '\0') {
      std::snprintf(out, static_cast<size_t>(outSize), "%s", fallback);
    }
  };
  char pattern[128];
  char version[32];
  char mode[32];
  char vbr[32] = "";
  load("FS_MP3_FORMAT", "%s, %s%s, %d kbit/s, Layer %d", pattern, sizeof(pattern));
  if (version_ >= 2.4f) {
    load("IDS_MPEG2_5", "MPEG 2.5", version, sizeof(version));
  } else if (version_ >= 1.9f) {
    load("IDS_MPEG2", "MPEG 2", version, sizeof(version));
  } else {
    load("IDS_MPEG1", "MPEG 1", version, sizeof(version));
  }
  static const char* const kModeKeys[] = {"FS_STEREO", "FS_JSTEREO", "FS_DUAL_CHANNEL", "FS_MONO"};
  static const char* const kModeTexts[] = {"Stereo", "Joint stereo", "Dual channel", "Mono"};
  const long index = std::clamp<long>(mode_, 0, 3);
  load(kModeKeys[index], kModeTexts[index], mode, sizeof(mode));
  if (vbr_) load("FS_VBR", ", VBR", vbr, sizeof(vbr));
  sonark::FormatFromPattern(text, static_cast<size_t>(size), pattern,
                            {version, mode, vbr, bit_rate_ / 1000, layer_});
}

int XAMObject::EnableStream(int on) {
  if (!on) return 1;  // the engine lives as long as the decoder
  if (enabled_) return 1;
  auto engine = std::make_unique<Engine>();
  if (!engine->Valid() || !engine->OpenMemoryInput()) return 0;
  engine_ = std::move(engine);
  ConfigureShaper(shaper_);
  enabled_ = 1;
  return 1;
}

double XAMObject::MilsPerFrame() {
  const bool layer1 = layer_ == 1;
  switch (frequency_) {
    case 44100:
      return layer1 ? 8.707483 : 26.12245;
    case 48000:
      return layer1 ? 8.0 : 24.0;
    case 32000:
      return layer1 ? 12.0 : 36.0;
    default:
      return 0.0;
  }
}

double XAMObject::GetConvertedBufferSize(long srcBytes) {
  const tWAVEFORMATEX* source = source_format_.get();
  const tWAVEFORMATEX* dest = dest_format_.get();
  if (source == nullptr || dest == nullptr || srcBytes <= 0) return 0.0;
  const double ms = MilsPerFrame();
  const long block = BlockSize(source);
  if (ms == 0.0 || block <= 0) {
    if (source->nAvgBytesPerSec == 0) return 0.0;
    return static_cast<double>(srcBytes) * dest->nAvgBytesPerSec / source->nAvgBytesPerSec;
  }
  return static_cast<double>(srcBytes / block) * ms * dest->nAvgBytesPerSec * 0.001;
}

long XAMObject::GetSourceBufferSize(long dstBytes) {
  const tWAVEFORMATEX* source = source_format_.get();
  const tWAVEFORMATEX* dest = dest_format_.get();
  const long block = std::max(BlockSize(source), 1L);
  if (source == nullptr || dest == nullptr || dest->nAvgBytesPerSec == 0) return block;
  const long bytes = static_cast<long>(static_cast<double>(std::max(dstBytes, 0L)) *
                                       source->nAvgBytesPerSec / dest->nAvgBytesPerSec);
  return std::max(bytes / block * block, block);
}

long XAMObject::BlockSize(const tWAVEFORMATEX* format) {
  if (format == nullptr) return 0;
  if (format->wFormatTag != kWaveFormatMpegLayer3 || format->cbSize < 8) {
    return format->nBlockAlign;
  }
  uint16_t size = 0;
  std::memcpy(&size, reinterpret_cast<const unsigned char*>(format) + kBlockSizeField, 2);
  return size;
}

int XAMObject::FirstFrameDecodesToCDQuality() { return cd_quality_; }

void XAMObject::CheckMinimumSrcSize(unsigned long* size) {
  if (size != nullptr && *size < 2048) *size = 2048;
}

long XAMObject::SamplesPerFrame() const { return sonark::mpeg::SamplesPerFrame(layer_, version_); }

// Layer III frames take up to 511 bytes (255 in MPEG-2 and 2.5) of their data from the
// frames in front of them. The worst case is counted from the smallest frame of the format,
// less its header, side information and check word.
long XAMObject::GetInitialNumOffsetsInRev() {
  if (layer_ != 3 || frequency_ <= 0) return -(2 + kFramesPerFilterTurn - 1);
  const bool mpeg1 = version_ < 1.5f;
  const long smallest = mpeg1 ? 144 * 32000 / frequency_ : 72 * 8000 / frequency_;
  const long overhead = mpeg1 ? 4 + 32 + 2 : 4 + 17 + 2;
  const long reservoir = mpeg1 ? 511 : 255;
  const long data = std::max(smallest - overhead, 1L);
  return -(3 + kFramesPerFilterTurn - 1 + (reservoir + data - 1) / data);
}

int XAMObject::RestartEntry(const CSeekMap* map, int index) const {
  if (map == nullptr || index <= 0) return 0;
  // The target's frame depends on the overlap of the frame in front of it, and that one (in
  // MPEG-2, with one granule a frame) on the frame before: both must decode whole, so the
  // bit reservoir is rebuilt from in front of the earlier one.
  int at = std::max(index - 2, 0);
  if (layer_ == 3) {
    const bool mpeg1 = version_ < 1.5f;
    const long overhead = mpeg1 ? 4 + 32 + 2 : 4 + 17 + 2;
    const long reservoir = mpeg1 ? 511 : 255;
    long covered = 0;
    while (at > 0 && covered < reservoir) {
      --at;
      const long frame = static_cast<long>(map->ElementAt(at + 1)) -
                         static_cast<long>(map->ElementAt(at));
      covered += std::max(frame - overhead, 0L);
    }
    at = std::max(at - 1, 0);  // one frame for the decoder to find its footing
  }
  // The synthesis filter works round a ring of 16 slots, one per 32 samples, and sums its
  // taps in the ring's order: a restart on a frame whose count of slots since the start is a
  // whole number of turns (every eighth frame for every layer) rounds exactly as a run from
  // the start does.
  return at / kFramesPerFilterTurn * kFramesPerFilterTurn;
}

void XAMObject::AdjustSrcOffset(unsigned long* offset) {
  if (offset == nullptr) return;
  *offset = *offset < 5 ? 0 : *offset - 4;
}

void XAMObject::RestartAt(long unit, uint64_t pcmPosition) {
  restart_unit_ = std::max(unit, 0L);
  restart_target_ = pcmPosition;
  // The first frame restarts from the data's start, with whatever header frame precedes it,
  // as a run from the start reads it.
  restart_offset_ = map_ != nullptr && restart_unit_ > 0 ? map_->ElementAt(restart_unit_) : 0;
  if (map_ == nullptr) restart_unit_ = 0;
}

long XAMObject::PendingBytes() { return static_cast<long>(pending_.size() - pending_read_); }

int XAMObject::AllZeros(const short* data, long bytes, long& zeroBytes) {
  zeroBytes = 0;
  if (data == nullptr) return 0;
  const long samples = bytes / 2;
  for (long i = 0; i < samples; ++i) {
    if (data[i] != 0) return 1;
    zeroBytes += 2;
  }
  return 0;
}

long XAMObject::LastFrameDecoded() { return engine_ != nullptr ? engine_->FramesDecoded() : 0; }

void XAMObject::SetGapless(long delay, long padding, long frames) {
  encoder_delay_ = delay;
  encoder_padding_ = padding;
  declared_frames_ = frames;
}

void XAMObject::ConfigureShaper(PcmShaper& shaper) const {
  const tWAVEFORMATEX* dest = dest_format_.get();
  int64_t begin = 0;
  int64_t end = -1;
  // As the LAME header describes it: the encoder's delay and the decoder's own delay go at
  // the start, the padding (less the decoder's delay) at the end of the declared frames.
  if (layer_ == 3 && encoder_delay_ >= 0) {
    begin = encoder_delay_ + sonark::mpeg::kDecoderDelay;
    if (encoder_padding_ >= 0 && declared_frames_ > 0) {
      end = static_cast<int64_t>(declared_frames_) * SamplesPerFrame() - encoder_padding_ +
            sonark::mpeg::kDecoderDelay;
    }
  }
  shaper.Configure(frequency_ > 0 ? frequency_ : (dest != nullptr ? dest->nSamplesPerSec : 1),
                   dest != nullptr ? dest->nSamplesPerSec : 1,
                   dest != nullptr ? dest->nChannels : 2, begin, end);
}

long XAMObject::FrameIndex() const {
  if (map_ == nullptr || map_->Count() < 2) {
    return restart_unit_ + engine_->FramesDecoded() - 1;
  }
  const long offset = restart_offset_ + engine_->InputPosition();
  // The last entry marks the data's end, not a frame.
  int low = 0;
  int high = map_->Count() - 2;
  while (low <= high) {
    const int mid = low + (high - low) / 2;
    const long element = static_cast<long>(map_->ElementAt(mid));
    if (element == offset) return mid;
    if (element < offset) {
      low = mid + 1;
    } else {
      high = mid - 1;
    }
  }
  return -1;
}

long XAMObject::Convert(const char* src, long& srcBytes, char* dst, long dstCapacity,
                        TConversionFlag flag, int last) {
  if (!EnableStream(1)) {
    srcBytes = 0;
    return -1;
  }
  const long align = dest_format_->nBlockAlign;
  if (flag == kConvertRestart) {
    engine_->Reset();
    pending_.clear();
    pending_read_ = 0;
    shaper_.Restart(static_cast<int64_t>(restart_target_ / static_cast<uint64_t>(align)));
  }
  if (src != nullptr && srcBytes > 0) {
    srcBytes = engine_->Accept(reinterpret_cast<const unsigned char*>(src), srcBytes);
  } else {
    srcBytes = 0;
  }
  // Bytes already handed out leave the block before it grows again.
  if (pending_read_ > 0 && (pending_read_ == pending_.size() || pending_read_ >= (1u << 20))) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(pending_read_));
    pending_read_ = 0;
  }
  const long spf = SamplesPerFrame();
  FramePcm frame;
  int result;
  while ((result = engine_->DecodeFrame(&frame)) == 0) {
    const long index = FrameIndex();
    if (index < 0) continue;
    shaper_.AddFrame(static_cast<int64_t>(index) * spf,
                     reinterpret_cast<const int16_t*>(frame.data), frame.samples,
                     frame.channels, pending_);
  }
  if (last) shaper_.Flush(pending_);
  const long available = PendingBytes();
  const long n = std::min(available, std::max(dstCapacity, 0L));
  if (n > 0 && dst != nullptr) {
    std::memcpy(dst, pending_.data() + pending_read_, static_cast<size_t>(n));
    pending_read_ += static_cast<size_t>(n);
  }
  return dst != nullptr ? n : 0;
}

int XAMObject::ReadStreamInfo(CRefObj* source, long dataStart, long dataEnd) {
  if (source == nullptr || dataStart < 0 || dataEnd <= dataStart) return 0;
  const long position = source->Tell();
  Engine engine;
  int decoded = 0;
  if (engine.Valid() && engine.OpenMemoryInput() && source->Seek(dataStart, 0)) {
    std::vector<unsigned char> block(static_cast<size_t>(kProbeRead));
    // The first audio frame follows the Info frame; a few reads find it in any stream.
    for (long at = dataStart; at < dataEnd && !decoded && at < dataStart + 8 * kProbeRead;) {
      const long got = source->Read(reinterpret_cast<char*>(block.data()),
                                    std::min(kProbeRead, dataEnd - at));
      if (got <= 0) break;
      at += got;
      engine.Accept(block.data(), got);
      FramePcm frame;
      decoded = engine.DecodeFrame(&frame) == 0 ? 1 : 0;
    }
  }
  source->Seek(position, 0);
  if (decoded) SetGapless(engine.EncoderDelay(), engine.EncoderPadding(), engine.DeclaredFrames());
  return decoded;
}

int XAMObject::ParseScanAndBuild(CRefObj* source, CSeekMap** seekMap, CPeaks** peaks,
                                 long* lengthMs, unsigned long* consumed, long dataStart,
                                 long dataEnd, int* cancelled, int determineLength,
                                 int buildPeaks, int buildSeekMap, long msPerPeak,
                                 int /*reserved*/, int writePeaks, TLoadProgress callback,
                                 void* context) {
  if (!(determineLength || buildPeaks || buildSeekMap) || source == nullptr || dataStart < 0 ||
      dataEnd <= dataStart || !EnableStream(1)) {
    return 0;
  }
  // An instance of its own, so a sound that plays meanwhile is not disturbed. It decodes as
  // playback does (same engine mode, same shaping), which is what makes the map exact.
  Engine engine;
  if (!engine.Valid() || !engine.OpenMemoryInput()) return 0;
  PcmShaper shaper;
  ConfigureShaper(shaper);
  const long align = dest_format_->nBlockAlign;
  const long spf = SamplesPerFrame();

  DecoderScan scan(callback, context);
  if (buildPeaks && peaks != nullptr &&
      !scan.StartPeaks(source, dest_format_.get(), msPerPeak, writePeaks)) {
    buildPeaks = 0;
  }
  const bool mapping = buildSeekMap && seekMap != nullptr;
  // Entries wait for the end, where the last positions are capped at the whole size.
  std::vector<std::pair<uint32_t, int64_t>> entries;

  std::vector<unsigned char> block(static_cast<size_t>(kScanRead));
  std::vector<unsigned char> pcm;
  pcm.reserve(1 << 16);
  const int mode = source->DataMode();
  source->SetDataMode(0);
  bool stop = !source->Seek(dataStart, 0);
  long frames = 0;
  long position = dataStart;
  while (!stop && position < dataEnd) {
    const long got = source->Read(reinterpret_cast<char*>(block.data()),
                                  std::min(kScanRead, dataEnd - position));
    if (got <= 0) break;
    position += got;
    engine.Accept(block.data(), got);
    FramePcm frame;
    while (engine.DecodeFrame(&frame) == 0) {
      const int64_t native = static_cast<int64_t>(frames) * spf;
      if (mapping) {
        entries.emplace_back(static_cast<uint32_t>(engine.InputPosition()),
                             shaper.FirstOutputAt(native) * align);
      }
      pcm.clear();
      shaper.AddFrame(native, reinterpret_cast<const int16_t*>(frame.data), frame.samples,
                      frame.channels, pcm);
      scan.AddPcm(pcm.data(), static_cast<unsigned long>(pcm.size()));
      ++frames;
    }
    if (consumed != nullptr) *consumed += static_cast<unsigned long>(got);
    if (!scan.Report(static_cast<unsigned long>(got))) stop = true;
  }
  source->SetDataMode(mode);
  if (stop) {
    if (cancelled != nullptr) *cancelled = 1;
    scan.DropPeaks();
    return 0;
  }
  pcm.clear();
  shaper.Flush(pcm);
  scan.AddPcm(pcm.data(), static_cast<unsigned long>(pcm.size()));

  const int64_t total = static_cast<int64_t>(scan.PcmBytes());
  pcm_size_ = total;
  const long length = sonark::load::PcmMs(scan.PcmBytes(), dest_format_.get());
  if (lengthMs != nullptr) *lengthMs = length;
  if (buildPeaks && peaks != nullptr) {
    delete *peaks;
    *peaks = scan.FinishPeaks(length);
  }
  if (mapping && !entries.empty()) {
    auto* map = new (std::nothrow) CSeekMap();
    bool ok = map != nullptr;
    for (const auto& [offset, at] : entries) {
      ok = ok && map->AddEntry(offset, ClampPosition(std::min(at, total)));
    }
    ok = ok && map->AddEntry(static_cast<uint32_t>(dataEnd - dataStart), ClampPosition(total));
    if (ok) {
      DeleteSeekMap(seekMap);
      *seekMap = map;
    } else {
      DeleteSeekMap(&map);
    }
  }
  return 1;
}
