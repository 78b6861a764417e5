#include <platform/codec_manager.h>
#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/fail.h>
#include <sonark/load/acm_buffer.h>
#include <sonark/load/acm_object.h>
#include <sonark/load/decoder_scan.h>
#include <sonark/load/peaks.h>
#include <sonark/load/seek_map.h>
#include <sonark/render/buffer_format.h>
#include <tarnell/ref_obj.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

using sonark::load::DecoderScan;

void ACMObject::FreeBlock::operator()(tWAVEFORMATEX* format) const { std::free(format); }

ACMObject::FormatPtr ACMObject::CopyFormat(const tWAVEFORMATEX* format, bool extra) {
  if (format == nullptr) return FormatPtr();
  const size_t size = sizeof(tWAVEFORMATEX) + (extra ? format->cbSize : 0);
  auto* copy = static_cast<tWAVEFORMATEX*>(std::calloc(size, 1));
  if (copy == nullptr) return FormatPtr();
  std::memcpy(copy, format, size);
  if (!extra) copy->cbSize = 0;
  return FormatPtr(copy);
}

ACMObject::ACMObject(const tWAVEFORMATEX* source, unsigned long flag)
    : flag_(flag), source_format_(CopyFormat(source, true)) {
  if (source != nullptr) frequency_ = static_cast<long>(source->nSamplesPerSec);
}

ACMObject::ACMObject(const ACMObject& other)
    : CDecoder(other),
      flag_(other.flag_),
      driver_installed_(other.driver_installed_),
      source_format_(CopyFormat(other.source_format_.get(), true)),
      dest_format_(CopyFormat(other.dest_format_.get(), false)),
      bit_rate_(other.bit_rate_),
      frequency_(other.frequency_),
      best_bit_rate_(other.best_bit_rate_),
      pcm_size_(other.pcm_size_) {}

ACMObject::~ACMObject() { EnableStream(0); }

ACMObject* ACMObject::Copy() {
  auto* copy = new (std::nothrow) ACMObject(*this);
  if (copy != nullptr && (copy->source_format_ == nullptr ||
                          (dest_format_ != nullptr && copy->dest_format_ == nullptr))) {
    delete copy;
    copy = nullptr;
  }
  if (copy == nullptr) platform::set_last_error(sonark::kErrOutOfMemory);
  return copy;
}

int ACMObject::IsACM() { return 1; }

int ACMObject::ACMDriverInstalled() { return driver_installed_; }

int ACMObject::ActivateDriver(int) { return 1; }

int ACMObject::SuggestPCMFormat() {
  if (StreamOpen()) return 0;
  tWAVEFORMATEX pcm{};
  if (source_format_ == nullptr || !platform::CodecSuggestPcm(source_format_.get(), &pcm)) {
    dest_format_.reset();
    return 0;
  }
  pcm.cbSize = 0;
  dest_format_ = CopyFormat(&pcm, false);
  return dest_format_ != nullptr ? 1 : 0;
}

int ACMObject::SetDestFormat(const tWAVEFORMATEX* format) {
  if (StreamOpen() || format == nullptr) return 0;
  FormatPtr copy = CopyFormat(format, false);
  if (copy == nullptr) return 0;
  dest_format_ = std::move(copy);
  return 1;
}

void ACMObject::GetSrcFormatStr(char* text, long size) {
  if (text == nullptr || size <= 0) return;
  text[0] = '\0';
  if (source_format_ == nullptr) return;
  SoundFormatToString(source_format_.get(), text, size,
                      platform::CodecFormatTagName(source_format_->wFormatTag));
}

int ACMObject::EnableStream(int on) {
  if (!on) {
    stream_.reset();
    driver_ = 0;
    return 1;
  }
  if (StreamOpen()) return 1;
  if (source_format_ == nullptr || dest_format_ == nullptr) return 0;
  stream_ = platform::CodecOpen(source_format_.get(), dest_format_.get());
  if (stream_ == nullptr) return 0;
  driver_ = 1;
  return 1;
}

double ACMObject::GetConvertedBufferSize(long srcBytes) {
  if (srcBytes <= 0) return 0.0;
  std::unique_ptr<platform::CodecStream> query;
  platform::CodecStream* stream = stream_.get();
  if (stream == nullptr) {
    if (source_format_ == nullptr || dest_format_ == nullptr) return 0.0;
    query = platform::CodecOpen(source_format_.get(), dest_format_.get());
    stream = query.get();
    if (stream == nullptr) return 0.0;
  }
  // A codec sizes whole blocks: a small request is sized a thousand times over, so that the
  // part of a block it holds is not lost to rounding.
  if (srcBytes < 1024) {
    return static_cast<double>(stream->DestinationSize(static_cast<unsigned long>(srcBytes) * 1024)) /
           1024.0;
  }
  return static_cast<double>(stream->DestinationSize(static_cast<unsigned long>(srcBytes)));
}

long ACMObject::GetSourceBufferSize(long dstBytes) {
  if (dstBytes <= 0) return 0;
  std::unique_ptr<platform::CodecStream> query;
  platform::CodecStream* stream = stream_.get();
  if (stream == nullptr) {
    if (source_format_ == nullptr || dest_format_ == nullptr) return 0;
    query = platform::CodecOpen(source_format_.get(), dest_format_.get());
    stream = query.get();
    if (stream == nullptr) return 0;
  }
  if (dstBytes < 8192) {
    return static_cast<long>(stream->SourceSize(static_cast<unsigned long>(dstBytes) * 8192) /
                             8192);
  }
  return static_cast<long>(stream->SourceSize(static_cast<unsigned long>(dstBytes)));
}

long ACMObject::BlockSize(const tWAVEFORMATEX* format) {
  if (stream_ != nullptr) return static_cast<long>(stream_->SourceBlock());
  return format != nullptr ? format->nBlockAlign : 0;
}

void ACMObject::RestartAt(long unit, uint64_t pcmPosition) {
  restart_unit_ = std::max(unit, 0L);
  restart_target_ = pcmPosition;
}

long ACMObject::Convert(const char* src, long& srcBytes, char* dst, long dstCapacity,
                        TConversionFlag flag, int /*last*/) {
  if (!EnableStream(1)) {
    srcBytes = 0;
    return -1;
  }
  if (flag == kConvertRestart) {
    stream_->Reset();
    const uint64_t perBlock = stream_->DestinationSize(stream_->SourceBlock());
    const uint64_t from = static_cast<uint64_t>(restart_unit_) * perBlock;
    drop_ = restart_target_ > from ? restart_target_ - from : 0;
  }
  if (src == nullptr || srcBytes <= 0 || dst == nullptr || dstCapacity <= 0) {
    srcBytes = 0;
    return 0;
  }
  unsigned long used = 0;
  long written = 0;
  if (drop_ == 0) {
    written = static_cast<long>(stream_->Convert(reinterpret_cast<const unsigned char*>(src),
                                                 static_cast<unsigned long>(srcBytes), &used,
                                                 reinterpret_cast<unsigned char*>(dst),
                                                 static_cast<unsigned long>(dstCapacity)));
  } else {
    // The bytes before the target are decoded (they carry the codec's state) and dropped.
    decoded_.resize(static_cast<size_t>(dstCapacity) + drop_);
    const unsigned long got = stream_->Convert(
        reinterpret_cast<const unsigned char*>(src), static_cast<unsigned long>(srcBytes), &used,
        decoded_.data(), static_cast<unsigned long>(decoded_.size()));
    const uint64_t dropped = std::min<uint64_t>(drop_, got);
    drop_ -= dropped;
    written = static_cast<long>(got - dropped);
    std::memcpy(dst, decoded_.data() + dropped, static_cast<size_t>(written));
  }
  srcBytes = static_cast<long>(used);
  return written;
}

int ACMObject::FirstFrameDecodesToCDQuality() {
  return dest_format_ != nullptr && dest_format_->nSamplesPerSec == 44100 &&
                 dest_format_->nChannels == 2
             ? 1
             : 0;
}

void ACMObject::CheckMinimumSrcSize(unsigned long*) {}

long ACMObject::GetInitialNumOffsetsInRev() { return 0; }

void ACMObject::AdjustSrcOffset(unsigned long*) {}

bool ACMObject::Pause() { return true; }

bool ACMObject::Resume() { return true; }

CACMBuffer* ACMObject::NewBuffer(CACMBuffer& other) {
  auto* buffer = new (std::nothrow) CACMBuffer(other);
  if (buffer != nullptr) buffer->SetACMObject(this);
  return buffer;
}

CACMBuffer* ACMObject::NewBuffer(CSeekMap* seekMap) {
  auto* buffer = new (std::nothrow) CACMBuffer(seekMap);
  if (buffer != nullptr) buffer->SetACMObject(this);
  return buffer;
}

int ACMObject::ParseScanAndBuild(CRefObj* source, CSeekMap** seekMap, CPeaks** peaks,
                                 long* lengthMs, unsigned long* consumed, long dataStart,
                                 long dataEnd, int* cancelled, int determineLength,
                                 int buildPeaks, int buildSeekMap, long msPerPeak,
                                 int /*reserved*/, int writePeaks, TLoadProgress callback,
                                 void* context) {
  if (cancelled != nullptr && *cancelled) return 0;
  if (!(determineLength || buildPeaks || buildSeekMap) || source == nullptr || dataStart < 0 ||
      dataEnd <= dataStart || !EnableStream(1)) {
    return 0;
  }
  const long block = std::max<long>(static_cast<long>(stream_->SourceBlock()), 1);
  // Small blocks are read a few thousand bytes at a time.
  const long readSize = block < 200 ? std::max(2000 / block, 1L) * block : block;
  const unsigned long perRead = stream_->DestinationSize(static_cast<unsigned long>(readSize));
  std::vector<unsigned char> input(static_cast<size_t>(readSize));
  std::vector<unsigned char> output(std::max<unsigned long>(perRead, 1));

  DecoderScan scan(callback, context);
  if (buildPeaks && peaks != nullptr && !scan.StartPeaks(source, dest_format_.get(), msPerPeak,
                                                         writePeaks)) {
    buildPeaks = 0;
  }
  CSeekMap* map = nullptr;
  if (buildSeekMap && seekMap != nullptr) map = new (std::nothrow) CSeekMap();

  const int mode = source->DataMode();
  source->SetDataMode(0);
  stream_->Reset();
  bool stop = false;
  long position = dataStart;
  if (!source->Seek(dataStart, 0)) stop = true;
  while (!stop && position < dataEnd) {
    const long want = std::min(readSize, dataEnd - position);
    const long got = source->Read(reinterpret_cast<char*>(input.data()), want);
    if (got <= 0) break;
    if (map != nullptr) {
      map->AddEntry(static_cast<uint32_t>(position - dataStart),
                    static_cast<int32_t>(std::min<uint64_t>(scan.PcmBytes(), INT32_MAX)));
    }
    unsigned long used = 0;
    const unsigned long made = stream_->Convert(input.data(), static_cast<unsigned long>(got),
                                                &used, output.data(), output.size());
    scan.AddPcm(output.data(), made);
    if (used == 0) break;  // a part of a block at the end decodes to nothing
    position += static_cast<long>(used);
    // What the codec left of the read comes again with the next one.
    if (static_cast<long>(used) < got) source->Seek(position, 0);
    if (consumed != nullptr) *consumed += used;
    if (!scan.Report(used)) stop = true;
  }
  source->SetDataMode(mode);
  stream_->Reset();

  if (stop && cancelled != nullptr) *cancelled = 1;
  if (cancelled != nullptr && *cancelled) {
    scan.DropPeaks();
    DeleteSeekMap(&map);
    return 0;
  }
  pcm_size_ = static_cast<int64_t>(scan.PcmBytes());
  const long length = sonark::load::PcmMs(scan.PcmBytes(), dest_format_.get());
  if (lengthMs != nullptr) *lengthMs = length;
  if (buildPeaks && peaks != nullptr) {
    delete *peaks;
    *peaks = scan.FinishPeaks(length);
  }
  if (map != nullptr) {
    map->AddEntry(static_cast<uint32_t>(position - dataStart),
                  static_cast<int32_t>(std::min<uint64_t>(scan.PcmBytes(), INT32_MAX)));
    DeleteSeekMap(seekMap);
    *seekMap = map;
  }
  return 1;
}
