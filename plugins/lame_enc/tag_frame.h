#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace lame_enc {

// Reads `n` bytes at `offset` of a file; false when they are not all there.
using ReadAt = std::function<bool(uint64_t offset, unsigned char* out, size_t n)>;

// Finds where the placeholder of `frame` (the final Xing/Info frame of the stream) lies in a file:
// past any ID3v2 tags at its start, a frame whose header equals the frame's (but for the mode
// extension), with room for all of it. Returns false when the file holds something else there, so
// nothing is overwritten.
bool FindTagFrame(const ReadAt& read, const unsigned char* frame, size_t frameSize,
                  uint64_t* offset);

}  // namespace lame_enc
