#pragma once

#include <sonark/mixer/pcm_mixer.h>

class CConv2FileObj;
class ProgressBar;

// The rendered stream on its way to the output, as a chain of small sinks with one job each.
// The mixer's blocks enter at the head through FeedSink.
class BlockSink {
 public:
  virtual ~BlockSink() = default;
  // Takes `count` bytes; false stops the render.
  virtual bool Put(const unsigned char* data, long count) = 0;
};

// Shows on `bar` how much of `total` bytes has passed.
class ProgressSink : public BlockSink {
 public:
  ProgressSink(BlockSink& next, ProgressBar& bar, double total)
      : next_(next), bar_(bar), total_(total) {}
  bool Put(const unsigned char* data, long count) override;

 private:
  BlockSink& next_;
  ProgressBar& bar_;
  double total_;
  double done_ = 0;
};

// Writes the stream to a converter; a refused write stops the render and is remembered with
// the converter's error code.
class WriteSink : public BlockSink {
 public:
  explicit WriteSink(CConv2FileObj& writer) : writer_(writer) {}
  bool Put(const unsigned char* data, long count) override;
  bool Failed() const { return failed_; }
  unsigned long Error() const { return error_; }

 private:
  CConv2FileObj& writer_;
  bool failed_ = false;
  unsigned long error_ = 0;
};

// The mixer's data sink: hands each block to the BlockSink at `context`, and stops once the
// user interrupted.
TDataWriteCode FeedSink(void* data, long* length, void* context);
