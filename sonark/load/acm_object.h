#pragma once

#include <platform/wave_format.h>
#include <sonark/render/decoder.h>
#include <sonark/visibility.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace platform {
class CodecStream;
}
class CACMBuffer;
class CPeaks;
class CRefObj;
class CSeekMap;

// The load progress callback (as CInitialLoad declares it).
using TLoadProgress = int (*)(unsigned long amount, void* context);

// How a conversion relates to the ones before it.
enum TConversionFlag : int {
  kConvertRestart = 1,   // the first conversion after a seek: nothing of earlier data remains
  kConvertContinue = 2,  // continues the data of the previous conversion
};

// The decoder of compressed wave data through the platform's codec manager: a source format
// in, 16-bit PCM out (the format the codec suggests). It also scans a whole sound once at
// load time for its peaks and exact length, and makes the streaming buffer that decodes the
// sound while it plays (NewBuffer).
//
// Positions: a restart lands on a whole source block, and the output before the asked PCM
// position is dropped here, so a read after a seek gives exactly the bytes of a decode from
// the start.
class SONARK_API ACMObject : public CDecoder {
 public:
  // Copies `source` with its extra bytes. `flag` is kept (1 at every creation site).
  ACMObject(const tWAVEFORMATEX* source, unsigned long flag);
  ACMObject(const ACMObject& other);
  ACMObject& operator=(const ACMObject&) = delete;
  ~ACMObject() override;

  // A copy with the same formats and settings and no open stream; null when out of memory.
  virtual ACMObject* Copy();
  int IsACM() override;
  virtual int ACMDriverInstalled();
  virtual int ActivateDriver(int on);
  // A PCM destination for the source format; only while no stream is open. 0 drops it.
  virtual int SuggestPCMFormat();
  // Copies `format` as the destination; only while no stream is open.
  virtual int SetDestFormat(const tWAVEFORMATEX* format);
  // "IMA ADPCM, 44.100 kHz, 4 bit, Stereo" style, through SoundFormatToString.
  virtual void GetSrcFormatStr(char* text, long size);
  // 1 opens the conversion stream (once), 0 closes it.
  virtual int EnableStream(int on);
  // PCM bytes that `srcBytes` decode to.
  virtual double GetConvertedBufferSize(long srcBytes);
  // Source bytes that decode to `dstBytes` of PCM.
  virtual long GetSourceBufferSize(long dstBytes);
  long BlockSize(const tWAVEFORMATEX* format) override;
  // The load's one pass over the data from dataStart to dataEnd: peaks (into *peaks, a
  // peak file when writePeaks is set), a seek map (into *seekMap) and the length in ms.
  // *consumed gets the source bytes read. Progress, pause and cancel through the callback as
  // the initial load describes it; cancelling leaves neither peaks nor map. 1 on success.
  virtual int ParseScanAndBuild(CRefObj* source, CSeekMap** seekMap, CPeaks** peaks,
                                long* lengthMs, unsigned long* consumed, long dataStart,
                                long dataEnd, int* cancelled, int determineLength, int buildPeaks,
                                int buildSeekMap, long msPerPeak, int reserved, int writePeaks,
                                TLoadProgress callback, void* context);
  // Decodes `srcBytes` of `src` into at most dstCapacity bytes at `dst`; srcBytes becomes
  // the source bytes used. `last` says the data ends after them. Returns the PCM bytes
  // written, -1 on failure.
  virtual long Convert(const char* src, long& srcBytes, char* dst, long dstCapacity,
                       TConversionFlag flag, int last);
  virtual int FirstFrameDecodesToCDQuality();
  virtual void CheckMinimumSrcSize(unsigned long* size);
  // Entries of the seek map to step back before the target (negative: backwards).
  virtual long GetInitialNumOffsetsInRev();
  virtual void AdjustSrcOffset(unsigned long* offset);
  virtual bool Pause();
  virtual bool Resume();
  // The streaming buffer of a sound with this decoder: a copy of `other`, or a new one over
  // `seekMap` (which it holds a reference on). Null when out of memory.
  virtual CACMBuffer* NewBuffer(CACMBuffer& other);
  virtual CACMBuffer* NewBuffer(CSeekMap* seekMap);

  // Where the next restart begins: the restart unit (source block, or frame of the seek map)
  // `unit`, and the PCM byte position the output is to start at; the output in between is
  // decoded and dropped. Takes effect with the next kConvertRestart. The source stands at the
  // unit's offset (a block's, an entry's element; the data's start for unit 0).
  virtual void RestartAt(long unit, uint64_t pcmPosition);
  // Decoded bytes the decoder holds beyond what its last Convert could hand out.
  virtual long PendingBytes() { return 0; }

  tWAVEFORMATEX* GetSourceFormat() { return source_format_.get(); }
  tWAVEFORMATEX* GetDestFormat() { return dest_format_.get(); }
  long GetBitRate() const { return bit_rate_; }
  void SetBitRate(long rate) { bit_rate_ = best_bit_rate_ = rate; }
  long GetFrequency() const { return frequency_; }
  void SetFrequency(long frequency) { frequency_ = frequency; }
  long GetBestBitRate() const { return best_bit_rate_; }
  void SetBestBitRate(long rate) { best_bit_rate_ = rate; }
  // The exact decoded size in destination bytes, once a scan or a seek map told it; -1 before.
  int64_t PcmSize() const { return pcm_size_; }
  void SetPcmSize(int64_t bytes) { pcm_size_ = bytes; }

 protected:
  struct FreeBlock {
    void operator()(tWAVEFORMATEX* format) const;
  };
  using FormatPtr = std::unique_ptr<tWAVEFORMATEX, FreeBlock>;
  // A malloc'd copy of `format` with its extra bytes (`extra` false: 18 bytes only).
  static FormatPtr CopyFormat(const tWAVEFORMATEX* format, bool extra);
  int StreamOpen() const { return stream_ != nullptr ? 1 : 0; }

  int driver_ = 0;
  std::unique_ptr<platform::CodecStream> stream_;
  unsigned long flag_ = 1;
  int driver_installed_ = 1;
  FormatPtr source_format_;
  FormatPtr dest_format_;
  long bit_rate_ = 0;
  long frequency_ = 0;
  long best_bit_rate_ = 0;
  int64_t pcm_size_ = -1;

 private:
  // The codec's output for whole blocks, with the bytes before a restart's target dropped.
  std::vector<unsigned char> decoded_;
  long restart_unit_ = 0;
  uint64_t restart_target_ = 0;
  uint64_t drop_ = 0;
};
