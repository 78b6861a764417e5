#include <sonark/errors.h>
#include <sonark/load/mp3_info.h>
#include <tarnell/mem_obj.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

// The input is an MPEG audio file. Inspecting it must never crash or read outside a buffer;
// an accepted stream must start with a valid frame that lies inside the audio data, and the
// audio data must lie inside the file and behind any ID3v2 tag recorded.

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<unsigned char> bytes(data, data + size);
  CMemObj* memory = new CMemObj;
  CRefObj* held = memory;
  if (!memory->Open(bytes.data(), static_cast<unsigned long>(bytes.size()))) std::abort();
  CMP3Info info;
  const int result = info.loadInfo(memory);
  if (info.getFileSize() != static_cast<long>(size)) std::abort();
  if (info.DataEnd() > info.getFileSize() || info.DataStart() < 0) std::abort();
  if (result == 0) {
    const CFrameHeader& header = info.Header();
    if (!header.isValidHeader() || info.LoadError() != 0) std::abort();
    if (info.DataStart() >= info.DataEnd()) std::abort();
    if (info.GetTagType() == ttId3V2 &&
        info.DataStart() < 10 + static_cast<long>(info.GetTagSize())) {
      std::abort();
    }
    if (info.BestNumChannels() < 1 || info.BestNumChannels() > 2 ||
        (info.BestSamplingRate() != 44100 && info.BestSamplingRate() != 22050 &&
         info.BestSamplingRate() != 11025)) {
      std::abort();
    }
    // Every derived figure is computed without dividing by zero.
    char text[32];
    info.getVersion(text);
    info.getMode(text);
    (void)info.getBitrate();
    (void)info.getNumberOfFrames();
    (void)info.getLengthInSeconds();
    (void)info.getLengthInMs();
    (void)info.isVBitRate();
  } else if (result != 3 || info.LoadError() != sonark::kErrMpegInspection) {
    std::abort();
  }
  CMP3Info tail;
  tail.getID3InfoOnly(memory);
  DeleteRefObject(&held);
  return 0;
}
