// Feeds random bytes to the envelope-map reader as the "smap" chunk of a session file.
// Input: 4 bytes of declared chunk size (little-endian), then the chunk's data. A map that
// was read must write back and read again to the same bytes.

#include <sonark/containers/map.h>
#include <tarnell/mem_obj.h>
#include <tarnell/riff.h>

#include "one_chunk_session.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

std::vector<unsigned char> Written(CMap& map) {
  CMemObj object;
  object.Create();
  CRIFF riff;
  riff.Create(&object, tarnell::FourCC("sess"));
  if (!map.WriteMap(&riff)) std::abort();
  riff.Close();
  std::vector<unsigned char> out(static_cast<size_t>(object.Size()));
  object.Seek(0, 0);
  object.Read(reinterpret_cast<char*>(out.data()), static_cast<long>(out.size()));
  return out;
}

int ReadFrom(std::vector<unsigned char>& file, CMap* map) {
  CMemObj object;
  if (!object.Open(file.data(), static_cast<unsigned long>(file.size()))) return 0;
  CRIFF riff;
  if (!riff.Open(&object, nullptr)) return 0;
  return map->ReadMap(&riff);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<unsigned char> file = OneChunkSession("smap", data, size);
  if (file.empty()) return 0;

  CMap map;
  if (!ReadFrom(file, &map)) return 0;
  // Queries must cope with whatever kinds and payloads the chunk held.
  for (long t : {-5L, 0L, 100L, 100000L}) {
    map.GetSimpleValueAtTime(t, kMapVolume);
    map.GetRateMapAdjustedTime(t);
    map.GetRateTime(t);
  }
  std::vector<unsigned char> first = Written(map);
  CMap again;
  if (!ReadFrom(first, &again)) std::abort();
  if (Written(again) != first) std::abort();
  return 0;
}
