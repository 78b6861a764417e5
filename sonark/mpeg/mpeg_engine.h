#pragma once

#include <sonark/visibility.h>

#include <cstdint>
#include <memory>

namespace sonark::mpeg {

// DecodeFrame's answer when the memory input has run dry: feed more and call again.
constexpr int kNeedMore = -700;

// The PCM of the frame DecodeFrame just decoded; valid until the next call on the engine.
struct FramePcm {
  const unsigned char* data = nullptr;
  long samples = 0;        // per channel
  int bytesPerSample = 2;  // always 16-bit signed, native byte order
  int channels = 0;
  long rate = 0;
};

// One instance of the MPEG audio decoding engine (layers I to III of MPEG-1, 2 and 2.5) over
// libmpg123. Its input is either memory fed block by block (playback) or a stretch of a file
// opened by path (the load's scan). It decodes one frame at a time at the stream's own rate
// and channels into 16-bit PCM, and never trims or resamples: the caller places every frame
// by its input position, so a restart anywhere decodes the same samples as a run from the
// start, and gapless trimming and rate changes are the caller's, done by absolute position.
//
// Not copyable; one thread at a time.
class SONARK_API Engine {
 public:
  Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;
  ~Engine();

  // 1 when the engine instance exists.
  int Valid() const;
  // Memory input: starts empty; Accept hands it bytes. Input positions count from the first
  // byte accepted after this call.
  int OpenMemoryInput();
  // File input: bytes [start, end) of the file at `path` (end -1: to the file's end). Input
  // positions count from `start`.
  int OpenFileInput(const char* path, long start, long end);
  void CloseInput();
  // Takes `size` bytes into the memory input; returns how many it took (all, or 0 on error).
  long Accept(const unsigned char* data, long size);
  // Decodes the next frame: 0 with its PCM in `out`; kNeedMore when the memory input needs
  // more bytes; any other value at the end of the data or on an error.
  int DecodeFrame(FramePcm* out);
  // Back to a clean memory input: nothing of earlier frames remains (bit reservoir, filter
  // history, buffered input).
  int Reset();
  // Input byte position of the frame last decoded, counted as OpenMemoryInput or
  // OpenFileInput say; -1 before the first frame.
  long InputPosition() const;
  // Frames decoded since the input was opened or reset.
  long FramesDecoded() const { return frames_; }
  // From the LAME/Info header once the stream's first frame has been read: the encoder's
  // delay and padding in samples (-1 when the stream carries none), and the frame count it
  // declares (0 when unknown).
  long EncoderDelay() const;
  long EncoderPadding() const;
  long DeclaredFrames() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  long frames_ = 0;
};

// The engine's constant decoder delay that gapless playback removes besides the encoder's
// delay (layer III only, as the LAME header accounts for it).
constexpr long kDecoderDelay = 529;

// Samples per channel in one frame: 384 for layer I, 1152 for layer II and for layer III of
// MPEG-1, 576 for layer III of MPEG-2 and 2.5 (`version` 1, 2 or 2.5).
SONARK_API long SamplesPerFrame(int layer, double version);

}  // namespace sonark::mpeg
