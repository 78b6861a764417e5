#pragma once

#include <sonark/visibility.h>

#include <cstdint>

// One 4-byte MPEG audio frame header, first byte in bits 31-24.
class SONARK_API CFrameHeader {
 public:
  void loadHeader(const char* bytes);
  uint32_t Word() const { return header_; }

  // True unless the sync bits are not all ones, or the version, layer, bit-rate (free format
  // included), frequency or emphasis index is reserved.
  int isValidHeader() const;

  uint32_t getFrameSync() const { return header_ >> 21; }
  int getVersionIndex() const { return (header_ >> 19) & 3; }
  int getLayerIndex() const { return (header_ >> 17) & 3; }
  int getProtectionBit() const { return (header_ >> 16) & 1; }
  int getBitrateIndex() const { return (header_ >> 12) & 15; }
  int getFrequencyIndex() const { return (header_ >> 10) & 3; }
  int getPaddingBit() const { return (header_ >> 9) & 1; }
  int getPrivateBit() const { return (header_ >> 8) & 1; }
  int getModeIndex() const { return (header_ >> 6) & 3; }
  int getModeExtIndex() const { return (header_ >> 4) & 3; }
  int getCoprightBit() const { return (header_ >> 3) & 1; }
  int getOrginalBit() const { return (header_ >> 2) & 1; }
  int getEmphasisIndex() const { return header_ & 3; }

  // 1.0, 2.0 or 2.5; 0 for the reserved version.
  float getVersion() const;
  // 1, 2 or 3.
  int getLayer() const { return 4 - getLayerIndex(); }
  // kbit/s; 0 for free format and the reserved index.
  int getBitrate() const;
  // Hz; 0 for the reserved version or frequency.
  int getFrequency() const;
  // "Stereo", "Joint Stereo", "Dual Channel" or "Single Channel"; `text` holds 16 bytes.
  void getMode(char* text) const;

  // PCM samples per channel in one frame: 384 (layer I), 1152 (layer II and MPEG-1 layer
  // III), 576 (MPEG-2 and 2.5 layer III).
  int SamplesPerFrame() const;
  // Bytes of the whole frame, header and padding included; 0 for an invalid header.
  int FrameLength() const;
  // Bytes of layer III side information after the header (and CRC): 32, 17 or 9.
  int SideInfoSize() const;

 private:
  uint32_t header_ = 0;
};

// The "Xing" (variable bit rate) or "Info" (constant bit rate, written by LAME) header that
// encoders put in the first frame's audio data.
class SONARK_API CVBitRate {
 public:
  // `bytes` holds `count` bytes starting at the tag; at least 12 are needed. Returns 1 when a
  // "Xing" or "Info" tag starts there, else 0. Absent fields read -1.
  int loadHeader(const char* bytes, long count);
  // Frame count of the tag, -1 when absent.
  int32_t getNumberOfFrames() const { return frames_; }
  // Stream bytes of the tag, -1 when absent.
  int32_t getNumberOfBytes() const { return bytes_; }
  // True for "Xing" (the bit rate varies), false for "Info" or no tag.
  bool isVariable() const { return variable_; }
  bool hasToc() const { return has_toc_; }
  // The 100-entry table of contents: entry i is the byte position (of 256) at i percent.
  const uint8_t* Toc() const { return toc_; }

 private:
  int32_t frames_ = -1;
  int32_t bytes_ = -1;
  bool variable_ = false;
  bool has_toc_ = false;
  uint8_t toc_[100] = {};
};
