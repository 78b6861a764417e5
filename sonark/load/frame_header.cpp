#include <sonark/load/frame_header.h>

#include <cstring>

namespace {

// kbit/s by [MPEG-1 ? 0 : 1][layer index 3..1 -> 0..2][bit-rate index].
constexpr int kBitrates[2][3][16] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}},
};

// Hz by [version index][frequency index].
constexpr int kFrequencies[4][4] = {
    {11025, 12000, 8000, 0}, {0, 0, 0, 0}, {22050, 24000, 16000, 0}, {44100, 48000, 32000, 0}};

uint32_t BigEndian32(const char* b) {
  const auto* u = reinterpret_cast<const unsigned char*>(b);
  return static_cast<uint32_t>(u[0]) << 24 | static_cast<uint32_t>(u[1]) << 16 |
         static_cast<uint32_t>(u[2]) << 8 | u[3];
}

}  // namespace

void CFrameHeader::loadHeader(const char* bytes) { header_ = BigEndian32(bytes); }

int CFrameHeader::isValidHeader() const {
  return getFrameSync() == 0x7FF && getVersionIndex() != 1 && getLayerIndex() != 0 &&
         getBitrateIndex() != 0 && getBitrateIndex() != 15 && getFrequencyIndex() != 3 &&
         getEmphasisIndex() != 2;
}

float CFrameHeader::getVersion() const {
  switch (getVersionIndex()) {
    case 0: return 2.5f;
    case 2: return 2.0f;
    case 3: return 1.0f;
    default: return 0.0f;
  }
}

int CFrameHeader::getBitrate() const {
  if (getLayerIndex() == 0) return 0;
  const int lower = (header_ >> 19) & 1 ? 0 : 1;
  return kBitrates[lower][3 - getLayerIndex()][getBitrateIndex()];
}

int CFrameHeader::getFrequency() const {
  return kFrequencies[getVersionIndex()][getFrequencyIndex()];
}

void CFrameHeader::getMode(char* text) const {
  static const char* const kModes[4] = {"Stereo", "Joint Stereo", "Dual Channel",
                                        "Single Channel"};
  std::strcpy(text, kModes[getModeIndex()]);
}

int CFrameHeader::SamplesPerFrame() const {
  switch (getLayer()) {
    case 1: return 384;
    case 2: return 1152;
    default: return getVersionIndex() == 3 ? 1152 : 576;
  }
}

int CFrameHeader::FrameLength() const {
  if (!isValidHeader()) return 0;
  const long bits = static_cast<long>(getBitrate()) * 1000;
  const int frequency = getFrequency();
  if (getLayer() == 1) return static_cast<int>((bits * 12 / frequency + getPaddingBit()) * 4);
  // Bytes per frame = samples / 8 * bit rate / frequency: 144 or, for the half-size layer
  // III frames of MPEG-2 and 2.5, 72.
  const long factor = SamplesPerFrame() / 8;
  return static_cast<int>(bits * factor / frequency + getPaddingBit());
}

int CFrameHeader::SideInfoSize() const {
  const bool mono = getModeIndex() == 3;
  if (getVersionIndex() == 3) return mono ? 17 : 32;
  return mono ? 9 : 17;
}

int CVBitRate::loadHeader(const char* bytes, long count) {
  *this = CVBitRate{};
  if (count < 8) return 0;
  const bool xing = std::memcmp(bytes, "Xing", 4) == 0;
  if (!xing && std::memcmp(bytes, "Info", 4) != 0) return 0;
  variable_ = xing;
  const uint32_t flags = BigEndian32(bytes + 4);
  long at = 8;
  auto field = [&](uint32_t bit, int32_t* out) {
    if (!(flags & bit)) return;
    if (at + 4 <= count) *out = static_cast<int32_t>(BigEndian32(bytes + at));
    at += 4;
  };
  field(1, &frames_);
  field(2, &bytes_);
  if ((flags & 4) && at + 100 <= count) {
    std::memcpy(toc_, bytes + at, 100);
    has_toc_ = true;
  }
  return 1;
}
