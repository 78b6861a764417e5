// Feeds random bytes to the marker reader as the "tmrk" chunk opening a session's root list.
// Input: 4 bytes of declared chunk size (little-endian), then the chunk's data. Whatever was
// read must be sorted with distinct times, and write back and read again to the same list.

#include <session/marker_list.h>
#include <tarnell/mem_obj.h>
#include <tarnell/riff.h>

#include "one_chunk_session.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

bool SameRecords(const MarkerList& a, const MarkerList& b) {
  std::vector<MarkerRecord> x = a.Records();
  std::vector<MarkerRecord> y = b.Records();
  return x.size() == y.size() &&
         (x.empty() || std::memcmp(x.data(), y.data(), x.size() * sizeof(MarkerRecord)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<unsigned char> file = OneChunkSession("tmrk", data, size);
  if (file.empty()) return 0;

  CMemObj object;
  if (!object.Open(file.data(), static_cast<unsigned long>(file.size()))) return 0;
  CRIFF riff;
  if (!riff.Open(&object, nullptr)) return 0;
  MarkerList list;
  if (list.ReadChunk(&riff) != 1) return 0;

  std::vector<MarkerRecord> records = list.Records();
  int separators = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i].time < 0 || (i > 0 && records[i].time <= records[i - 1].time)) std::abort();
    if (records[i].title[sizeof records[i].title - 1] != '\0') std::abort();
    separators += records[i].cdTrack != 0;
  }
  if (separators != list.CdTrackCount()) std::abort();
  for (int i = 0; i < list.Count(); ++i)
    if (list.CdTrackOrdinal(i) < 1) std::abort();

  std::vector<unsigned char> stored = list.ChunkData();
  MarkerList again;
  again.ReadChunkData(stored.data(), stored.size());
  if (!SameRecords(list, again)) std::abort();
  return 0;
}
