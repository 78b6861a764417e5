// Feeds random bytes to the marker reader as the "tmrk" chunk opening a session's root list.
// Input: 4 bytes of declared chunk size (little-endian), then the chunk's data. Whatever was
// read must be sorted with distinct times, and write back and read again to the same list.

#include <session/marker_list.h>
#include <tarnell/mem_obj.h>
#include <tarnell/riff.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void Put32(std::vector<unsigned char>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void PutTag(std::vector<unsigned char>& out, const char* tag) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(tag[i]));
}

bool SameRecords(const MarkerList& a, const MarkerList& b) {
  std::vector<MarkerRecord> x = a.Records();
  std::vector<MarkerRecord> y = b.Records();
  return x.size() == y.size() &&
         (x.empty() || std::memcmp(x.data(), y.data(), x.size() * sizeof(MarkerRecord)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  uint32_t declared = 0;
  std::memcpy(&declared, data, 4);
  std::vector<unsigned char> file;
  PutTag(file, "RIFF");
  Put32(file, static_cast<uint32_t>(4 + 8 + (size - 4)));
  PutTag(file, "sess");
  PutTag(file, "tmrk");
  Put32(file, declared);
  file.insert(file.end(), data + 4, data + size);

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
