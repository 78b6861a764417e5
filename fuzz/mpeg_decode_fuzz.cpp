#include <platform/last_error.h>
#include <sonark/load/acm_buffer.h>
#include <sonark/load/acm_object.h>
#include <sonark/load/initial_load.h>
#include <sonark/load/peaks.h>
#include <sonark/load/seek_map.h>
#include <sonark/temp_paths.h>
#include <stdlib.h>
#include <tarnell/file_obj.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

// The input is a sound file named ".mp3", loaded as a sound is when it joins a session (seek
// map and peaks built and saved), then decoded through its streaming buffer from the start
// and from a few positions the input chooses. Whatever the bytes, nothing may crash, hang or
// read outside a buffer; a load that succeeds gives an MPEG decoder whose reads stay within
// the decoded size it announced.

#include "fuzz_sound_file.h"

namespace {

const FuzzSoundFile& Environment() {
  static const FuzzSoundFile setup("sound.mp3");
  return setup;
}

// Up to `count` bytes from `offset`, as a sound reads them.
unsigned long ReadAt(CPCMBuffer& buffer, unsigned long offset, unsigned long count) {
  if (!buffer.SetReadVariables(offset, count)) return 0;
  unsigned long got = 0;
  for (int idle = 0; got < count && idle < 3;) {
    buffer.Fill();
    unsigned char* a = nullptr;
    unsigned char* b = nullptr;
    unsigned long al = 0;
    unsigned long bl = 0;
    buffer.Lock(a, al, b, bl);
    const unsigned long n = std::min(al + bl, count - got);
    buffer.UpdateReadOffset(n);
    buffer.Unlock();
    got += n;
    idle = n == 0 ? idle + 1 : 0;
  }
  return got;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const FuzzSoundFile& setup = Environment();
  CFileObj* file = setup.Open(data, size);
  CRefObj* held = file;
  {
    CInitialLoad load;
    if (load.DoInitialLoad(file, 1, 1, 1, 0, 10, nullptr, nullptr) != 0) {
      std::unique_ptr<ACMObject> decoder(dynamic_cast<ACMObject*>(load.StealACMObject()));
      if (decoder == nullptr || decoder->IsACM() || decoder->GetDestFormat() == nullptr ||
          !decoder->EnableStream(1)) {
        std::abort();
      }
      std::unique_ptr<CACMBuffer> buffer(decoder->NewBuffer(load.SeekMap()));
      const int64_t total = decoder->PcmSize();
      if (buffer != nullptr && total > 0 && total < (64 << 20)) {
        file->Seek(file->GetDataStart(), 0);
        if (!buffer->Init(file, 16384, 0, 50)) std::abort();
        const auto whole = static_cast<unsigned long>(total);
        if (ReadAt(*buffer, 0, whole + 4096) > whole) std::abort();
        for (size_t i = 0; i + 4 <= std::min<size_t>(size, 32); i += 4) {
          const uint32_t at = (static_cast<uint32_t>(data[i]) << 24 | data[i + 1] << 16 |
                               data[i + 2] << 8 | data[i + 3]) %
                              static_cast<uint32_t>(whole);
          ReadAt(*buffer, at, 4096);
        }
      }
    } else if (platform::last_error() == 0) {
      std::abort();  // a refusal always says why
    }
  }
  DeleteRefObject(&held);

  char side[PATH_MAX];
  if (CPeaks::PeakFilePathFor(setup.sound.c_str(), side, sizeof side, 0)) std::remove(side);
  if (MakeTempPath1(setup.sound.c_str(), ".isk", side, sizeof side, 0)) std::remove(side);
  return 0;
}
