#pragma once

#include <sonark/visibility.h>
#include <tarnell/riff.h>

#include <cstdint>

class CRefObj;

// What FileFormatSupported found out about a wave file, for the program to say why a file
// cannot be added.
struct _formatSupportedInfo {
  int compressed = 0;           // the format tag is not linear PCM
  int codecInstalled = 0;       // a codec-manager driver takes the format
  int pcmConversionFound = 0;   // the driver suggests a PCM format (always for MPEG layer 3)
  int supported = 0;            // the file can be loaded
  int session = 0;              // the file is a session file
  unsigned char format[16] = {};  // tag, channels, rate, byte rate, block align, bits
  uint32_t extraSize = 0;       // the format's count of extra bytes (16 bits stored in 32)
  _chunkInfo formatChunk = {};  // the "fmt " chunk's id, size and type as the RIFF reader saw it
};

// Whether the file at `path` can be used, judged by its extension: "mp3", "mp2" and "mp1" at
// once (1, `info` untouched); "wav" by its format chunk and the codec manager; "sgp" when it
// is a RIFF file. Any other extension gives 0. A wave without a readable format chunk gives 0
// with the load's code as the last error (kErrNoFormatChunk, kErrFormatChunkShort).
SONARK_API int FileFormatSupported(const char* path, _formatSupportedInfo* info);

// A CD audio track file (RIFF form "CDDA"): where the track lies on its disc and how long it
// is.
class SONARK_API CCDAParser {
 public:
  CCDAParser() = default;

  int Parse(const char* path);
  // Reads the track record (the first 24 bytes of the "fmt " chunk) of a CDDA form from the
  // object's current position; 1 when there is one.
  int Parse(CRefObj* source);

  int ValidData() const { return valid_; }
  int TrackNum() const { return valid_ ? record_.track : 0; }
  // Milliseconds from the disc's start to the track, and the track's length (75 CD frames to
  // the second, truncated).
  long TrackOffset() const;
  long TrackLength() const;

 private:
#pragma pack(push, 1)
  struct Record {
    uint16_t version;
    uint16_t track;
    uint32_t serial;
    uint32_t startSectors;
    uint32_t lengthSectors;
    uint8_t start[4];   // frame, second, minute, unused
    uint8_t length[4];  // frame, second, minute, unused
  };
#pragma pack(pop)
  static_assert(sizeof(Record) == 24, "a CD track record is 24 bytes");

  int valid_ = 0;
  Record record_ = {};
};

// The WMA decoder library. The engine never decodes WMA: always null.
SONARK_API void* LoadLibraryWMADecoder();
