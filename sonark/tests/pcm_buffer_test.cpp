#include <gtest/gtest.h>
#include <sonark/render/pcm_buffer.h>
#include <tarnell/mem_obj.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

// A memory source holding the staircase: 16-bit sample i has value i. It counts what the
// buffer takes from it.
class Staircase : public CMemObj {
 public:
  explicit Staircase(int samples) {
    std::vector<uint16_t> values(static_cast<size_t>(samples));
    for (int i = 0; i < samples; ++i) values[static_cast<size_t>(i)] = static_cast<uint16_t>(i);
    Open(reinterpret_cast<unsigned char*>(values.data()), values.size() * 2);
    SetDataOffsets(0, values.size() * 2);
  }
  long ReadData(char* buf, long count) override {
    ++reads;
    const long got = CMemObj::ReadData(buf, count);
    bytes_read += got > 0 ? got : 0;
    return got;
  }
  long reads = 0;
  long bytes_read = 0;
};

struct ReleaseRefObj {
  void operator()(CRefObj* object) const { DeleteRefObject(&object); }
};
using StaircasePtr = std::unique_ptr<Staircase, ReleaseRefObj>;

StaircasePtr MakeStaircase(int samples) { return StaircasePtr(new Staircase(samples)); }

// Reads like the sound renderer: lock, take from both regions what the read still allows,
// report it, unlock, refill. Takes at most `chunk` bytes per round; stops after `limit`
// bytes or when the ring runs dry.
std::vector<uint16_t> Consume(CPCMBuffer& buffer, unsigned long limit, unsigned long chunk) {
  std::vector<unsigned char> bytes;
  while (bytes.size() < limit) {
    unsigned char* first;
    unsigned char* second;
    unsigned long first_length, second_length;
    buffer.Lock(first, first_length, second, second_length);
    unsigned long left = 0;
    if (first_length + second_length == 0 || !buffer.BytesLeftToRead(left)) break;
    unsigned long want = std::min({chunk, left, limit - static_cast<unsigned long>(bytes.size())});
    const unsigned long from_first = std::min(want, first_length);
    bytes.insert(bytes.end(), first, first + from_first);
    const unsigned long from_second = std::min(want - from_first, second_length);
    if (from_second > 0) bytes.insert(bytes.end(), second, second + from_second);
    buffer.UpdateReadOffset(from_first + from_second);
    buffer.Unlock();
    if (!buffer.BufferFinished()) buffer.Fill();
  }
  std::vector<uint16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

std::vector<uint16_t> Steps(int from, int count, int wrap = 1 << 30) {
  std::vector<uint16_t> values;
  for (int i = 0; i < count; ++i) values.push_back(static_cast<uint16_t>((from + i) % wrap));
  return values;
}

TEST(PCMBuffer, StreamsTheWholeSourceThroughASmallRing) {
  for (unsigned long ring : {400ul, 398ul, 64ul}) {
    for (unsigned long chunk : {400ul, 70ul, 6ul}) {
      StaircasePtr source = MakeStaircase(1000);
      CPCMBuffer buffer;
      ASSERT_EQ(buffer.Init(source.get(), ring, 0), 1);
      EXPECT_EQ(buffer.Streaming(), 1);
      ASSERT_EQ(buffer.SetReadVariables(0, 2000), 1);
      buffer.Fill();
      ASSERT_EQ(Consume(buffer, 5000, chunk), Steps(0, 1000)) << ring << "/" << chunk;
      EXPECT_EQ(buffer.BufferFinished(), 1);
      unsigned long left = 99;
      EXPECT_EQ(buffer.BytesLeftToRead(left), 0);
      EXPECT_EQ(left, 0u);
      EXPECT_EQ(source->bytes_read, 2000) << "the source is read once, in order";
    }
  }
}

TEST(PCMBuffer, RefillsOnlyOnceDrainedToTheFillPercent) {
  StaircasePtr source = MakeStaircase(1000);
  CPCMBuffer buffer;
  ASSERT_EQ(buffer.Init(source.get(), 400, 0, 50), 1);
  ASSERT_EQ(buffer.SetReadVariables(0, 2000), 1);
  EXPECT_EQ(buffer.Fill(), 1);
  EXPECT_EQ(buffer.NewDataInBuffer(), 400u);
  EXPECT_EQ(buffer.Fill(), 0);

  buffer.UpdateReadOffset(196);  // 204 of 400 left: 51 percent
  EXPECT_EQ(buffer.Fill(), 0);
  EXPECT_EQ(buffer.NewDataInBuffer(), 204u);
  const long reads_before = source->reads;
  buffer.UpdateReadOffset(4);  // exactly half left
  EXPECT_EQ(buffer.Fill(), 1);
  EXPECT_EQ(buffer.NewDataInBuffer(), 400u);
  EXPECT_GT(source->reads, reads_before);
  EXPECT_EQ(Consume(buffer, 20, 20), Steps(100, 10));
}

TEST(PCMBuffer, LockDescribesTheUnreadBytesInRingOrder) {
  StaircasePtr source = MakeStaircase(1000);
  CPCMBuffer buffer;
  ASSERT_EQ(buffer.Init(source.get(), 400, 0), 1);
  unsigned char *first, *second;
  unsigned long first_length, second_length;

  ASSERT_EQ(buffer.SetReadVariables(0, 2000), 1);
  buffer.Lock(first, first_length, second, second_length);
  EXPECT_EQ(first_length + second_length, 0u);
  EXPECT_EQ(first, second);

  buffer.Fill();  // full, both pointers at the ring's begin
  buffer.Lock(first, first_length, second, second_length);
  unsigned char* const begin = first;
  EXPECT_EQ(first_length, 400u);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(second_length, 0u);

  buffer.UpdateReadOffset(300);
  buffer.Lock(first, first_length, second, second_length);
  EXPECT_EQ(first, begin + 300);
  EXPECT_EQ(first_length, 100u);
  EXPECT_EQ(second_length, 0u);

  buffer.Fill();  // full again, both pointers at 300
  buffer.Lock(first, first_length, second, second_length);
  EXPECT_EQ(first, begin + 300);
  EXPECT_EQ(first_length, 100u);
  EXPECT_EQ(second, begin);
  EXPECT_EQ(second_length, 300u);
  EXPECT_EQ(Consume(buffer, 800, 800), Steps(150, 400));
}

TEST(PCMBuffer, LoopModeSourceRepeatsAndOffsetsWrap) {
  StaircasePtr source = MakeStaircase(100);
  source->SetDataMode(1);
  CPCMBuffer buffer;
  ASSERT_EQ(buffer.Init(source.get(), 64, 0), 1);
  ASSERT_EQ(buffer.SetReadVariables(0, 700), 1);
  buffer.Fill();
  EXPECT_EQ(Consume(buffer, 10000, 50), Steps(0, 350, 100));

  // Offsets past the data wrap round to the data's start.
  ASSERT_EQ(buffer.SetReadVariables(2 * 130, 2 * 90), 1);
  EXPECT_EQ(buffer.StartOffset(), 260u);
  buffer.Fill();
  EXPECT_EQ(Consume(buffer, 10000, 33), Steps(30, 90, 100));

  buffer.SetVirtualStart(2 * 10);
  ASSERT_EQ(buffer.SetReadVariables(2 * 5, 2 * 10), 1);
  buffer.Fill();
  EXPECT_EQ(Consume(buffer, 10000, 64), Steps(15, 10));
}

TEST(PCMBuffer, ReadPastThePlainSourceEndRunsDry) {
  StaircasePtr source = MakeStaircase(100);
  CPCMBuffer buffer;
  ASSERT_EQ(buffer.Init(source.get(), 64, 0), 1);
  ASSERT_EQ(buffer.SetReadVariables(2 * 90, 2 * 50), 1);
  buffer.Fill();
  EXPECT_EQ(Consume(buffer, 10000, 64), Steps(90, 10));
  EXPECT_EQ(buffer.BufferFinished(), 0);
  unsigned long left = 0;
  EXPECT_EQ(buffer.BytesLeftToRead(left), 1);
  EXPECT_EQ(left, 80u);
  const long reads = source->reads;
  EXPECT_EQ(buffer.Fill(), 1);
  EXPECT_EQ(source->reads, reads) << "an exhausted source is not asked again";
  EXPECT_EQ(buffer.NewDataInBuffer(), 0u);

  // A new read starts over.
  ASSERT_EQ(buffer.SetReadVariables(0, 8), 1);
  buffer.Fill();
  EXPECT_EQ(Consume(buffer, 10000, 64), Steps(0, 4));
}

TEST(PCMBuffer, LoadedOnceReadsTheSourceExactlyOnce) {
  StaircasePtr source = MakeStaircase(100);
  source->SetDataMode(1);
  CPCMBuffer buffer;
  ASSERT_EQ(buffer.Init(source.get(), 200, 1), 1);
  EXPECT_EQ(buffer.IsLoadedOnce(), 1);
  EXPECT_EQ(buffer.Streaming(), 0);
  EXPECT_EQ(source->bytes_read, 200);
  EXPECT_EQ(buffer.NewDataInBuffer(), 200u);

  // Longer than the data: the ring is replayed.
  ASSERT_EQ(buffer.SetReadVariables(0, 2 * 250), 1);
  buffer.Fill();
  EXPECT_EQ(Consume(buffer, 10000, 70), Steps(0, 250, 100));
  EXPECT_EQ(buffer.NewDataInBuffer(), 200u) << "handing bytes out does not consume them";

  ASSERT_EQ(buffer.SetReadVariables(2 * 130, 2 * 20), 1);
  EXPECT_EQ(Consume(buffer, 10000, 64), Steps(30, 20));
  buffer.LowActivityMode();  // ignored: the whole sound stays in memory
  ASSERT_EQ(buffer.SetReadVariables(2 * 95, 2 * 10), 1);
  EXPECT_EQ(Consume(buffer, 10000, 64), Steps(95, 10, 100));

  std::unique_ptr<CPCMBuffer> copy(buffer.Copy());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->GetReferenceObject(), nullptr);
  EXPECT_EQ(copy->Initialized(), 1);
  EXPECT_EQ(copy->NewDataInBuffer(), 200u);
  ASSERT_EQ(copy->SetReadVariables(2 * 40, 2 * 120), 1);
  EXPECT_EQ(Consume(*copy, 10000, 64), Steps(40, 120, 100));
  EXPECT_EQ(source->bytes_read, 200) << "neither replays nor copies go back to the source";

  // The copy's ring outlives the original.
  buffer.Init(nullptr, 0, 0);
  ASSERT_EQ(copy->SetReadVariables(0, 8), 1);
  EXPECT_EQ(Consume(*copy, 10000, 64), Steps(0, 4));
}

TEST(PCMBuffer, LoadedOnceShortSourceLeavesSilence) {
  StaircasePtr source = MakeStaircase(10);
  CPCMBuffer buffer;
  ASSERT_EQ(buffer.Init(source.get(), 40, 1), 1);
  ASSERT_EQ(buffer.SetReadVariables(0, 40), 1);
  std::vector<uint16_t> expected = Steps(0, 10);
  expected.resize(20, 0);
  EXPECT_EQ(Consume(buffer, 10000, 64), expected);
}

TEST(PCMBuffer, LowActivityReleasesTheRingUntilTheNextFill) {
  StaircasePtr source = MakeStaircase(1000);
  CPCMBuffer buffer;
  ASSERT_EQ(buffer.Init(source.get(), 256, 0), 1);
  ASSERT_EQ(buffer.SetReadVariables(0, 2000), 1);
  buffer.Fill();
  EXPECT_EQ(Consume(buffer, 100, 100), Steps(0, 50));

  buffer.LowActivityMode();
  EXPECT_EQ(buffer.InLowActivityMode(), 1);
  EXPECT_EQ(buffer.NewDataInBuffer(), 0u);
  unsigned char *first, *second;
  unsigned long first_length, second_length;
  buffer.Lock(first, first_length, second, second_length);
  EXPECT_EQ(first_length + second_length, 0u);
  buffer.LowActivityMode();  // twice is harmless

  // As the mixer does: start the read, then let the buffer fill.
  ASSERT_EQ(buffer.SetReadVariables(2 * 500, 2 * 300), 1);
  EXPECT_EQ(buffer.Fill(), 1);
  EXPECT_EQ(buffer.InLowActivityMode(), 0);
  EXPECT_EQ(buffer.NewDataInBuffer(), 256u);
  EXPECT_EQ(Consume(buffer, 10000, 90), Steps(500, 300));
}

TEST(PCMBuffer, AdjustingTheReadLengthEndsItWhenShortEnough) {
  StaircasePtr source = MakeStaircase(1000);
  CPCMBuffer buffer;
  ASSERT_EQ(buffer.Init(source.get(), 256, 0), 1);
  ASSERT_EQ(buffer.SetReadVariables(0, 400), 1);
  EXPECT_EQ(buffer.AdjustBytesToRead(-1000), 1);
  EXPECT_EQ(buffer.TotalBytesToRead(), 0u);
  EXPECT_EQ(buffer.BufferFinished(), 1);

  ASSERT_EQ(buffer.SetReadVariables(0, 400), 1);
  buffer.Fill();
  EXPECT_EQ(Consume(buffer, 300, 300), Steps(0, 150));
  buffer.AdjustBytesToRead(-200);  // now shorter than what was handed out
  EXPECT_EQ(buffer.BufferFinished(), 1);
  buffer.UpdateReadOffset(200);  // drain the ring so that Fill has to decide
  EXPECT_EQ(buffer.NewDataInBuffer(), 0u);
  const long bytes = source->bytes_read;
  EXPECT_EQ(buffer.Fill(), 1);
  EXPECT_EQ(source->bytes_read, bytes) << "a read that is over needs nothing more";
  unsigned long left = 1;
  EXPECT_EQ(buffer.BytesLeftToRead(left), 0);
  EXPECT_EQ(left, 0u);

  ASSERT_EQ(buffer.SetReadVariables(0, 100), 1);
  buffer.AdjustBytesToRead(60);
  buffer.Fill();
  EXPECT_EQ(Consume(buffer, 10000, 64), Steps(0, 80));
}

TEST(PCMBuffer, SeekFailureKeepsTheOldReadLength) {
  CMemObj* empty = new CMemObj;
  empty->Create();  // no data window
  CPCMBuffer buffer;
  ASSERT_EQ(buffer.Init(empty, 64, 0), 1);
  buffer.AdjustBytesToRead(10);
  EXPECT_EQ(buffer.SetReadVariables(0, 500), 0);
  EXPECT_EQ(buffer.TotalBytesToRead(), 10u);
  CRefObj* holder = empty;
  DeleteRefObject(&holder);
}

TEST(PCMBuffer, StreamingCopyHasItsOwnRing) {
  StaircasePtr source = MakeStaircase(1000);
  CPCMBuffer buffer;
  ASSERT_EQ(buffer.Init(source.get(), 128, 0, 25), 1);
  buffer.SetVirtualStart(2 * 100);
  ASSERT_EQ(buffer.SetReadVariables(0, 2000), 1);
  buffer.Fill();

  std::unique_ptr<CPCMBuffer> copy(buffer.Copy());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->BufferSize(), 128u);
  EXPECT_EQ(copy->FillPercent(), 25);
  EXPECT_EQ(copy->GetVirtualStart(), 200u);
  EXPECT_EQ(copy->NewDataInBuffer(), 0u);
  EXPECT_EQ(copy->TotalBytesToRead(), 0u);

  StaircasePtr other = MakeStaircase(1000);
  copy->SetRefObj(other.get());
  ASSERT_EQ(copy->SetReadVariables(2 * 50, 2 * 20), 1);
  copy->Fill();
  EXPECT_EQ(Consume(*copy, 10000, 64), Steps(150, 20));
  EXPECT_EQ(Consume(buffer, 40, 64), Steps(100, 20)) << "the original is untouched";
}

// Decoding buffers replace only how bytes are produced and where the source is positioned.
class GeneratedBuffer : public CPCMBuffer {
 public:
  unsigned long sought = 0;
  uint16_t next = 0;

 protected:
  long ReadData(unsigned char* destination, unsigned long count) override {
    const unsigned long whole = count & ~1ul;
    for (unsigned long i = 0; i < whole; i += 2) {
      std::memcpy(destination + i, &next, 2);
      ++next;
    }
    return static_cast<long>(whole);
  }
  int Seek(unsigned long position) override {
    sought = position;
    next = static_cast<uint16_t>(position / 2);
    return 1;
  }
};

TEST(PCMBuffer, DerivedSourcesFeedTheSameRing) {
  GeneratedBuffer buffer;
  ASSERT_EQ(buffer.Init(nullptr, 100, 0), 1);
  buffer.SetVirtualStart(1000);
  ASSERT_EQ(buffer.SetReadVariables(24, 600), 1);
  EXPECT_EQ(buffer.sought, 1024u);
  buffer.Fill();
  EXPECT_EQ(Consume(buffer, 10000, 30), Steps(512, 300));
}

}  // namespace
