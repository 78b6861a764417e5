// Feeds random bytes to the envelope-map reader as the "smap" chunk of a session file.
// Input: 4 bytes of declared chunk size (little-endian), then the chunk's data. A map that
// was read must write back and read again to the same bytes.

#include <sonark/containers/map.h>
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
  if (size < 4) return 0;
  uint32_t declared = 0;
  std::memcpy(&declared, data, 4);
  std::vector<unsigned char> file;
  PutTag(file, "RIFF");
  Put32(file, static_cast<uint32_t>(4 + 8 + (size - 4)));
  PutTag(file, "sess");
  PutTag(file, "smap");
  Put32(file, declared);
  for (size_t i = 4; i < size; ++i) file.push_back(data[i]);

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
