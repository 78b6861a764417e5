#include <plugins/lame_enc/tag_frame.h>

#include <cstring>

namespace lame_enc {

namespace {

// Tags stacked deeper than this are not a file the engine wrote.
constexpr int kMaxLeadingTags = 16;

// The size of an ID3v2 tag starting with `h` (header and footer included), or 0 when `h` is not
// a tag header.
uint64_t Id3v2Size(const unsigned char h[10]) {
  if (std::memcmp(h, "ID3", 3) != 0 || h[3] == 0xFF || h[4] == 0xFF) return 0;
  if ((h[6] | h[7] | h[8] | h[9]) & 0x80) return 0;  // sizes are 7 bits a byte
  const uint64_t body = static_cast<uint64_t>(h[6]) << 21 | static_cast<uint64_t>(h[7]) << 14 |
                        static_cast<uint64_t>(h[8]) << 7 | h[9];
  const bool footer = h[3] >= 4 && (h[5] & 0x10) != 0;
  return 10 + body + (footer ? 10 : 0);
}

}  // namespace

bool FindTagFrame(const ReadAt& read, const unsigned char* frame, size_t frameSize,
                  uint64_t* offset) {
  if (frame == nullptr || frameSize < 4 || frame[0] != 0xFF || (frame[1] & 0xE0) != 0xE0) {
    return false;
  }
  uint64_t pos = 0;
  unsigned char head[10];
  for (int tags = 0;; ++tags) {
    if (!read(pos, head, sizeof head)) return false;
    const uint64_t tag = Id3v2Size(head);
    if (tag == 0) break;
    if (tags == kMaxLeadingTags) return false;
    pos += tag;
  }
  // libmp3lame may set other mode-extension bits in the final frame than in its placeholder.
  if (std::memcmp(head, frame, 3) != 0 || (head[3] & 0xCF) != (frame[3] & 0xCF)) return false;
  // The whole placeholder must be there: a file cut inside it is not ours to extend.
  unsigned char last = 0;
  if (!read(pos + frameSize - 1, &last, 1)) return false;
  *offset = pos;
  return true;
}

}  // namespace lame_enc
