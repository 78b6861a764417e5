#pragma once

#include <sonark/load/acm_object.h>
#include <sonark/mpeg/pcm_shaper.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace sonark::mpeg {
class Engine;
}

// The decoder of MPEG audio (layers I to III) through the engine's MPEG decoding engine.
//
// The output is 16-bit PCM in the destination format (the stream's best format: 48 and
// 32 kHz decode to 44.1 kHz, 24 and 16 kHz to 22.05 kHz, 12 and 8 kHz to 11.025 kHz), with
// the encoder's delay and padding removed as the LAME header gives them. The load's scan and
// playback decode alike, and every output sample is placed by its absolute position in the
// stream (see PcmShaper), so the seek map's positions, the scan's length and what playback
// decodes after any seek agree to the byte.
//
// Seek-map entries are one per audio frame: the frame's byte offset from the data start and
// the destination-format PCM bytes that precede the first output sample it contributes to;
// a last entry holds the data's size and the whole PCM size.
class SONARK_API XAMObject : public ACMObject {
 public:
  XAMObject(const tWAVEFORMATEX* source, unsigned long flag);
  XAMObject(const XAMObject& other);
  XAMObject& operator=(const XAMObject&) = delete;
  ~XAMObject() override;

  ACMObject* Copy() override;
  int IsACM() override;
  int SuggestPCMFormat() override;
  int SetDestFormat(const tWAVEFORMATEX* format) override;
  void GetSrcFormatStr(char* text, long size) override;
  int EnableStream(int on) override;
  double GetConvertedBufferSize(long srcBytes) override;
  long GetSourceBufferSize(long dstBytes) override;
  long BlockSize(const tWAVEFORMATEX* format) override;
  int ParseScanAndBuild(CRefObj* source, CSeekMap** seekMap, CPeaks** peaks, long* lengthMs,
                        unsigned long* consumed, long dataStart, long dataEnd, int* cancelled,
                        int determineLength, int buildPeaks, int buildSeekMap, long msPerPeak,
                        int reserved, int writePeaks, TLoadProgress callback,
                        void* context) override;
  long Convert(const char* src, long& srcBytes, char* dst, long dstCapacity, TConversionFlag flag,
               int last) override;
  int FirstFrameDecodesToCDQuality() override;
  void CheckMinimumSrcSize(unsigned long* size) override;
  long GetInitialNumOffsetsInRev() override;
  void AdjustSrcOffset(unsigned long* offset) override;
  void RestartAt(long unit, uint64_t pcmPosition) override;
  long PendingBytes() override;

  double MilsPerFrame();
  // Counts the leading zero samples of `data` into zeroBytes; 1 at the first non-zero one.
  static int AllZeros(const short* data, long bytes, long& zeroBytes);
  long LastFrameDecoded();

  // Reads the stream's first frames from `dataStart` in `source` for what the LAME/Info
  // header says of the encoder's delay and padding and of the frame count. The position of
  // `source` is kept. 1 when a frame was decoded.
  int ReadStreamInfo(CRefObj* source, long dataStart, long dataEnd);
  void SetGapless(long delay, long padding, long frames);
  // The frames decoding must restart at, counted back from seek-map entry `index`, so that
  // the bit reservoir of the frames in front of it and the filters' overlap are rebuilt.
  int RestartEntry(const CSeekMap* map, int index) const;
  // The map the buffer seeks with: frames are placed by their offsets in it. Not owned.
  void UseSeekMap(const CSeekMap* map) { map_ = map; }

  int IsVBR() const { return vbr_; }
  void SetVBR(int vbr) { vbr_ = vbr; }
  float Version() const { return version_; }
  void SetVersion(float version) { version_ = version; }
  int Layer() const { return layer_; }
  void SetLayer(int layer) { layer_ = layer; }
  double AverageFrameSize() const { return average_frame_size_; }
  void SetAverageFrameSize(double size) { average_frame_size_ = size; }
  long Mode() const { return mode_; }
  void SetMode(long mode) { mode_ = mode; }
  void SetFirstFrameDecodesToCDQuality(int on) { cd_quality_ = on; }

 private:
  long SamplesPerFrame() const;
  // Sets the shaper up for the formats and the gapless trimming.
  void ConfigureShaper(sonark::mpeg::PcmShaper& shaper) const;
  // The frame index of the frame just decoded, -1 when it is not one of the map's.
  long FrameIndex() const;

  std::unique_ptr<sonark::mpeg::Engine> engine_;
  int enabled_ = 0;
  int vbr_ = 0;
  float version_ = 1.0f;
  int layer_ = 3;
  double average_frame_size_ = 0.0;
  long mode_ = 0;
  int cd_quality_ = 0;

  long encoder_delay_ = -1;
  long encoder_padding_ = -1;
  long declared_frames_ = 0;

  const CSeekMap* map_ = nullptr;
  sonark::mpeg::PcmShaper shaper_;
  std::vector<unsigned char> pending_;
  size_t pending_read_ = 0;
  long restart_unit_ = 0;
  uint64_t restart_target_ = 0;
  long restart_offset_ = 0;
};
