#include <platform/codec_drivers.h>
#include <platform/codec_manager.h>
#include <platform/last_error.h>

#include <algorithm>
#include <limits>
#include <new>
#include <vector>

namespace platform {

namespace {

using codec::BlockDecoder;
using codec::Decimator;

constexpr uint32_t kErrOutOfMemory = 0x20000001;

// The filter grows with the factor; 768 kHz (factor 16) is the highest rate real converters
// record at, and anything beyond is taken for damage rather than given a huge filter.
constexpr uint32_t kHighestSourceRate = 768000;

// Samples decoded in one go: enough to make the per-call work small, little enough to stay in
// the cache.
constexpr size_t kBatchFrames = 16384;

// The driver's decoder for `format`, or null with *error set. The record is followed by its
// cbSize extra bytes, as the caller guarantees.
std::unique_ptr<BlockDecoder> DecoderFor(const tWAVEFORMATEX* format, uint32_t* error) {
  if (format == nullptr) {
    *error = kCodecErrBadFormat;
    return nullptr;
  }
  const uint16_t tag = format->wFormatTag;
  const bool linear = tag == kWaveFormatPcm || tag == kWaveFormatIeeeFloat ||
                      tag == kWaveFormatAlaw || tag == kWaveFormatMulaw ||
                      tag == kWaveFormatExtensible;
  const bool adpcm = tag == kWaveFormatAdpcm || tag == kWaveFormatImaAdpcm;
  if (!linear && !adpcm) {
    *error = kCodecErrNoDriver;
    return nullptr;
  }
  // The engine mixes mono and stereo only; it has no down-mix for more channels.
  if (format->nChannels > 2 || format->nSamplesPerSec > kHighestSourceRate) {
    *error = kCodecErrNoDriver;
    return nullptr;
  }
  if (format->nChannels == 0 || format->nSamplesPerSec == 0 || format->nBlockAlign == 0) {
    *error = kCodecErrBadFormat;
    return nullptr;
  }
  const auto* extra = reinterpret_cast<const unsigned char*>(format) + sizeof(tWAVEFORMATEX);
  return linear ? codec::MakeLinearDecoder(*format, extra, error)
                : codec::MakeAdpcmDecoder(*format, extra, error);
}

tWAVEFORMATEX OutputFormat(const tWAVEFORMATEX& source) {
  const unsigned factor = Decimator::FactorFor(source.nSamplesPerSec);
  return PcmFormat(source.nSamplesPerSec / factor, source.nChannels, 16);
}

unsigned long SaturatingProduct(unsigned long a, unsigned long b) {
  if (b != 0 && a > std::numeric_limits<unsigned long>::max() / b) {
    return std::numeric_limits<unsigned long>::max();
  }
  return a * b;
}

unsigned GreatestCommonDivisor(unsigned a, unsigned b) {
  while (b != 0) {
    const unsigned r = a % b;
    a = b;
    b = r;
  }
  return a;
}

// Decodes whole units of source: one driver block, or with a decimator as many blocks as
// make a whole number of output frames (a factor of 2 on IMA blocks of 505 frames takes two).
class BlockStream final : public CodecStream {
 public:
  BlockStream(std::unique_ptr<BlockDecoder> decoder, unsigned factor)
      : decoder_(std::move(decoder)),
        blocksPerUnit_(factor / GreatestCommonDivisor(decoder_->BlockFrames(), factor)),
        unitBytes_(static_cast<unsigned long>(decoder_->BlockBytes()) * blocksPerUnit_),
        unitFrames_(static_cast<size_t>(decoder_->BlockFrames()) * blocksPerUnit_),
        unitOutFrames_(unitFrames_ / factor),
        unitOutBytes_(unitOutFrames_ * 2 * decoder_->Channels()),
        unitsPerBatch_(std::max<size_t>(1, kBatchFrames / unitFrames_)) {
    const unsigned channels = decoder_->Channels();
    samples_.resize(unitFrames_ * unitsPerBatch_ * channels);
    if (factor > 1) {
      decimator_ = std::make_unique<Decimator>(factor, channels);
      decimator_->Reserve(unitFrames_ * unitsPerBatch_);
      decimated_.resize(unitOutFrames_ * unitsPerBatch_ * channels);
    }
  }

  unsigned long SourceBlock() const override { return unitBytes_; }

  unsigned long DestinationSize(unsigned long sourceBytes) const override {
    return SaturatingProduct(sourceBytes / unitBytes_, unitOutBytes_);
  }

  unsigned long SourceSize(unsigned long destinationBytes) const override {
    const unsigned long units =
        destinationBytes / unitOutBytes_ + (destinationBytes % unitOutBytes_ != 0);
    return SaturatingProduct(units, unitBytes_);
  }

  unsigned long Convert(const unsigned char* source, unsigned long sourceBytes,
                        unsigned long* sourceUsed, unsigned char* destination,
                        unsigned long capacity) override {
    if (sourceUsed != nullptr) *sourceUsed = 0;
    if (source == nullptr || destination == nullptr) return 0;
    const unsigned long units = std::min(sourceBytes / unitBytes_, capacity / unitOutBytes_);
    const unsigned channels = decoder_->Channels();
    unsigned char* out = destination;
    for (unsigned long done = 0; done < units;) {
      const size_t batch = std::min<unsigned long>(unitsPerBatch_, units - done);
      const size_t blocks = batch * blocksPerUnit_;
      const unsigned char* in = source + done * unitBytes_;
      for (size_t b = 0; b < blocks; ++b) {
        decoder_->Decode(in + b * decoder_->BlockBytes(),
                         samples_.data() + b * decoder_->BlockFrames() * channels);
      }
      const size_t frames = batch * unitFrames_;
      if (decimator_) {
        decimator_->Process(samples_.data(), frames, decimated_.data());
        for (size_t i = 0; i < batch * unitOutFrames_ * channels; ++i) {
          out = Put16(out, decimated_[i]);
        }
      } else {
        for (size_t i = 0; i < frames * channels; ++i) out = Put16(out, codec::To16(samples_[i]));
      }
      done += batch;
    }
    if (sourceUsed != nullptr) *sourceUsed = units * unitBytes_;
    return units * unitOutBytes_;
  }

  void Reset() override {
    if (decimator_) decimator_->Reset();
  }

 private:
  static unsigned char* Put16(unsigned char* out, int16_t sample) {
    const auto bits = static_cast<uint16_t>(sample);
    out[0] = static_cast<unsigned char>(bits);
    out[1] = static_cast<unsigned char>(bits >> 8);
    return out + 2;
  }

  std::unique_ptr<BlockDecoder> decoder_;
  unsigned blocksPerUnit_;
  unsigned long unitBytes_;
  size_t unitFrames_;
  size_t unitOutFrames_;
  unsigned long unitOutBytes_;
  size_t unitsPerBatch_;
  std::vector<int32_t> samples_;
  std::unique_ptr<Decimator> decimator_;
  std::vector<int16_t> decimated_;
};

bool SameFormat(const tWAVEFORMATEX& a, const tWAVEFORMATEX& b) {
  // cbSize says nothing about a PCM format; the rest must match.
  return a.wFormatTag == b.wFormatTag && a.nChannels == b.nChannels &&
         a.nSamplesPerSec == b.nSamplesPerSec && a.nAvgBytesPerSec == b.nAvgBytesPerSec &&
         a.nBlockAlign == b.nBlockAlign && a.wBitsPerSample == b.wBitsPerSample;
}

}  // namespace

int CodecDriverInstalled(const tWAVEFORMATEX* format) {
  uint32_t error = 0;
  try {
    if (DecoderFor(format, &error) != nullptr) return 1;
  } catch (const std::bad_alloc&) {
    error = kErrOutOfMemory;
  }
  // A damaged format of a family we decode still has its driver; CodecSuggestPcm refuses it.
  if (error == kCodecErrBadFormat && format != nullptr) return 1;
  set_last_error(error);
  return 0;
}

int CodecSuggestPcm(const tWAVEFORMATEX* format, tWAVEFORMATEX* pcm) {
  uint32_t error = kCodecErrBadFormat;
  try {
    if (pcm != nullptr && DecoderFor(format, &error) != nullptr) {
      *pcm = OutputFormat(*format);
      return 1;
    }
  } catch (const std::bad_alloc&) {
    error = kErrOutOfMemory;
  }
  set_last_error(error);
  return 0;
}

const char* CodecFormatTagName(uint16_t tag) {
  switch (tag) {
    case kWaveFormatPcm:
      return "PCM";
    case kWaveFormatAdpcm:
      return "Microsoft ADPCM";
    case kWaveFormatIeeeFloat:
      return "IEEE Float";
    case kWaveFormatAlaw:
      return "CCITT A-Law";
    case kWaveFormatMulaw:
      return "CCITT u-Law";
    case kWaveFormatImaAdpcm:
      return "IMA ADPCM";
    case kWaveFormatExtensible:
      return "Extensible";
    default:
      return "";
  }
}

std::unique_ptr<CodecStream> CodecOpen(const tWAVEFORMATEX* source,
                                       const tWAVEFORMATEX* destination) {
  uint32_t error = 0;
  try {
    std::unique_ptr<BlockDecoder> decoder = DecoderFor(source, &error);
    if (decoder != nullptr) {
      if (destination == nullptr || !SameFormat(*destination, OutputFormat(*source))) {
        error = kCodecErrBadFormat;
      } else {
        return std::make_unique<BlockStream>(std::move(decoder),
                                             Decimator::FactorFor(source->nSamplesPerSec));
      }
    }
  } catch (const std::bad_alloc&) {
    error = kErrOutOfMemory;
  }
  set_last_error(error);
  return nullptr;
}

}  // namespace platform
