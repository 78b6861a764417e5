#pragma once

#include <sonark/visibility.h>
#include <sonark/export/conv_file_obj.h>
#include <tarnell/file_obj.h>
#include <tarnell/ref_ptr.h>
#include <tarnell/riff.h>

// Writes the export as a RIFF WAVE file of linear PCM: "fmt ", "data", then a "LIST" of type
// "INFO" from the music information.
//
// The data chunk always ends on an even byte count, so that readers which expect RIFF pad
// bytes and readers which do not find the information list at the same place: an odd count
// is completed with one byte of silence, counted in the chunk. With the CD alignment flag set
// (SetWaveCDBlockAlign) the data is completed with silence to whole 2352-byte CD sectors.
//
// The wave goes into a file object of the writer's own (the RIFF writer holds a reference on
// that, never on the converter), so dropping the converter unclosed still releases everything.
//
// A target that is not a regular file (a FIFO, a character device) cannot seek back to patch
// sizes: the wave is streamed there with the RIFF and data sizes set to 0xFFFFFFFF ("unknown",
// read to the end), without the odd-count pad byte and without an INFO list, which a reader
// would otherwise take for sound.
class SONARK_API CConv2WaveFile : public CConv2FileObj {
 public:
  static constexpr long kCdSectorBytes = 2352;
  // Form header, "fmt " chunk and "data" header of a streamed wave.
  static constexpr long kStreamHeaderBytes = 12 + 8 + 18 + 8;

  CConv2WaveFile();
  CConv2WaveFile(const CConv2WaveFile&) = delete;
  CConv2WaveFile& operator=(const CConv2WaveFile&) = delete;
  ~CConv2WaveFile() override;

  // Ends an unfinished data chunk (as EndWriteStream) and lets go of the file.
  void Close() override;

  using CConv2FileObj::Create;
  // As below; the sound's length is kept for GetBytesToWrite.
  int Create(const char* path, CConv2FileFormat* format, CPCMSound* sound) override;
  // Creates the file with the form, the "fmt " chunk of `format` and an open "data" chunk.
  // `format` must be PCM of 8 or 16 bits, 1 or 2 channels; `source` is not needed.
  int Create(const char* path, CConv2FileFormat* format, tWAVEFORMATEX* source) override;
  // Whether the file is being streamed to a FIFO or device (see above).
  bool Streaming() const { return streaming_; }
  long WriteStreamData(void* data, long length, long* written) override;
  // Closes the data chunk after any padding; returns the bytes of padding, -1 on failure.
  long EndWriteStream() override;
  // Appends the INFO list and returns its size without the list header (4 + 8 + size per
  // sub-chunk); 0 when the list could not be started, -1 when a part of it failed. `text` is
  // not used; `softwareText` is always written as "ISFT". A streamed wave gets no list: 0 with
  // `ok` set to 1.
  long FinalData(const char* text, const char* softwareText, int* ok, TMusicInfo* info) override;
  void GetFormatFromPreset(CConv2FileFormat* format, long preset, _tTagTypedef tagType,
                           _tSoundQualityTypedef quality) override;
  void GetTargetFormatStr(char* text, long size, CConv2FileFormat* format) override;
  using CConv2FileObj::GetTargetFormat;
  // As the base; the sound's length is kept for GetBytesToWrite.
  void GetTargetFormat(CConv2FileFormat* target, CConv2FileFormat* source,
                       CPCMSound* sound) override;
  // -1: the mixer renders blocks of one second.
  long GetDesiredBufferSize() override;
  // Seconds times the byte rate of the target format. A negative length stands for the
  // length of the sound last given to Create or GetTargetFormat (0 without one).
  double GetBytesToWrite(CConv2FileFormat* format, tWAVEFORMATEX* wave, double lengthMs) override;
  // Snaps the rate to 44100 (32000 Hz or more), 11025 (below 16000) or 22050.
  void MakeMostNaturalFormatCallback(CConv2FileFormat* format, tWAVEFORMATEX* wave,
                                     ACMObject* decoder) override;
  void UserMaximumsCallback(CConv2FileFormat* format, CConv2FileFormat* maximums) override;
  // PCM at 11025, 22050 or 44100 Hz with an accepted quality that passes Validate.
  bool ValidateFormat(CConv2FileFormat* format) override;

 private:
  // Ends the RIFF writer and closes and lets go of the output file.
  void ReleaseFile();
  int AppendSilence(long count);
  int StartStream(const char* path, const tWAVEFORMATEX& wave);
  // Appends to the data: through the RIFF writer, or straight to a streamed file.
  int AppendData(const void* data, long count);
  int WriteTextChunk(unsigned long id, const char* text, long fieldSize, long* listBytes);

  RefPtr<CFileObj> file_;  // the output, from Create to Close
  CRIFF riff_;             // writes into file_; declared after it, so it lets go first
  bool riff_open_ = false;
  bool data_open_ = false;     // the "data" chunk is being written
  unsigned char silence_ = 0;  // 128 for 8-bit data
  bool streaming_ = false;     // written front to back, sizes unknown
  long sound_length_ms_ = -1;  // the length of the sound being converted, when given one
};

// The process-wide CD alignment flag read by CConv2WaveFile::EndWriteStream; 0 at start.
SONARK_API void SetWaveCDBlockAlign(int flag);
SONARK_API int GetWaveCDBlockAlign();
