#pragma once

#include <cstdint>

// Detail codes that the sound engine leaves in the thread's last-error value.
namespace sonark {

constexpr uint32_t kErrOutOfMemory = 0x20000001;

// Export converters.
constexpr uint32_t kErrConvertFormat = 0x20000500;         // target format not writable here
constexpr uint32_t kErrConverterUnavailable = 0x20000501;  // no converter for the type
constexpr uint32_t kErrConvertNotStarted = 0x20000502;     // not created, or no stream open
constexpr uint32_t kErrConvertWrite = 0x20000503;          // output not completely written

// Side-file paths.
constexpr uint32_t kErrSidePathTooLong = 0x20000540;  // the side-file path would not fit
constexpr uint32_t kErrSidePathInvalid = 0x20000541;  // no sound path to map, or none left
constexpr uint32_t kErrSideFilesOff = 0x20000542;     // side files are turned off

// Audio atom tree.
constexpr uint32_t kErrInvalidAtomArgument = 0x200000C0;  // null or foreign atom, cycle, bad span
constexpr uint32_t kErrTreeTooDeep = 0x200000C1;          // nesting beyond kMaxTreeDepth
constexpr uint32_t kErrNoCurrentMixer = 0x200000C2;       // nothing to play on
constexpr uint32_t kErrNotAvailable = 0x200000C3;         // not provided by this build yet
constexpr uint32_t kErrAlreadyPlaying = 0x200000C4;       // play refused, the atom is playing
constexpr uint32_t kErrDeviceOpen = 0x200000C5;           // the output device cannot be opened
constexpr uint32_t kErrDeviceFailed = 0x200000C6;         // the output device failed while playing
constexpr uint32_t kErrInputDeviceOpen = 0x200000C7;      // the input device cannot be opened
constexpr uint32_t kErrInputDeviceFailed = 0x200000C8;    // the input device failed while recording
constexpr uint32_t kErrRecordWrite = 0x200000C9;          // a recorded block could not be written

// Session files.
constexpr uint32_t kErrEmptySoundPath = 0x200000BE;      // a sound's stored path is empty
constexpr uint32_t kErrSessionDamaged = 0x200000D0;      // chunk missing, short or out of place
constexpr uint32_t kErrSoundNotLoaded = 0x200000D1;      // sound left out; ErrorLoadingFile told why
constexpr uint32_t kErrSoundFileMissing = 0x200000D2;    // no regular file at the sound's path
constexpr uint32_t kErrSoundPathTooLong = 0x200000D3;    // stored path would not fit 260 bytes
constexpr uint32_t kErrSoundHasNoFile = 0x200000D4;      // no file (by reference) or no data
constexpr uint32_t kErrSessionValueRange = 0x200000D5;   // time or offset beyond 32 bits
constexpr uint32_t kErrEmbeddedSound = 0x200000D6;       // embedded data not written or read
constexpr uint32_t kErrSessionUnknownList = 0x200000D7;  // a sub-atom list of an unknown kind
constexpr uint32_t kErrLoadCancelled = 0x200000D8;       // the progress callback cancelled
constexpr uint32_t kErrNotRegularFile = 0x200000D9;      // a FIFO, device or folder as a sound

// Loading sounds.
constexpr uint32_t kErrNotWaveOrMpeg = 0x20000104;     // a RIFF file that is neither
constexpr uint32_t kErrFormatChunkShort = 0x20000105;  // "fmt " shorter than it declares
constexpr uint32_t kErrNoFormatChunk = 0x20000106;
constexpr uint32_t kErrNoDataChunk = 0x20000107;
constexpr uint32_t kErrDataRange = 0x20000108;       // the audio range cannot be set or read
constexpr uint32_t kErrNoPcmFormat = 0x2000010A;     // no decoder offers a PCM format
constexpr uint32_t kErrMpegInspection = 0x2000010B;  // the MPEG stream cannot be inspected
constexpr uint32_t kErrUnsupportedPcm = 0x20000201;  // channels, rate or sample size
constexpr uint32_t kErrEmptyData = 0x20000202;

// Music information and the MP3 encoder library.
constexpr uint32_t kErrEncoderEntryPoint = 0x2000010F;  // an entry point missing, or init failed
constexpr uint32_t kErrId3Malformed = 0x20000110;       // a frame past the tag, size 0, short read

// Peak and seek-map side files.
constexpr uint32_t kErrPeakFileDamaged = 0x20000600;  // header, size or trailer not credible
constexpr uint32_t kErrPeakFileWrite = 0x20000601;    // peak file not created or written whole
constexpr uint32_t kErrNoPeaks = 0x20000602;          // no peak record, or not in this state
constexpr uint32_t kErrSeekMapDamaged = 0x20000603;   // a ".isk" file we did not write
constexpr uint32_t kErrSeekMapWrite = 0x20000604;     // a ".isk" file could not be written
constexpr uint32_t kErrPeakArgument = 0x20000605;     // no path, no resolution, index past the end
constexpr uint32_t kErrPeakFileOpen = 0x20000606;     // a peak file missing or not readable
constexpr uint32_t kErrPeakCacheStale = 0x20000607;   // cached peaks not of this sound or resolution

// Rendering.
constexpr uint32_t kErrBufferCannotStart = 0x20000203;  // a sound's buffer cannot start a read
constexpr uint32_t kErrDecoderStream = 0x20000204;      // a decoder's stream cannot be enabled
constexpr uint32_t kErrDecodedTooLong = 0x20000205;     // decoded, more than 2 GB of samples

}  // namespace sonark
