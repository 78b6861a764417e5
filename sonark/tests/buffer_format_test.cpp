#include <gtest/gtest.h>
#include <sonark/render/buffer_format.h>
#include <sonark/render/decoder.h>
#include <sonark/tests/pcm_test_support.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using sonark_test::Bytes16;
using sonark_test::Samples16;

_bufferType Interleaved(tWAVEFORMATEX* format, std::vector<unsigned char>& bytes) {
  _bufferType block{};
  block.precision = ptInterleaved;
  block.format = format;
  block.dataSize = block.bytesFilled = static_cast<uint32_t>(bytes.size());
  block.numFrames = static_cast<uint32_t>(bytes.size() / format->nBlockAlign);
  block.data = bytes.data();
  return block;
}

TEST(SampleWidth, WidensAndNarrowsByTheHighByte) {
  tWAVEFORMATEX f8 = PcmFormat(8000, 1, 8);
  tWAVEFORMATEX f16 = PcmFormat(8000, 1, 16);

  std::vector<unsigned char> eight = {0, 128, 255, 1};
  std::vector<unsigned char> wide(8, 0xAA);
  _bufferType from8 = Interleaved(&f8, eight);
  _bufferType to16 = Interleaved(&f16, wide);
  ASSERT_EQ(CopyBufferData(&from8, &to16), 1);
  EXPECT_EQ(Samples16(wide.data(), wide.size()), (std::vector<int16_t>{-32768, 0, 32512, -32512}));

  std::vector<unsigned char> sixteen = Bytes16({-1, -32768, 32767, 255, 256, -257});
  std::vector<unsigned char> narrow(6, 0xAA);
  _bufferType from16 = Interleaved(&f16, sixteen);
  _bufferType to8 = Interleaved(&f8, narrow);
  ASSERT_EQ(CopyBufferData(&from16, &to8), 1);
  EXPECT_EQ(narrow, (std::vector<unsigned char>{127, 0, 255, 128, 129, 126}));
}

TEST(SampleWidth, InterleavedCopyStaysInsideTheDestination) {
  tWAVEFORMATEX f8 = PcmFormat(8000, 2, 8);
  tWAVEFORMATEX f16 = PcmFormat(8000, 2, 16);
  std::vector<unsigned char> source(20, 200);  // ten frames
  std::vector<unsigned char> target(4 * 3 + 1, 0x5A);
  _bufferType from = Interleaved(&f8, source);
  _bufferType to = Interleaved(&f16, target);
  to.dataSize = 4 * 3;  // room for three frames; the byte after is a guard
  ASSERT_EQ(CopyBufferData(&from, &to), 1);
  EXPECT_EQ(Samples16(target.data(), 12), std::vector<int16_t>(6, (200 - 128) * 256));
  EXPECT_EQ(target.back(), 0x5A);
}

TEST(ValidateFormat, AcceptsOnlyRenderablePcmAndNormalises) {
  const tWAVEFORMATEX good = PcmFormat(48000, 2, 16);
  struct Case {
    const char* what;
    tWAVEFORMATEX format;
  };
  std::vector<Case> refused;
  refused.push_back({"24 bit", PcmFormat(44100, 2, 24)});
  refused.push_back({"3 channels", PcmFormat(44100, 3, 16)});
  refused.push_back({"0 Hz", PcmFormat(0, 2, 16)});
  refused.push_back({"48001 Hz", PcmFormat(48001, 2, 16)});
  refused.push_back({"0 channels", PcmFormat(44100, 0, 16)});
  tWAVEFORMATEX wrong_tag = good;
  wrong_tag.wFormatTag = kWaveFormatImaAdpcm;
  refused.push_back({"other tag", wrong_tag});
  for (Case& c : refused) {
    const tWAVEFORMATEX before = c.format;
    EXPECT_EQ(ValidateFormat(&c.format, kWaveFormatPcm), 0) << c.what;
    EXPECT_EQ(std::memcmp(&before, &c.format, sizeof(before)), 0) << c.what << " was changed";
  }
  EXPECT_EQ(ValidateFormat(nullptr, kWaveFormatPcm), 0);

  tWAVEFORMATEX messy = good;
  messy.nBlockAlign = 7;
  messy.nAvgBytesPerSec = 1;
  messy.cbSize = 22;
  ASSERT_EQ(ValidateFormat(&messy, kWaveFormatPcm), 1);
  EXPECT_EQ(messy.nBlockAlign, 4);
  EXPECT_EQ(messy.nAvgBytesPerSec, 192000u);
  EXPECT_EQ(messy.cbSize, 0);

  tWAVEFORMATEX low = PcmFormat(1, 1, 8);
  EXPECT_EQ(ValidateFormat(&low, kWaveFormatPcm), 1);
  EXPECT_EQ(low.nAvgBytesPerSec, 1u);
}

TEST(GetMaxSample, RaisesRunningPeaksPerChannel) {
  tWAVEFORMATEX stereo = PcmFormat(44100, 2, 16);
  std::vector<unsigned char> frames = Bytes16({100, -200, -300, 50, 7, 7, -32768, 32767});
  long left = 0, right = 0;
  // The last frame is cut short by the end pointer: a partial frame is not read.
  GetMaxSample(frames.data(), frames.data() + 14, &stereo, left, right);
  EXPECT_EQ(left, 300);
  EXPECT_EQ(right, 200);
  GetMaxSample(frames.data(), frames.data() + frames.size(), &stereo, left, right);
  EXPECT_EQ(left, 32768);
  EXPECT_EQ(right, 32767);

  long kept_left = 1234, kept_right = 99;
  GetMaxSample(frames.data(), frames.data(), &stereo, kept_left, kept_right);
  EXPECT_EQ(kept_left, 1234);
  EXPECT_EQ(kept_right, 99);

  tWAVEFORMATEX mono8 = PcmFormat(8000, 1, 8);
  std::vector<unsigned char> eight = {128, 120, 200, 0};
  long mono_left = 10, mono_right = 555555;
  GetMaxSample(eight.data(), eight.data(), &mono8, mono_left, mono_right);
  EXPECT_EQ(mono_right, 10);  // an empty range still mirrors the left peak
  GetMaxSample(eight.data(), eight.data() + 3, &mono8, mono_left, mono_right);
  EXPECT_EQ(mono_left, (200 - 128) * 256);
  EXPECT_EQ(mono_right, mono_left);
  GetMaxSample(eight.data(), eight.data() + 4, &mono8, mono_left, mono_right);
  EXPECT_EQ(mono_left, 32768);
}

// The scan as plainly as it can be said, frame by frame, to hold the fast one to.
void ReferenceMaxSample(const unsigned char* first, const unsigned char* end,
                        const tWAVEFORMATEX& f, long& left, long& right) {
  const int bits = f.wBitsPerSample;
  if ((bits == 8 || bits == 16) && (f.nChannels == 1 || f.nChannels == 2)) {
    const long sample = bits / 8;
    const long frame = sample * f.nChannels;
    auto magnitude = [&](const unsigned char* p) {
      const long v = bits == 8 ? (p[0] - 128L) * 256 : static_cast<int16_t>(p[0] | p[1] << 8);
      return v < 0 ? -v : v;
    };
    for (const unsigned char* p = first; end - p >= frame; p += frame) {
      left = std::max(left, magnitude(p));
      if (f.nChannels == 2) right = std::max(right, magnitude(p + sample));
    }
  }
  if (f.nChannels != 2) right = left;
}

TEST(GetMaxSample, MatchesTheFrameByFrameScanOnRandomData) {
  std::mt19937 random(20240611);
  const std::vector<tWAVEFORMATEX> formats = {PcmFormat(44100, 1, 8), PcmFormat(44100, 2, 8),
                                              PcmFormat(44100, 1, 16), PcmFormat(44100, 2, 16),
                                              PcmFormat(44100, 2, 24)};
  std::vector<unsigned char> bytes(4200);
  for (int round = 0; round < 400; ++round) {
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(random());
    // Quiet stretches make the loud samples below the deciding ones.
    if (round % 2 == 0) {
      for (unsigned char& b : bytes) b = static_cast<unsigned char>(b % 7 + (round % 4 ? 125 : 0));
    }
    // The extremes of both widths, on either channel, in whole steps and in the tail.
    for (int k = 0; k < 3; ++k) {
      const size_t at = random() % (bytes.size() - 1);
      const unsigned char extremes[][2] = {{0x00, 0x80}, {0xFF, 0x7F}, {0x01, 0x80}};
      std::memcpy(&bytes[at], extremes[random() % 3], 2);
      bytes[random() % bytes.size()] = random() % 2 ? 0 : 255;
    }
    const tWAVEFORMATEX& f = formats[round % formats.size()];
    // Short and long ranges, partial frames, every alignment of the first byte.
    const size_t offset = random() % 5;
    const size_t length = round % 3 == 0 ? random() % 80 : random() % (bytes.size() - offset);
    const unsigned char* first = bytes.data() + offset;
    const long starts[] = {0, -1, 20000, 40000};
    const long start_left = starts[random() % 4];
    const long start_right = starts[random() % 4];
    long left = start_left, right = start_right;
    long want_left = start_left, want_right = start_right;
    GetMaxSample(first, first + length, &f, left, right);
    ReferenceMaxSample(first, first + length, f, want_left, want_right);
    ASSERT_EQ(left, want_left) << "round " << round << " length " << length;
    ASSERT_EQ(right, want_right) << "round " << round << " length " << length;
  }
}

TEST(GetMaxSample, FullScaleOnEveryLaneAndChannel) {
  // -32768 and the 8-bit 0 are a magnitude of 32768 wherever they lie in a long run.
  for (size_t at = 0; at < 40; ++at) {
    std::vector<int16_t> quiet(40, 3);
    quiet[at] = -32768;
    const std::vector<unsigned char> sixteen = Bytes16(quiet);
    std::vector<unsigned char> eight(40, 130);
    eight[at] = 0;
    for (uint16_t channels : {1, 2}) {
      const tWAVEFORMATEX f16 = PcmFormat(44100, channels, 16);
      const tWAVEFORMATEX f8 = PcmFormat(44100, channels, 8);
      const long loud = 32768;
      const long quiet16 = 3, quiet8 = 2 * 256;
      const bool on_right = channels == 2 && at % 2 == 1;
      long left = 0, right = 0;
      GetMaxSample(sixteen.data(), sixteen.data() + sixteen.size(), &f16, left, right);
      EXPECT_EQ(left, on_right ? quiet16 : loud) << at;
      EXPECT_EQ(right, on_right || channels == 1 ? loud : quiet16) << at;
      left = right = 0;
      GetMaxSample(eight.data(), eight.data() + eight.size(), &f8, left, right);
      EXPECT_EQ(left, on_right ? quiet8 : loud) << at;
      EXPECT_EQ(right, on_right || channels == 1 ? loud : quiet8) << at;
    }
  }
}

class FakeDecoder : public CDecoder {
 public:
  FakeDecoder(int acm, long block) : acm_(acm), block_(block) {}
  int IsACM() override { return acm_; }
  long BlockSize(const tWAVEFORMATEX*) override { return block_; }

 private:
  int acm_;
  long block_;
};

TEST(Decoders, KindAndBlockSizeComeFromTheDecoder) {
  tWAVEFORMATEX f = PcmFormat(44100, 2, 16);
  FakeDecoder codec(1, 2048);
  FakeDecoder mpeg(0, 417);
  EXPECT_EQ(IsPCMOrACM(nullptr), 1);
  EXPECT_EQ(IsPCMOrACM(&codec), 1);
  EXPECT_EQ(IsPCMOrACM(&mpeg), 0);
  EXPECT_EQ(BlockSize(&f, nullptr), 4);
  EXPECT_EQ(BlockSize(&f, &codec), 2048);
  EXPECT_EQ(BlockSize(&f, &mpeg), 417);
}

template <typename T>
std::vector<T> Plane(const unsigned char* p, uint32_t bytes) {
  std::vector<T> values(bytes / sizeof(T));
  std::memcpy(values.data(), p, values.size() * sizeof(T));
  return values;
}

TEST(CopyToNewBuffer, SplitsIntoEveryLayout) {
  tWAVEFORMATEX f8 = PcmFormat(22050, 2, 8);
  const std::vector<unsigned char> source = {0, 255, 128, 64, 200, 1};
  const tWAVEFORMATEX before = f8;

  _bufferType* i16 = CopyToNewBuffer(&f8, source.data(), source.size(), ptInt16);
  ASSERT_NE(i16, nullptr);
  EXPECT_EQ(std::memcmp(&before, &f8, sizeof(f8)), 0) << "the caller's format is copied";
  EXPECT_EQ(i16->numFrames, 3u);
  EXPECT_EQ(i16->dataSize, 6u);
  EXPECT_EQ(i16->bytesFilled, 6u);
  EXPECT_EQ(i16->format->wBitsPerSample, 16);
  EXPECT_EQ(i16->format->nBlockAlign, 2);
  EXPECT_EQ(i16->format->nAvgBytesPerSec, 16u * 2 * 22050 / 8);
  EXPECT_EQ(Plane<int16_t>(i16->data, 6), (std::vector<int16_t>{-32768, 0, 18432}));
  EXPECT_EQ(Plane<int16_t>(i16->data2, 6), (std::vector<int16_t>{32512, -16384, -32512}));

  _bufferType* i32 = CopyToNewBuffer(&f8, source.data(), source.size(), ptInt32);
  ASSERT_NE(i32, nullptr);
  EXPECT_EQ(i32->format->wBitsPerSample, 32);
  EXPECT_EQ(i32->format->nBlockAlign, 4);
  EXPECT_EQ(i32->format->nAvgBytesPerSec, 32u * 2 * 22050 / 8);
  EXPECT_EQ(Plane<int32_t>(i32->data2, i32->dataSize),
            (std::vector<int32_t>{32512, -16384, -32512}));

  _bufferType* f32 = CopyToNewBuffer(&f8, source.data(), source.size(), ptFloat32);
  ASSERT_NE(f32, nullptr);
  EXPECT_EQ(f32->bytesFilled, 12u);
  EXPECT_EQ(Plane<float>(f32->data, f32->dataSize), (std::vector<float>{-32768.f, 0.f, 18432.f}));

  _bufferType* f64 = CopyToNewBuffer(&f8, source.data(), source.size(), ptDouble64);
  ASSERT_NE(f64, nullptr);
  EXPECT_EQ(f64->format->wBitsPerSample, 64);
  EXPECT_EQ(f64->format->nBlockAlign, 8);
  EXPECT_EQ(Plane<double>(f64->data2, f64->dataSize), (std::vector<double>{32512, -16384, -32512}));

  for (_bufferType* block : {i16, i32, f32, f64}) {
    DeleteBufferFormat(block);
    EXPECT_EQ(block->format, nullptr);
    DeleteBufferPtr(block);
    EXPECT_EQ(block, nullptr);
  }
}

TEST(CopyToNewBuffer, MonoSixteenBitHasOnePlane) {
  tWAVEFORMATEX f16 = PcmFormat(44100, 1, 16);
  std::vector<unsigned char> bytes = Bytes16({5, -6, 32767});
  bytes.push_back(0x11);  // a trailing partial frame is not a frame
  _bufferType interleaved{};
  interleaved.format = &f16;
  interleaved.data = bytes.data();
  interleaved.dataSize = static_cast<uint32_t>(bytes.size());
  _bufferType* block = CopyToNewBuffer(&interleaved, ptDouble64);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block->data2, nullptr);
  EXPECT_EQ(block->numFrames, 3u);
  EXPECT_EQ(Plane<double>(block->data, block->dataSize), (std::vector<double>{5, -6, 32767}));
  DeleteBufferFormat(block);
  DeleteBufferPtr(block);
}

TEST(CopyToNewBuffer, NullSourceGivesZeroPlanesAndNothingFilled) {
  tWAVEFORMATEX f16 = PcmFormat(44100, 2, 16);
  for (TPrecisionType p : {ptInt16, ptInt32, ptFloat32, ptDouble64}) {
    _bufferType* block = CopyToNewBuffer(&f16, nullptr, 40, p);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->numFrames, 10u);
    EXPECT_EQ(block->bytesFilled, 0u);
    for (unsigned char* plane : {block->data, block->data2}) {
      ASSERT_NE(plane, nullptr);
      EXPECT_EQ(std::vector<unsigned char>(plane, plane + block->dataSize),
                std::vector<unsigned char>(block->dataSize, 0));
    }
    DeleteBufferFormat(block);
    DeleteBufferPtr(block);
  }
}

TEST(CopyBufferData, NullSourceOverwritesExistingPlanes) {
  tWAVEFORMATEX f16 = PcmFormat(44100, 2, 16);
  std::vector<unsigned char> left(16, 0xAB), right(16, 0xCD);
  _bufferType source{};
  source.format = &f16;
  source.numFrames = 4;
  _bufferType target{};
  target.precision = ptInt32;
  target.format = &f16;
  target.dataSize = 16;
  target.bytesFilled = 99;
  target.data = left.data();
  target.data2 = right.data();
  ASSERT_EQ(CopyBufferData(&source, &target), 1);
  EXPECT_EQ(left, std::vector<unsigned char>(16, 0));
  EXPECT_EQ(right, std::vector<unsigned char>(16, 0));
  EXPECT_EQ(target.bytesFilled, 0u);

  // Only interleaved sources are understood.
  source.precision = ptInt16;
  EXPECT_EQ(CopyBufferData(&source, &target), 0);
}

TEST(CopyToNewBuffer, DuplicateOwnsItsPlanesAndSharesTheFormat) {
  tWAVEFORMATEX f16 = PcmFormat(44100, 2, 16);
  const std::vector<unsigned char> bytes = Bytes16({1, 2, 3, 4});
  _bufferType* original = CopyToNewBuffer(&f16, bytes.data(), bytes.size(), ptFloat32);
  ASSERT_NE(original, nullptr);
  _bufferType* twin = CopyToNewBuffer(original);
  ASSERT_NE(twin, nullptr);
  EXPECT_EQ(twin->format, original->format);
  EXPECT_NE(twin->data, original->data);
  EXPECT_NE(twin->data2, original->data2);
  EXPECT_EQ(twin->numFrames, original->numFrames);
  EXPECT_EQ(twin->bytesFilled, original->bytesFilled);
  EXPECT_EQ(Plane<float>(twin->data2, twin->dataSize), (std::vector<float>{2, 4}));

  DeleteBufferFormat(original);
  twin->format = nullptr;
  DeleteBufferPtr(original);
  DeleteBufferPtr(twin);
}

TEST(CopyToNewBuffer, RefusesWhatItCannotDescribe) {
  tWAVEFORMATEX f24 = PcmFormat(44100, 2, 24);
  const unsigned char bytes[12] = {};
  EXPECT_EQ(CopyToNewBuffer(&f24, bytes, sizeof(bytes), ptInt16), nullptr);
  EXPECT_EQ(CopyToNewBuffer(nullptr, bytes, sizeof(bytes), ptInt16), nullptr);
  tWAVEFORMATEX no_align = PcmFormat(44100, 2, 16);
  no_align.nBlockAlign = 0;
  EXPECT_EQ(CopyToNewBuffer(&no_align, bytes, sizeof(bytes), ptInt16), nullptr);
  EXPECT_EQ(CopyToNewBuffer(static_cast<const _bufferType*>(nullptr)), nullptr);
  _bufferType* none = nullptr;
  DeleteBufferPtr(none);  // a null holder is fine
}

TEST(SoundFormatToString, DescribesTheFormatWithTheEngineTexts) {
  tWAVEFORMATEX cd = PcmFormat(44100, 2, 16);
  char text[256];
  SoundFormatToString(&cd, text, sizeof(text), nullptr);
  EXPECT_STREQ(text, "PCM, 44.100 kHz, 16 bit, Stereo");

  tWAVEFORMATEX phone = PcmFormat(8000, 1, 8);
  SoundFormatToString(&phone, text, sizeof(text), "IMA ADPCM");
  EXPECT_STREQ(text, "IMA ADPCM, 8.000 kHz, 8 bit, Mono");

  const std::string long_name(300, 'x');
  SoundFormatToString(&phone, text, sizeof(text), long_name.c_str());
  EXPECT_EQ(std::string(text).rfind(std::string(128, 'x') + ", 8.000", 0), 0u);

  char small[10];
  std::memset(small, '#', sizeof(small));
  SoundFormatToString(&cd, small, 6, nullptr);
  EXPECT_STREQ(small, "PCM, ");
  EXPECT_EQ(small[6], '#');
}

}  // namespace
