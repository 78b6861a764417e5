#pragma once

#include <platform/wave_format.h>
#include <sonark/visibility.h>
#include <sonark/export/conversion_types.h>
#include <sonark/load/music_info.h>
#include <tarnell/file_obj.h>

#include <cstdint>

class ACMObject;
class CConv2FileFormat;
class CPCMSound;

// A converter: the output file of an export, fed with the mixer's PCM blocks and writing them
// in its target format. Protocol: Create, WriteStreamData for each block, EndWriteStream,
// FinalData with the music information, Close, then DeleteRefObject.
//
// This base converts nothing; subclasses override what their format needs. Results follow the
// data objects (1/0, byte counts) except where noted: stream operations give -1 when they
// cannot do their job. Non-copyable.
//
// The virtual operations are part of the library's interface and keep their order.
class SONARK_API CConv2FileObj : public CFileObj {
 public:
  CConv2FileObj();
  CConv2FileObj(const CConv2FileObj&) = delete;
  CConv2FileObj& operator=(const CConv2FileObj&) = delete;
  ~CConv2FileObj() override;

  using CFileObj::Create;
  // Create (path, format, the sound's format).
  virtual int Create(const char* path, CConv2FileFormat* format, CPCMSound* sound);
  // Creates the file at `path`; `source` is the format of the PCM that will be written.
  virtual int Create(const char* path, CConv2FileFormat* format, tWAVEFORMATEX* source);
  virtual _tFileConversionTypedef GetConversionType();
  // The format tag written.
  virtual int GetFormatType();
  // The file extension without its dot; "" when the converter has none.
  virtual const char* DefaultExt();
  // Converts and writes `length` bytes of PCM; `written` (may be null) receives the bytes
  // consumed. -1 when not everything could be written.
  virtual long WriteStreamData(void* data, long length, long* written);
  // Flushes the converted stream after the last block.
  virtual long EndWriteStream();
  // Writes what follows the audio (information list, tags). `ok` (may be null) tells whether
  // the writing could start.
  virtual long FinalData(const char* text, const char* softwareText, int* ok, TMusicInfo* info);
  // Fills `format` from a preset of this converter's type: preset -1 means the type's
  // default, tag type ttUnchanged and quality sqUnchanged keep the format's own.
  virtual void GetFormatFromPreset(CConv2FileFormat* format, long preset, _tTagTypedef tagType,
                                   _tSoundQualityTypedef quality);
  // A one-line description of `format` (at most size - 1 characters and a terminator).
  virtual void GetTargetFormatStr(char* text, long size, CConv2FileFormat* format);
  virtual void GetTargetFormat(CConv2FileFormat* target, CConv2FileFormat* source,
                               CPCMSound* sound);
  // `target` becomes the format this converter writes for `source` settings and a sound of
  // format `wave` (either may be null).
  virtual void GetTargetFormat(CConv2FileFormat* target, CConv2FileFormat* source,
                               tWAVEFORMATEX* wave, TMusicInfo* info, ACMObject* decoder);
  // The block size wanted from the mixer, in bytes; -1 lets the mixer choose.
  virtual long GetDesiredBufferSize();
  // The expected output size of `lengthMs` milliseconds.
  virtual double GetBytesToWrite(CConv2FileFormat* format, tWAVEFORMATEX* wave, double lengthMs);
  // Adapts `format` to a source sound of format `wave`.
  virtual void MakeMostNaturalFormatCallback(CConv2FileFormat* format, tWAVEFORMATEX* wave,
                                             ACMObject* decoder);
  // Keeps `format` within `maximums`.
  virtual void UserMaximumsCallback(CConv2FileFormat* format, CConv2FileFormat* maximums);
  // Whether this converter can write `format`.
  virtual bool ValidateFormat(CConv2FileFormat* format);
  // WriteTag (..., the sound's music information, the sound's data object).
  virtual int WriteTag(const char* path, const char* encoderName, const char* text,
                       CPCMSound* sound);
  virtual int WriteTag(const char* path, const char* encoderName, const char* text,
                       TMusicInfo* info, CFileObj* source);
  virtual int ReserveTagSpace();

 protected:
  void SetConversionType(_tFileConversionTypedef type) { conversion_type_ = type; }
  void SetFormatType(int formatTag) { format_type_ = formatTag; }
  // At most kExtensionSize - 1 characters are kept.
  void SetDefaultExt(const char* extension);

  static constexpr int kExtensionSize = 8;

  _tFileConversionTypedef conversion_type_ = fctNone;
  int format_type_ = 0;
  char default_ext_[kExtensionSize] = {};
  uint32_t reserved_ = 0;  // always 0
};

// The default title of an exported file: the file name of `path` without its extension
// (both '/' and '\' separate directories). At most size - 1 characters and a terminator.
SONARK_API void CreateDefaultTagTitleString(const char* path, char* out,
                                            long size = TMusicInfo::kTextSize);
