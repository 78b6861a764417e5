#pragma once

#include <sonark/visibility.h>
#include <sonark/export/conversion_types.h>

#include <cstdint>

// The MP3 encoder libraries the engine knows, in table order. The libraries follow the classic
// encoder-library interface (beInitStream, beEncodeChunk, beDeinitStream, beCloseStream, and
// for LAME beWriteVBRHeader) and are found at run time by file name: beside the engine's own
// library first, then on the library path.
enum _tMP3EncoderDllTypedef : int32_t {
  medLame = 0,         // "liblame_enc.so"
  medBlade = 1,        // "libbladeenc.so"
  medNotAssigned = 2,  // no encoder
};

namespace sonark {

constexpr int kMP3EncoderCount = 3;  // the two libraries and the no-encoder entry

// The library file name of encoder `index`, or null for the no-encoder entry.
SONARK_API const char* MP3EncoderLibraryName(int index);
// The strings-file key of the encoder's name ("IDS_STRING_LAME" ...).
SONARK_API const char* MP3EncoderNameKey(int index);

// The stream entry points of a loaded library; any may be null when the library lacks it.
struct MP3EncoderEntryPoints {
  void* beInitStream = nullptr;
  void* beEncodeChunk = nullptr;
  void* beDeinitStream = nullptr;
  void* beCloseStream = nullptr;
  void* beVersion = nullptr;
  void* beWriteVBRHeader = nullptr;
};

// Loads library `index` unless it is loaded already (it stays loaded until
// FreeConversionLibraries) and looks up its entry points. `loadedNow` (may be null) tells
// whether this call loaded it. 0 when the library cannot be loaded.
SONARK_API int LoadMP3EncoderLibrary(int index, MP3EncoderEntryPoints* entries, bool* loadedNow);

}  // namespace sonark

// Availability of the two libraries as found by DetermineConvertersAvailable.
SONARK_API void GetMP3EncodersAvailable(int* twoFlags);
SONARK_API int GetMP3EncoderArraySize();
// The selected encoder; medNotAssigned while none is.
SONARK_API _tMP3EncoderDllTypedef GetMP3Encoder();
// Selects library `encoder`; false for an index outside 0-1 or a library that is not available.
SONARK_API bool SetMP3Encoder(_tMP3EncoderDllTypedef encoder);
// Fills `names` (kMP3EncoderCount buffers of `size` bytes) with each encoder's name and version
// ("... not available" for a missing library) and `available` with its flag.
SONARK_API void GetMP3EncoderNamesAndAvailablity(char** names, unsigned size, int* available);
SONARK_API void GetMP3EncoderMenuInfo(_tMP3EncoderDllTypedef* current, int* count, char** names,
                                      unsigned size, int* available);

class CConv2FileFormat;

namespace sonark::internal {
// Discovery: marks each library that loads as available and selects `preferred` when it is,
// else keeps an available selection, else takes the first available library. `settings` (may
// be null) is adapted to the encoder chosen. Whether any library is available.
bool ProbeMP3Encoders(_tMP3EncoderDllTypedef preferred, CConv2FileFormat* settings);
// Unloads the libraries; 1 when none was loaded.
int UnloadMP3EncoderLibraries();
// Searches only `folder` for the encoder libraries (null: beside the engine, then the library
// path). Unloads what is loaded and forgets what was found; for tests.
SONARK_API void SetMP3EncoderFolder(const char* folder);
}  // namespace sonark::internal
