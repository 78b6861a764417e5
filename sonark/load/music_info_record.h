#pragma once

#include <platform/wave_format.h>
#include <sonark/load/music_info.h>
#include <sonark/visibility.h>

#include <cstdint>

class CRIFF;

// The layout version of a stored music-information record: 3 is the current one, any other
// value the older layout.
enum TCBSVersion : int32_t {
  kCBSVersionOld = 2,
  kCBSVersion3 = 3,
};

// The persistent form of a sound's music information: a chunk body of fixed-size blocks
// (texts zero-padded, numbers little-endian). Texts are UTF-8 in memory and in the blocks,
// cut at a character boundary to fit; blocks of older writers that are not UTF-8 are read as
// ISO-8859-1.
//
// The members not named by their use (second text, short text, file path, wave format,
// numbers A to N and flags 1 to 7) are stored and restored exactly as they are.
class SONARK_API SONARK_CMusicInfo {
 public:
  static constexpr long kVersion3Size = 6179;
  static constexpr long kOldSize = 6136;

  SONARK_CMusicInfo();
  SONARK_CMusicInfo(const SONARK_CMusicInfo& other);
  virtual ~SONARK_CMusicInfo();
  SONARK_CMusicInfo& operator=(const SONARK_CMusicInfo& other);
  // Takes title, artist, album, genre text, comment, encoder and copyright (as much as fits),
  // the CD identifier and its length, year, copyrighted, original, genre index, track, total
  // tracks, tag size and tag type; the other members stay.
  SONARK_CMusicInfo& operator=(const TMusicInfo& info);

  // Clears everything: genre index 0, track and total tracks -1.
  void Initialize();
  // Reads the body at the cursor's current position (Read of the chunk reader). 0 when it came
  // short (the reader's code is left); the record then holds what was read.
  int Read(CRIFF& riff, TCBSVersion version);
  // Writes the body into the stream the caller opened (StartWriteStream ... EndWriteStream).
  // When number G is 0 it is first set, with number I, to number E.
  int Write(CRIFF& riff, TCBSVersion version);
  // Takes the music information of `from` (the members operator= takes from a TMusicInfo).
  void CopySlim(SONARK_CMusicInfo& from);
  // The same members into `info`.
  void ToMusicInfo(TMusicInfo* info) const;

  char title[256];
  char secondText[512];
  char artist[256];
  char album[256];
  char genre[256];
  int32_t genreIndex;
  char comment[2048];
  char copyright[1024];
  int32_t year;
  uint32_t tagSize;
  int32_t tagType;
  int32_t numberA;
  unsigned char cdIdentifier[TMusicInfo::kCdIdentifierSize];
  int32_t cdIdentifierLength;
  int32_t track;
  int32_t totalTracks;
  bool copyrighted;
  bool flags[7];  // flag 1 to flag 7
  bool original;
  char filePath[260];
  int32_t numberB;
  int64_t numberC;
  char shortText[128];
  char encoder[256];
  tWAVEFORMATEX waveFormat;
  int64_t numberD;
  int32_t numberE, numberF, numberG, numberH, numberI;
  int64_t numberJ;
  int32_t numberK, numberL, numberM, numberN;

  // Helpers of the chunk layout.
  // Reads a block of `size` bytes and keeps its text (up to the terminator) in `text`, which
  // holds `size` bytes.
  static int _readString(CRIFF& riff, char* text, long size);
  // Writes `text` zero-padded to a block of `size` bytes.
  static int _writeString(CRIFF& riff, const char* text, long size);
  // A 4-byte number, true when not 0.
  static int _readOldBool(CRIFF& riff, bool* value);
  static int _wasteBytes(CRIFF& riff, long count);
  // A block's bytes as the engine's text: UTF-8 as it is, anything else read as ISO-8859-1;
  // cut at a character boundary to `size` bytes with the terminator.
  static void _ansiToUnicode(const char* block, char* text, long size);
  // The engine's text for a block of `size` bytes, cut at a character boundary.
  static void _unicodeToAnsi(const char* text, char* block, long size);

 private:
  int ReadVersion3(CRIFF& riff);
  int ReadOld(CRIFF& riff);
  int WriteVersion3(CRIFF& riff);
  int WriteOld(CRIFF& riff);
};
