#include <sonark/error_messages.h>
#include <sonark/errors.h>
#include <tarnell/errors.h>

#include <cstdio>
#include <cstring>

namespace sonark {
namespace {

constexpr ErrorMessageEntry kMessages[] = {
    // Shared by every library.
    {kErrOutOfMemory, "out of memory"},

    // Data access.
    {tarnell::kErrSeekFailed, "the file is shorter than it says"},
    {tarnell::kErrLevelHeaderRead, "the file is damaged or cut short"},
    {tarnell::kErrNotOpen, "the file is not open for this"},
    {tarnell::kErrInternetOnOpenFile, "a download cannot go into a file that is open"},
    {tarnell::kErrWriteFailed, "the disk is full or refused the data"},
    {tarnell::kErrCopyReopen, "the file could not be opened again"},
    {tarnell::kErrRiffRead, "the file is damaged or cut short"},
    {tarnell::kErrNoSuchChunk, "a part of the file is missing"},
    {tarnell::kErrNotRiff, "not a RIFF file"},
    {tarnell::kErrTooDeep, "the file is damaged (lists nested too deep)"},
    {tarnell::kErrNoInternetSession, "no internet connection is open"},
    {tarnell::kErrNoDownload, "no download was started"},
    {tarnell::kErrRegNotFound, "no such setting"},
    {tarnell::kErrRegDamaged, "the settings file is damaged and was set aside"},
    {tarnell::kErrRegIo, "the settings file cannot be read or written"},
    {tarnell::kErrRegInvalid, "not a valid setting name or value"},
    {tarnell::kErrRegBufferTooSmall, "a setting's name is too long"},

    // Export converters.
    {kErrConvertFormat, "this output format cannot be written"},
    {kErrConverterUnavailable, "no converter for this kind of output"},
    {kErrConvertNotStarted, "the output was not started"},
    {kErrConvertWrite, "the output was not completely written"},

    // Side-file paths.
    {kErrSidePathTooLong, "the path of a side file would be too long"},
    {kErrSidePathInvalid, "no side file can be named for this sound"},
    {kErrSideFilesOff, "side files are turned off"},

    // Audio atom tree.
    {kErrInvalidAtomArgument, "the part cannot be placed there"},
    {kErrTreeTooDeep, "groups are nested too deep"},
    {kErrNoCurrentMixer, "no output to play on"},
    {kErrNotAvailable, "not available in this build"},
    {kErrAlreadyPlaying, "it is already playing"},
    {kErrDeviceOpen, "the output device cannot be opened"},
    {kErrDeviceFailed, "the output device failed while playing"},
    {kErrInputDeviceOpen, "the input device cannot be opened"},
    {kErrInputDeviceFailed, "the input device failed while recording"},
    {kErrRecordWrite, "the recording could not be written"},

    // Session files.
    {kErrEmptySoundPath, "the session stores an empty path"},
    {kErrSessionDamaged, "the session file is damaged"},
    {kErrSoundNotLoaded, "a sound could not be loaded"},
    {kErrSoundFileMissing, "file not found"},
    {kErrSoundPathTooLong, "the path is too long to store"},
    {kErrSoundHasNoFile, "the sound has no file"},
    {kErrSessionValueRange, "a time in the session is out of range"},
    {kErrEmbeddedSound, "a sound kept inside the session cannot be read"},
    {kErrSessionUnknownList, "the session holds a part of unknown kind"},
    {kErrLoadCancelled, "loading was cancelled"},
    {kErrNotRegularFile, "not a regular file (a pipe, device or folder)"},

    // Loading sounds.
    {kErrNotWaveOrMpeg, "not a wave or MPEG audio file"},
    {kErrFormatChunkShort, "the wave format record is cut short"},
    {kErrNoFormatChunk, "the wave file has no format record"},
    {kErrNoDataChunk, "the wave file has no sound data"},
    {kErrDataRange, "the sound data cannot be read"},
    {kErrNoPcmFormat, "the compression of this file is not supported"},
    {kErrMpegInspection, "no MPEG audio stream was found in the file"},
    {kErrUnsupportedPcm, "unsupported channels, sample rate or sample size"},
    {kErrEmptyData, "the file holds no sound"},
    {kErrDecodedTooLong,
     "the sound is too long: decoded, it would hold more than 2 GB of samples (over 3 hours "
     "at 44.1 kHz stereo)"},

    // Music information and the MP3 encoder library.
    {kErrEncoderEntryPoint, "the MP3 encoder library cannot be used"},
    {kErrId3Malformed, "the file's ID3 tag is damaged"},

    // Peak and seek-map side files.
    {kErrPeakFileDamaged, "a peak file is damaged"},
    {kErrPeakFileWrite, "a peak file could not be written"},
    {kErrNoPeaks, "the sound has no waveform"},
    {kErrSeekMapDamaged, "a seek map file is damaged"},
    {kErrSeekMapWrite, "a seek map file could not be written"},
    {kErrPeakArgument, "the waveform was asked for something it does not hold"},
    {kErrPeakFileOpen, "a peak file cannot be opened"},
    {kErrPeakCacheStale, "the kept waveform is not of this sound"},

    // Rendering.
    {kErrBufferCannotStart, "the sound cannot be streamed"},
    {kErrDecoderStream, "the sound cannot be decoded"},
};

}  // namespace

std::span<const ErrorMessageEntry> ErrorMessages() { return kMessages; }

const char* ErrorMessage(uint32_t code) {
  for (const ErrorMessageEntry& entry : kMessages) {
    if (entry.code == code) return entry.text;
  }
  return nullptr;
}

std::string DescribeErrorCode(unsigned long code) {
  if (code <= UINT32_MAX) {
    if (const char* text = ErrorMessage(static_cast<uint32_t>(code))) return text;
  }
  // Codes without the application bit are the system's own.
  if (code != 0 && code <= UINT32_MAX && (code & tarnell::kErrApplicationBit) == 0) {
    return std::strerror(static_cast<int>(code));
  }
  char text[32];
  std::snprintf(text, sizeof text, "error 0x%08lX", code);
  return text;
}

}  // namespace sonark
