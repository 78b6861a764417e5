#pragma once

#include <sonark/export/conv_file_obj.h>
#include <sonark/export/mp3_encoders.h>
#include <sonark/visibility.h>

#include <cstdint>
#include <vector>

// Writes the export as an MPEG layer 3 file through an encoder library (mp3_encoders.h): the
// converter is itself the output file. Protocol: Create, ReserveTagSpace, WriteStreamData for
// each block of GetDesiredBufferSize bytes, EndWriteStream, FinalData (flushes the encoder and
// completes the Xing header), Close, then WriteTag with the same path.
//
// The PCM fed is always 16-bit at the format's rate and channel count (1 for mono, else 2).
//
// CLameConv2MP3 and CBladeConv2MP3 adapt it to their library's configuration record and
// abilities. Non-copyable.
class SONARK_API CConv2MP3 : public CConv2FileObj {
 public:
  // What an encoder library can do (abilities bits).
  enum Ability : uint16_t {
    kVBR = 1 << 0,
    kVBRXingHeader = 1 << 1,
    kVBRQuality = 1 << 2,
    kABR = 1 << 3,
    kMPEG1 = 1 << 4,
    kMPEG2 = 1 << 5,
    kMPEG2_5 = 1 << 6,
    kJStereo = 1 << 7,
    kDualChannel = 1 << 8,
  };
  static constexpr unsigned long kConfigSize = 331;

  CConv2MP3(const CConv2MP3&) = delete;
  CConv2MP3& operator=(const CConv2MP3&) = delete;
  ~CConv2MP3() override;

  // Closes an open encoder stream without flushing it and closes the file.
  void Close() override;

  virtual _tMP3EncoderDllTypedef GetMP3EncoderType();
  bool SupportsVBR() const { return (abilities_ & kVBR) != 0; }
  bool SupportsVBRXINGHeader() const { return (abilities_ & kVBRXingHeader) != 0; }
  bool SupportsVBRQuality() const { return (abilities_ & kVBRQuality) != 0; }
  bool SupportsABR() const { return (abilities_ & kABR) != 0; }
  bool SupportsMPEG1() const { return (abilities_ & kMPEG1) != 0; }
  bool SupportsMPEG2() const { return (abilities_ & kMPEG2) != 0; }
  bool SupportsMPEG2_5() const { return (abilities_ & kMPEG2_5) != 0; }
  bool SupportsJStereo() const { return (abilities_ & kJStereo) != 0; }
  bool SupportsDualChannel() const { return (abilities_ & kDualChannel) != 0; }
  // Whether the MPEG version (1 MPEG-1, 0 MPEG-2, 2 MPEG-2.5) and the mode (0 stereo,
  // 1 joint stereo, 2 dual channel, 3 mono) are ones this encoder supports.
  bool SupportsVersion(int mpegVersion) const;
  bool SupportsMode(int mode) const;

  using CConv2FileObj::Create;
  // Loads the library, creates the file and opens an encoder stream for `format`. `source`
  // (may be null) is the PCM that will be written and must be 16-bit at the format's rate and
  // channel count. 0 on failure: kErrEncoderEntryPoint when an entry point is missing or the
  // library refuses the settings, kErrOutOfMemory for the blocks, the file's error else.
  int Create(const char* path, CConv2FileFormat* format, tWAVEFORMATEX* source) override;
  // The input block in bytes: a little over one second of samples, in whole chunks.
  long GetDesiredBufferSize() override;
  // Encodes `length` bytes of 16-bit PCM and writes the frames; `written` receives the bytes
  // taken (all of them). A short last block is passed as a short chunk, so nothing is added
  // to the sound. The MP3 bytes written, -1 on failure (the stream is closed).
  long WriteStreamData(void* data, long length, long* written) override;
  // 0: the encoder is flushed by FinalData.
  long EndWriteStream() override;
  // Flushes the last frames, closes the stream and frees the blocks; `ok` is set to 1 once
  // that worked. The bytes written, -1 on failure. `path` is the file being written (the
  // LAME converter completes its Xing header there).
  long FinalData(const char* path, const char* softwareText, int* ok, TMusicInfo* info) override;
  // For tag type 2, writes an empty ID3v2 tag of the reserved size at the start of the new
  // file and returns its size with the header; else 0. -1 when it cannot be written.
  int ReserveTagSpace() override;
  // Reopens the finished file at `path` and writes the tags of the tag type: ID3v1 at the end
  // (types 1 and 2), and for type 2 the ID3v2 tag at the start (keeping the other frames of
  // the tag `info` came from when `source` holds it). An empty title becomes the file's name,
  // an empty encoder field `encoderName`, an empty ID3v1 comment the encoder text. The tag
  // bytes written; 0 for tag type 0, -1 on failure.
  int WriteTag(const char* path, const char* encoderName, const char* text, TMusicInfo* info,
               CFileObj* source) override;
  using CConv2FileObj::WriteTag;

  // Settings of the format record, for this encoder's abilities.
  virtual void UpdateSettingsAfterEncoderChange(CConv2FileFormat* format);
  void MakeMostNaturalFormatCallback(CConv2FileFormat* format, tWAVEFORMATEX* wave,
                                     ACMObject* decoder) override;
  void UserMaximumsCallback(CConv2FileFormat* format, CConv2FileFormat* maximums) override;
  bool ValidateFormat(CConv2FileFormat* format) override;
  void GetFormatFromPreset(CConv2FileFormat* format, long preset, _tTagTypedef tagType,
                           _tSoundQualityTypedef quality) override;
  // The short description ("MPEG-1, 192 kbit/s, stereo").
  void GetTargetFormatStr(char* text, long size, CConv2FileFormat* format) override;
  // The long description with the flags that are on, for the advanced settings.
  void GetUserSettingsStr(char* text, long size, CConv2FileFormat* format);
  using CConv2FileObj::GetTargetFormat;
  // The settings for a sound of format `wave` with music information `info`; also fixes the
  // tag type and the reserved ID3v2 size of this converter.
  void GetTargetFormat(CConv2FileFormat* target, CConv2FileFormat* source, tWAVEFORMATEX* wave,
                       TMusicInfo* info, ACMObject* decoder) override;
  double GetBytesToWrite(CConv2FileFormat* format, tWAVEFORMATEX* wave, double lengthMs) override;
  // The bit rate a size estimate goes by, kbit/s.
  virtual unsigned long GetBitrateForBytesToWrite(CConv2FileFormat* format);

  _tTagTypedef TagType() const { return tag_type_; }
  unsigned long ReservedTagSize() const { return reserved_tag_size_; }
  // The library's name and version, "" before a library was loaded by this converter.
  const char* EncoderVersionText() const { return version_text_; }

 protected:
  CConv2MP3(_tMP3EncoderDllTypedef type, uint16_t abilities);

  // Loads this converter's library; `loadedNow` tells whether this call loaded it.
  virtual int GetEncoderDll(sonark::MP3EncoderEntryPoints* entries, bool* loadedNow);
  // Fills config_ (kConfigSize bytes, zeroed) for `format`.
  virtual int SetupConfig(CConv2FileFormat* format, tWAVEFORMATEX* source) = 0;
  // Called by Create after the stream entry points were found and the library was loaded by
  // this call (`loadedNow`); 0 refuses the conversion.
  virtual int CheckExtraEntryPoints(const sonark::MP3EncoderEntryPoints& entries, bool loadedNow);
  // Called by FinalData once the stream is flushed and closed; 0 fails it.
  virtual int AfterFlush(const char* path);
  // Frees the stream (unflushed), the blocks and the record.
  void ReleaseStream();
  // Writes `count` bytes of `out_block_` to the file; false on a short write.
  bool WriteOut(unsigned long count);

  _tMP3EncoderDllTypedef encoder_type_;
  uint16_t abilities_;
  _tTagTypedef tag_type_ = ttId3V2;
  std::vector<unsigned char> config_;
  std::vector<unsigned char> out_block_;
  std::vector<short> in_block_;
  unsigned long in_block_bytes_ = 0;
  unsigned long in_block_samples_ = 0;
  unsigned long samples_per_chunk_ = 0;
  unsigned long output_chunk_bytes_ = 0;  // the most one chunk can give
  unsigned long config_channels_ = 2;     // channels of the PCM fed
  bool write_vbr_header_ = false;         // the stream carries a Xing frame to complete
  void* stream_ = nullptr;                // the library's stream handle while open
  unsigned long reserved_tag_size_ = 2048;
  sonark::MP3EncoderEntryPoints entries_;
  char version_text_[96] = {};
};

// The LAME library: every ability; completes the Xing header of a VBR file after the flush.
class SONARK_API CLameConv2MP3 : public CConv2MP3 {
 public:
  CLameConv2MP3();
  void UpdateSettingsAfterEncoderChange(CConv2FileFormat* format) override;
  void MakeMostNaturalFormatCallback(CConv2FileFormat* format, tWAVEFORMATEX* wave,
                                     ACMObject* decoder) override;
  void UserMaximumsCallback(CConv2FileFormat* format, CConv2FileFormat* maximums) override;

 protected:
  int SetupConfig(CConv2FileFormat* format, tWAVEFORMATEX* source) override;
  int CheckExtraEntryPoints(const sonark::MP3EncoderEntryPoints& entries, bool loadedNow) override;
  int AfterFlush(const char* path) override;
};

// The BladeEnc library: constant bit rates of MPEG-1, stereo, dual channel or mono.
class SONARK_API CBladeConv2MP3 : public CConv2MP3 {
 public:
  CBladeConv2MP3();
  void UpdateSettingsAfterEncoderChange(CConv2FileFormat* format) override;
  void MakeMostNaturalFormatCallback(CConv2FileFormat* format, tWAVEFORMATEX* wave,
                                     ACMObject* decoder) override;
  void UserMaximumsCallback(CConv2FileFormat* format, CConv2FileFormat* maximums) override;
  bool ValidateFormat(CConv2FileFormat* format) override;

 protected:
  int SetupConfig(CConv2FileFormat* format, tWAVEFORMATEX* source) override;
};

// The converter of encoder `encoder` (-1: the selected one), or null when there is none.
SONARK_API CConv2FileObj* NewMP3Converter(int encoder);
