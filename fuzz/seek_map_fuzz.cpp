#include <sonark/load/seek_map.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// The input is a ".isk" file. Loading must never crash or read outside a buffer; a map it
// accepts must be in order, answer every lookup inside itself, and save back to the very
// same bytes.

namespace {

const std::string& Directory() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/seek-map-fuzz-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) std::abort();
    return std::string(made);
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string in = Directory() + "/in.isk";
  const std::string out = Directory() + "/out.isk";
  {
    std::ofstream file(in, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  CSeekMap* map = new CSeekMap;
  if (map->LoadFromFile(in.c_str())) {
    const int count = map->Count();
    if (count * 8L != static_cast<long>(size)) std::abort();
    for (int i = 1; i < count; ++i) {
      if (map->SortValueAt(i) < map->SortValueAt(i - 1)) std::abort();
    }
    const long last = map->SortValueAt(count - 1);
    for (long position : {-1L, 0L, last / 2, last, last + 1}) {
      int32_t found = 0;
      const int index = map->FindBySortValue(position, 1, nullptr, &found);
      // An entry at or before the position, one step back; the first when none is.
      if (index < 0 || index >= count || found != map->SortValueAt(index) ||
          (found > position && index != 0)) {
        std::abort();
      }
    }
    if (!map->SaveToFile(out.c_str())) std::abort();
    std::ifstream back(out, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(back)),
                                  std::istreambuf_iterator<char>());
    if (bytes.size() != size || (size > 0 && std::memcmp(bytes.data(), data, size) != 0)) {
      std::abort();
    }
    map->DeleteFile();
  } else if (map->Count() != 0) {
    std::abort();
  }
  DeleteSeekMap(&map);
  std::remove(in.c_str());
  return 0;
}
