#include <dlfcn.h>
#include <gtest/gtest.h>
#include <plugins/lame_enc/lame_enc_api.h>
#include <tarnell/tests/temp_dir.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

struct LameRecord {
  uint32_t rate = 44100;
  uint32_t mode = BE_MODE_JOINT_STEREO;
  uint32_t bitRate = 128;
  uint32_t maxBitRate = 0;
  uint32_t mpegVersion = 1;
  bool vbr = false;
  bool abr = false;
  uint32_t quality = 2;

  Bytes Bytes331() const {
    Bytes b(BE_CONFIG_LAME_SIZE, 0);
    // clang-format off
    const uint32_t fields[] = {256, 1, 331, rate, rate, mode, bitRate, vbr ? maxBitRate : 0,
                               0xFFFFFFFF, mpegVersion, 0, 0, 0, 0, 0, 1, vbr ? 1u : 0u,
                               vbr ? 1u : 0u, quality, vbr && abr ? 160000u : 0u,
                               vbr ? (abr ? 4u : 3u) : 0xFFFFFFFF, 0};
    // clang-format on
    for (size_t i = 0; i < std::size(fields); ++i) Put32(b, 4 * i, fields[i]);
    return b;
  }
};

Bytes BladeRecord(uint32_t rate, uint8_t mode, uint16_t kbps) {
  Bytes b(BE_CONFIG_BLADE_SIZE, 0);
  Put32(b, 4, rate);
  b[8] = mode;
  b[9] = static_cast<unsigned char>(kbps);
  b[10] = static_cast<unsigned char>(kbps >> 8);
  Put32(b, 23, 1);  // original
  return b;
}

bool Have(const char* tool) {
  return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

std::string Output(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buf[256];
    while (std::fgets(buf, sizeof buf, pipe)) out += buf;
    pclose(pipe);
  }
  return out;
}

Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// An ID3v2.3 tag of `body` zero bytes, as the engine reserves ahead of the audio.
Bytes ReservedTag(uint32_t body) {
  Bytes tag = {'I',
               'D',
               '3',
               3,
               0,
               0,
               static_cast<unsigned char>((body >> 21) & 0x7F),
               static_cast<unsigned char>((body >> 14) & 0x7F),
               static_cast<unsigned char>((body >> 7) & 0x7F),
               static_cast<unsigned char>(body & 0x7F)};
  tag.resize(10 + body, 0);
  return tag;
}

class LameEncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lib_ = dlopen(LAME_ENC_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib_, nullptr) << dlerror();
    init_ = reinterpret_cast<BeInitStreamFn>(dlsym(lib_, "beInitStream"));
    encode_ = reinterpret_cast<BeEncodeChunkFn>(dlsym(lib_, "beEncodeChunk"));
    deinit_ = reinterpret_cast<BeDeinitStreamFn>(dlsym(lib_, "beDeinitStream"));
    close_ = reinterpret_cast<BeCloseStreamFn>(dlsym(lib_, "beCloseStream"));
    version_ = reinterpret_cast<BeVersionFn>(dlsym(lib_, "beVersion"));
    vbrHeader_ = reinterpret_cast<BeWriteVBRHeaderFn>(dlsym(lib_, "beWriteVBRHeader"));
    ASSERT_TRUE(init_ && encode_ && deinit_ && close_ && version_ && vbrHeader_);
    ASSERT_TRUE(dir_.ok());
  }
  void TearDown() override {
    if (lib_ != nullptr) dlclose(lib_);
  }

  // Encodes `seconds` of a 440 Hz sine into `path` after `prefix`, the way the engine drives the
  // library: whole chunks, then a short last one, flush, close, then the header rewrite.
  void Encode(Bytes record, int channels, int rate, double seconds, const std::string& path,
              const Bytes& prefix = {}) {
    unsigned long perChunk = 0, outSize = 0;
    BeStream stream = nullptr;
    ASSERT_EQ(init_(record.data(), &perChunk, &outSize, &stream), BE_ERR_SUCCESSFUL);
    ASSERT_EQ(perChunk, 1152ul * static_cast<unsigned long>(channels));
    ASSERT_GE(outSize, perChunk * 5 / 4 + 7200);
    const size_t frames = static_cast<size_t>(seconds * rate);
    ASSERT_NE(frames * channels % perChunk, 0u) << "the last chunk should be short";
    std::vector<short> pcm(frames * channels);
    for (size_t i = 0; i < frames; ++i) {
      for (int c = 0; c < channels; ++c) {
        pcm[i * channels + c] = static_cast<short>(12000 * std::sin(2 * M_PI * 440 * i / rate));
      }
    }
    Bytes file = prefix;
    Bytes out(outSize);
    for (size_t at = 0; at < pcm.size(); at += perChunk) {
      const unsigned long n =
          static_cast<unsigned long>(std::min<size_t>(perChunk, pcm.size() - at));
      unsigned long got = 0;
      ASSERT_EQ(encode_(stream, n, pcm.data() + at, out.data(), &got), BE_ERR_SUCCESSFUL);
      file.insert(file.end(), out.begin(), out.begin() + static_cast<long>(got));
    }
    unsigned long got = 0;
    ASSERT_EQ(deinit_(stream, out.data(), &got), BE_ERR_SUCCESSFUL);
    file.insert(file.end(), out.begin(), out.begin() + static_cast<long>(got));
    ASSERT_EQ(close_(stream), BE_ERR_SUCCESSFUL);
    WriteBytes(path, file);
    ASSERT_EQ(vbrHeader_(path.c_str()), BE_ERR_SUCCESSFUL);
  }

  std::string Probe(const std::string& path) {
    return Output(
        "ffprobe -v error -select_streams a:0 -show_entries "
        "stream=sample_rate,channels,bit_rate -of default=nw=1 '" +
        path + "'");
  }

  // Samples a channel that mpg123 decodes from `path`.
  long Decoded(const std::string& path, int channels) {
    const std::string raw = path + ".raw";
    if (std::system(("mpg123 -q -s '" + path + "' > '" + raw + "' 2>/dev/null").c_str()) != 0) {
      return -1;
    }
    return static_cast<long>(ReadBytes(raw).size()) / (2 * channels);
  }

  void SkipWithoutTools() {
    if (!Have("ffprobe") || !Have("mpg123")) GTEST_SKIP() << "ffprobe and mpg123 read the files";
  }

  void* lib_ = nullptr;
  BeInitStreamFn init_ = nullptr;
  BeEncodeChunkFn encode_ = nullptr;
  BeDeinitStreamFn deinit_ = nullptr;
  BeCloseStreamFn close_ = nullptr;
  BeVersionFn version_ = nullptr;
  BeWriteVBRHeaderFn vbrHeader_ = nullptr;
  TempDir dir_;
};

// Encoder delay and padding that a decoder without the LAME tag plays on top of the input.
constexpr long kSlack = 1105 + 1152;

TEST_F(LameEncTest, ConstantBitRateRecordsGiveTheAskedStreams) {
  SkipWithoutTools();
  struct Case {
    const char* name;
    Bytes record;
    int channels, rate;
    const char* probe;
  };
  LameRecord mono;
  mono.rate = 22050;
  mono.mode = BE_MODE_MONO;
  mono.bitRate = 64;
  mono.mpegVersion = 0;
  const Case cases[] = {
      {"lame.mp3", LameRecord{}.Bytes331(), 2, 44100,
       "sample_rate=44100\nchannels=2\nbit_rate=128000\n"},
      {"mono.mp3", mono.Bytes331(), 1, 22050, "sample_rate=22050\nchannels=1\nbit_rate=64000\n"},
      {"blade.mp3", BladeRecord(32000, BE_MODE_STEREO, 192), 2, 32000,
       "sample_rate=32000\nchannels=2\nbit_rate=192000\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir_.File(c.name);
    Encode(c.record, c.channels, c.rate, 2.0, path);
    EXPECT_EQ(Probe(path), c.probe);
    const long decoded = Decoded(path, c.channels);
    EXPECT_GE(decoded, 2 * c.rate);
    EXPECT_LE(decoded, 2 * c.rate + kSlack);
    // The version lies in the first frame's header: 3 for MPEG-1, 2 for MPEG-2.
    const Bytes bytes = ReadBytes(path);
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_EQ((bytes[1] >> 3) & 3, c.rate >= 32000 ? 3 : 2);
  }
}

TEST_F(LameEncTest, XingFrameIsWrittenBehindTheReservedTag) {
  SkipWithoutTools();
  LameRecord vbr;
  vbr.vbr = true;
  vbr.bitRate = 32;
  vbr.maxBitRate = 320;
  const Bytes tag = ReservedTag(2048);
  for (bool abr : {false, true}) {
    SCOPED_TRACE(abr ? "abr" : "vbr");
    vbr.abr = abr;
    const std::string path = dir_.File(abr ? "abr.mp3" : "vbr.mp3");
    Encode(vbr.Bytes331(), 2, 44100, 2.0, path, tag);
    const Bytes bytes = ReadBytes(path);
    ASSERT_GT(bytes.size(), tag.size() + 200);
    EXPECT_TRUE(std::equal(tag.begin(), tag.end(), bytes.begin()));
    // MPEG-1 stereo: the tag follows the 4-byte header and 32 bytes of side information.
    const size_t xing = tag.size() + 36;
    EXPECT_EQ(std::string(bytes.begin() + xing, bytes.begin() + xing + 4), "Xing");
    const uint32_t frames = static_cast<uint32_t>(bytes[xing + 8]) << 24 | bytes[xing + 9] << 16 |
                            bytes[xing + 10] << 8 | bytes[xing + 11];
    EXPECT_GE(frames, 2u * 44100 / 1152);
    // With the LAME tag filled in, a gapless decoder gives back exactly the input.
    EXPECT_EQ(Decoded(path, 2), 2 * 44100);
    EXPECT_NE(Probe(path).find("sample_rate=44100\nchannels=2\n"), std::string::npos);
  }
}

TEST_F(LameEncTest, RefusesWhatItCannotEncodeAndLeavesForeignFilesAlone) {
  unsigned long perChunk = 0, outSize = 0;
  BeStream stream = nullptr;
  LameRecord bad;
  bad.mpegVersion = 0;  // MPEG-2 named with an MPEG-1 rate
  EXPECT_EQ(init_(bad.Bytes331().data(), &perChunk, &outSize, &stream),
            BE_ERR_INVALID_FORMAT_PARAMETERS);
  bad = LameRecord{};
  bad.bitRate = 100;  // not a layer III rate
  EXPECT_EQ(init_(bad.Bytes331().data(), &perChunk, &outSize, &stream),
            BE_ERR_INVALID_FORMAT_PARAMETERS);
  Bytes unknown = LameRecord{}.Bytes331();
  Put32(unknown, 0, 7);
  EXPECT_EQ(init_(unknown.data(), &perChunk, &outSize, &stream), BE_ERR_INVALID_FORMAT);
  EXPECT_EQ(init_(BladeRecord(44100, 4, 128).data(), &perChunk, &outSize, &stream),
            BE_ERR_INVALID_FORMAT_PARAMETERS);

  ASSERT_EQ(init_(LameRecord{}.Bytes331().data(), &perChunk, &outSize, &stream), BE_ERR_SUCCESSFUL);
  std::vector<short> pcm(perChunk + 2);
  Bytes out(outSize);
  unsigned long got = 0;
  EXPECT_EQ(encode_(stream, perChunk + 2, pcm.data(), out.data(), &got), BE_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(encode_(stream, 3, pcm.data(), out.data(), &got), BE_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(deinit_(stream, out.data(), &got), BE_ERR_SUCCESSFUL);
  EXPECT_EQ(close_(stream), BE_ERR_SUCCESSFUL);
  EXPECT_EQ(close_(stream), BE_ERR_INVALID_HANDLE);
  EXPECT_EQ(encode_(stream, 2, pcm.data(), out.data(), &got), BE_ERR_INVALID_HANDLE);

  // The last stream kept no tag frame (constant bit rate): the header call is a no-op.
  const std::string other = dir_.File("other.bin");
  const Bytes text(5000, 'x');
  WriteBytes(other, text);
  EXPECT_EQ(vbrHeader_(other.c_str()), BE_ERR_SUCCESSFUL);
  // After a VBR stream the frame is kept, and a file that does not start with it is refused.
  LameRecord vbr;
  vbr.vbr = true;
  vbr.maxBitRate = 320;
  if (!HasFatalFailure()) Encode(vbr.Bytes331(), 2, 44100, 0.5, dir_.File("short.mp3"));
  EXPECT_EQ(vbrHeader_(other.c_str()), BE_ERR_NO_FRAME);
  EXPECT_EQ(ReadBytes(other), text);
  EXPECT_EQ(vbrHeader_(dir_.File("missing.mp3").c_str()), BE_ERR_FILE);

  BeVersionInfo version{};
  ASSERT_EQ(version_(&version), BE_ERR_SUCCESSFUL);
  EXPECT_EQ(version.encoderMajor, 3);
  EXPECT_EQ(std::string(version.encoderText).rfind("LAME ", 0), 0u);
}

}  // namespace
