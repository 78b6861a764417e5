#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

// A session file of one chunk `tag` made from fuzz input: the first four bytes are the size the
// chunk declares, the rest its contents, so the fuzzer reaches sizes that disagree with the data.
// Empty when the input is too short.
inline std::vector<unsigned char> OneChunkSession(const char* tag, const uint8_t* data,
                                                  size_t size) {
  std::vector<unsigned char> file;
  if (size < 4) return file;
  auto put32 = [&file](uint32_t v) {
    for (int i = 0; i < 4; ++i) file.push_back(static_cast<unsigned char>(v >> (8 * i)));
  };
  auto putTag = [&file](const char* t) { file.insert(file.end(), t, t + 4); };
  uint32_t declared = 0;
  std::memcpy(&declared, data, 4);
  putTag("RIFF");
  put32(static_cast<uint32_t>(4 + 8 + (size - 4)));
  putTag("sess");
  putTag(tag);
  put32(declared);
  file.insert(file.end(), data + 4, data + size);
  return file;
}
