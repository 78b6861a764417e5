#pragma once

#include <sonark/visibility.h>

#include <cstdint>

// Where the music information of a sound came from, and which tag an MP3 export writes.
enum _tTagTypedef : int32_t {
  ttNone = 0,
  ttId3V1 = 1,
  ttId3V2 = 2,
  ttWaveInfo = 4,   // the INFO list of a wave file
  ttUnchanged = 5,  // as an argument: keep the tag type the format already has
};

// Title, artist and the rest of a sound's music information, kept in memory with the sound.
// Texts are NUL-terminated inside their fields.
struct TMusicInfo {
  static constexpr int kTextSize = 1024;
  static constexpr int kCdIdentifierSize = 804;
  static constexpr int kNoGenre = 255;

  char title[kTextSize] = {};
  char artist[kTextSize] = {};
  char album[kTextSize] = {};
  char genre[kTextSize] = {};
  char comment[kTextSize] = {};
  char encoder[kTextSize] = {};  // the encoded-by text
  char copyright[kTextSize] = {};
  unsigned char cdIdentifier[kCdIdentifierSize] = {};  // binary music CD identifier
  long cdIdentifierLength = 0;                         // bytes used of cdIdentifier
  long year = 0;                                       // 0 when unknown
  int isPrivate = 0;                                   // private bit of the MPEG header
  int copyrighted = 0;        // copyright bit set, or copyright text present
  int original = 0;           // original bit of the MPEG header
  int genreIndex = kNoGenre;  // ID3v1 genre number
  int track = -1;             // 1-99, -1 = none
  int totalTracks = -1;       // 1-99, -1 = none
  unsigned long tagSize = 0;  // size of the tag read
  _tTagTypedef tagType = ttNone;
};

namespace sonark {

// Genres 0 to kId3GenreCount - 1 follow the ID3v1 list with its common extensions.
constexpr int kId3GenreCount = 148;

// The strings-file key of a genre's name ("ID3_Blues" ...), "ID3_not_supported" for any
// index outside the list.
SONARK_API const char* Id3GenreKey(int index);

// Copies `text` into a music-info text field, cut to fit and always terminated.
SONARK_API void SetMusicInfoText(char (&field)[TMusicInfo::kTextSize], const char* text);

// The genre text of an ID3 "TCON" frame or a wave "IGNR" item into `info`: "(n)" with n
// below 255 sets the genre index and keeps the text; a name of the genre table (letter case
// ignored) sets the index and becomes "(n)"; any other text is kept as it is.
SONARK_API void SetGenreFromText(TMusicInfo* info, const char* text);
// "5/12" or "5": track and total tracks; each value outside 1-99 becomes -1.
SONARK_API void SetTrackFromText(TMusicInfo* info, const char* text);
// The year a text begins with when it lies in 1000-3000, else 0.
SONARK_API long YearFromText(const char* text);

}  // namespace sonark
