// Drivers for sample formats that hold one value per sample: linear PCM of any width, IEEE
// float, G.711 A-law and mu-law, and WAVE_FORMAT_EXTENSIBLE wrapping one of them. A block is
// one frame.

#include <platform/codec_drivers.h>
#include <platform/codec_manager.h>

#include <cmath>
#include <cstring>

namespace platform::codec {

namespace {

enum class Coding {
  kUnsigned8,
  kSigned16,
  kSigned24,
  kSigned32,
  kFloat32,
  kFloat64,
  kAlaw,
  kMulaw
};

// G.711 expansions to 16 bits, the ones the standard's reference code gives (A-law reaches
// ±32256, mu-law ±32124).
int16_t AlawTo16(unsigned char a) {
  a ^= 0x55;
  int t = (a & 0x0F) << 4;
  const int segment = (a & 0x70) >> 4;
  if (segment == 0) {
    t += 8;
  } else {
    t = (t + 0x108) << (segment - 1);
  }
  return static_cast<int16_t>((a & 0x80) ? t : -t);
}

int16_t MulawTo16(unsigned char u) {
  u = static_cast<unsigned char>(~u);
  int t = (((u & 0x0F) << 3) + 0x84) << ((u & 0x70) >> 4);
  return static_cast<int16_t>((u & 0x80) ? 0x84 - t : t - 0x84);
}

// Float samples have their full scale at ±1.0 and clip there. They go onto the 32-bit scale
// (times 2^31) as sox reads them, so that both give the same 16-bit samples: 32-bit floats
// are cut toward zero, 64-bit ones rounded half away from zero. NaN is silence.
int32_t Float32To32(float f) {
  const double d = f * 2147483648.0;
  if (std::isnan(d)) return 0;
  if (d < -2147483648.0) return INT32_MIN;
  if (d >= 2147483648.0) return INT32_MAX;
  return static_cast<int32_t>(d);
}

int32_t Float64To32(double x) {
  const double d = x * 2147483648.0;
  if (std::isnan(d)) return 0;
  if (d < 0) return d <= -2147483648.5 ? INT32_MIN : static_cast<int32_t>(d - 0.5);
  return d >= 2147483647.5 ? INT32_MAX : static_cast<int32_t>(d + 0.5);
}

class LinearDecoder final : public BlockDecoder {
 public:
  LinearDecoder(Coding coding, unsigned bytesPerSample, unsigned channels)
      : BlockDecoder(bytesPerSample * channels, 1, channels), coding_(coding) {
    if (coding == Coding::kAlaw || coding == Coding::kMulaw) {
      for (int i = 0; i < 256; ++i) {
        const auto byte = static_cast<unsigned char>(i);
        table_[i] = coding == Coding::kAlaw ? AlawTo16(byte) : MulawTo16(byte);
      }
    }
  }

  void Decode(const unsigned char* p, int32_t* out) const override {
    for (unsigned c = 0; c < Channels(); ++c) {
      switch (coding_) {
        case Coding::kUnsigned8:
          out[c] = static_cast<int32_t>(static_cast<uint32_t>(p[0] ^ 0x80) << 24);
          p += 1;
          break;
        case Coding::kSigned16:
          out[c] = static_cast<int32_t>(static_cast<uint32_t>(Le16(p)) << 16);
          p += 2;
          break;
        case Coding::kSigned24:
          out[c] = static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 8 |
                                        static_cast<uint32_t>(p[1]) << 16 |
                                        static_cast<uint32_t>(p[2]) << 24);
          p += 3;
          break;
        case Coding::kSigned32:
          out[c] = static_cast<int32_t>(Le32(p));
          p += 4;
          break;
        case Coding::kFloat32: {
          float f;
          const uint32_t bits = Le32(p);
          std::memcpy(&f, &bits, 4);
          out[c] = Float32To32(f);
          p += 4;
          break;
        }
        case Coding::kFloat64: {
          double d;
          const uint64_t bits = Le32(p) | static_cast<uint64_t>(Le32(p + 4)) << 32;
          std::memcpy(&d, &bits, 8);
          out[c] = Float64To32(d);
          p += 8;
          break;
        }
        case Coding::kAlaw:
        case Coding::kMulaw:
          out[c] = static_cast<int32_t>(static_cast<uint32_t>(table_[p[0]]) << 16);
          p += 1;
          break;
      }
    }
  }

 private:
  static uint32_t Le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  }

  Coding coding_;
  int16_t table_[256] = {};
};

// The KSDATAFORMAT_SUBTYPE GUIDs of the extensible format share these bytes after the 32-bit
// format tag that leads them.
constexpr unsigned char kGuidTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                         0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// The extensible format's part past the 18 bytes: valid bits, channel mask, sub-format.
constexpr unsigned kExtensibleBytes = 22;

}  // namespace

std::unique_ptr<BlockDecoder> MakeLinearDecoder(const tWAVEFORMATEX& format,
                                                const unsigned char* extra, uint32_t* error) {
  uint16_t tag = format.wFormatTag;
  const unsigned bits = format.wBitsPerSample;
  if (tag == kWaveFormatExtensible) {
    if (format.cbSize < kExtensibleBytes) {
      *error = kCodecErrBadFormat;
      return nullptr;
    }
    const unsigned valid = Le16(extra);
    const unsigned char* guid = extra + 6;
    if (guid[2] != 0 || guid[3] != 0 || std::memcmp(guid + 4, kGuidTail, sizeof kGuidTail) != 0) {
      *error = kCodecErrNoDriver;
      return nullptr;
    }
    // Samples are left-justified in their container, so the container width decodes them;
    // valid bits only have to fit inside it (0 is written by some tools for "all of them").
    if (valid > bits) {
      *error = kCodecErrBadFormat;
      return nullptr;
    }
    tag = Le16(guid);
    if (tag != kWaveFormatPcm && tag != kWaveFormatIeeeFloat && tag != kWaveFormatAlaw &&
        tag != kWaveFormatMulaw) {
      *error = kCodecErrNoDriver;
      return nullptr;
    }
  }

  Coding coding;
  unsigned bytes = 0;
  switch (tag) {
    case kWaveFormatPcm:
      // Linear PCM keeps its container whole bytes wide: a 20-bit sample sits in three.
      if (bits < 1 || bits > 32) {
        *error = bits == 0 ? kCodecErrBadFormat : kCodecErrNoDriver;
        return nullptr;
      }
      bytes = (bits + 7) / 8;
      coding = bytes == 1   ? Coding::kUnsigned8
               : bytes == 2 ? Coding::kSigned16
               : bytes == 3 ? Coding::kSigned24
                            : Coding::kSigned32;
      break;
    case kWaveFormatIeeeFloat:
      if (bits != 32 && bits != 64) {
        *error = kCodecErrNoDriver;
        return nullptr;
      }
      bytes = bits / 8;
      coding = bits == 32 ? Coding::kFloat32 : Coding::kFloat64;
      break;
    case kWaveFormatAlaw:
    case kWaveFormatMulaw:
      if (bits != 8) {
        *error = kCodecErrNoDriver;
        return nullptr;
      }
      bytes = 1;
      coding = tag == kWaveFormatAlaw ? Coding::kAlaw : Coding::kMulaw;
      break;
    default:
      *error = kCodecErrNoDriver;
      return nullptr;
  }
  // Frames are packed: a block align that disagrees with the sample width would put every
  // frame after the first in the wrong place.
  if (format.nBlockAlign != bytes * format.nChannels) {
    *error = kCodecErrBadFormat;
    return nullptr;
  }
  return std::make_unique<LinearDecoder>(coding, bytes, format.nChannels);
}

}  // namespace platform::codec
