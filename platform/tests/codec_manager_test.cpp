#include <gtest/gtest.h>
#include <platform/codec_manager.h>
#include <platform/last_error.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace platform;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<unsigned char>;

bool HaveTool(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

uint32_t Le32(const unsigned char* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24;
}

// The "fmt " chunk as the record the codec manager takes (18 bytes at least, cbSize extra
// bytes after them), and the "data" chunk.
struct Wave {
  Bytes format;
  Bytes data;
  const tWAVEFORMATEX* Format() const {
    return reinterpret_cast<const tWAVEFORMATEX*>(format.data());
  }
};

Wave ParseWave(const Bytes& file) {
  Wave wave;
  for (size_t at = 12; at + 8 <= file.size();) {
    const std::string id(file.begin() + static_cast<long>(at),
                         file.begin() + static_cast<long>(at) + 4);
    const size_t size = std::min<size_t>(Le32(&file[at + 4]), file.size() - at - 8);
    const auto body = file.begin() + static_cast<long>(at + 8);
    if (id == "fmt ") wave.format.assign(body, body + static_cast<long>(size));
    if (id == "data") wave.data.assign(body, body + static_cast<long>(size));
    at += 8 + size + size % 2;
  }
  if (wave.format.size() < sizeof(tWAVEFORMATEX)) wave.format.resize(sizeof(tWAVEFORMATEX), 0);
  return wave;
}

Bytes WaveFile(const Bytes& format, const Bytes& data) {
  Bytes out = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
  auto chunk = [&out](const char* id, const Bytes& body) {
    out.insert(out.end(), id, id + 4);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(body.size() >> (8 * i)));
    out.insert(out.end(), body.begin(), body.end());
    if (body.size() % 2) out.push_back(0);
  };
  chunk("fmt ", format);
  chunk("data", data);
  for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<unsigned char>((out.size() - 8) >> (8 * i));
  return out;
}

// Decodes `data` through a stream opened on the suggested format, feeding it in odd-sized
// pieces into odd-sized room, as a reader that pushes back what was not consumed does.
Bytes Decode(const tWAVEFORMATEX* format, const Bytes& data, size_t piece = 1001,
             size_t room = 4099) {
  tWAVEFORMATEX pcm{};
  EXPECT_EQ(CodecSuggestPcm(format, &pcm), 1);
  auto stream = CodecOpen(format, &pcm);
  if (!stream) {
    ADD_FAILURE() << "no stream, error " << std::hex << last_error();
    return {};
  }
  // The room never fits whole blocks exactly, and always at least one.
  Bytes out, buffer(stream->DestinationSize(stream->SourceBlock()) + room);
  Bytes pending;
  size_t fed = 0;
  while (true) {
    const size_t more = std::min(piece, data.size() - fed);
    pending.insert(pending.end(), data.begin() + static_cast<long>(fed),
                   data.begin() + static_cast<long>(fed + more));
    fed += more;
    unsigned long used = 0;
    const unsigned long made =
        stream->Convert(pending.data(), pending.size(), &used, buffer.data(), buffer.size());
    EXPECT_EQ(used % stream->SourceBlock(), 0u);
    EXPECT_EQ(made, stream->DestinationSize(used));
    out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<long>(made));
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(used));
    if (used == 0 && fed == data.size()) break;
  }
  EXPECT_LT(pending.size(), stream->SourceBlock()) << "whole blocks left undecoded";
  return out;
}

std::vector<int16_t> Samples(const Bytes& bytes) {
  std::vector<int16_t> out(bytes.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
  }
  return out;
}

class CodecManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "codec-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::string Path(const std::string& name) const { return (fs::path(dir_) / name).string(); }

  void Run(const std::string& command) {
    ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
  }

  // 1.3 s of stereo at 44.1 kHz as float, 32 or 64 bits: quiet noise (values finer than 16
  // bits), then a sine 3.5 dB above full scale (values that clip).
  std::string FloatSource(int bits) {
    const std::string path = Path("source" + std::to_string(bits) + ".wav");
    const std::string format = bits == 32 ? "flt" : "dbl";
    Run("ffmpeg -v error -y -f lavfi -i anoisesrc=d=0.7:c=white:a=0.004:r=44100 -f lavfi -i "
        "sine=f=440:r=44100:d=0.6 -filter_complex \"[0]aformat=sample_fmts=" +
        format + ":channel_layouts=stereo[n];[1]aformat=sample_fmts=" + format +
        ":channel_layouts=stereo,volume=1.5[s];[n][s]concat=n=2:v=0:a=1\" -c:a pcm_f" +
        std::to_string(bits) + "le " + path);
    return path;
  }

  // What sox makes of `path` when it writes 16 bits without dither.
  std::vector<int16_t> SoxDecode(const std::string& path) {
    const std::string raw = path + ".raw";
    Run("sox -D " + path + " -b 16 -e signed -t raw " + raw);
    return Samples(ReadFile(raw));
  }

  std::string dir_;
};

TEST_F(CodecManagerTest, DecodesEveryFormatAsSoxDoes) {
  if (!HaveTool("sox") || !HaveTool("ffmpeg")) GTEST_SKIP() << "sox and ffmpeg make the files";
  const std::string source = FloatSource(32);
  const std::string source64 = FloatSource(64);
  const std::string pcm16 = Path("pcm16.wav");
  Run("sox -D " + source + " -b 16 " + pcm16);
  const std::string mono16 = Path("mono16.wav");
  Run("sox " + pcm16 + " -c 1 " + mono16);

  struct Case {
    const char* name;
    std::string command;  // makes the file at %s
    uint16_t tag;         // as the "fmt " chunk says it
  };
  const std::vector<Case> cases = {
      {"ima_sox", "sox " + mono16 + " -e ima-adpcm %s", kWaveFormatImaAdpcm},
      {"ima_ffmpeg", "ffmpeg -v error -i " + pcm16 + " -c:a adpcm_ima_wav %s", kWaveFormatImaAdpcm},
      {"ms_sox", "sox " + pcm16 + " -e ms-adpcm %s", kWaveFormatAdpcm},
      {"ms_ffmpeg", "ffmpeg -v error -i " + mono16 + " -c:a adpcm_ms %s", kWaveFormatAdpcm},
      {"alaw", "sox " + pcm16 + " -e a-law %s", kWaveFormatAlaw},
      {"mulaw", "ffmpeg -v error -i " + pcm16 + " -c:a pcm_mulaw %s", kWaveFormatMulaw},
      {"float32", "sox " + source + " -e floating-point -b 32 %s", kWaveFormatIeeeFloat},
      {"float64", "sox " + source + " -e floating-point -b 64 %s", kWaveFormatIeeeFloat},
      {"float32_ext", "cp " + source + " %s", kWaveFormatExtensible},
      {"float64_ext", "cp " + source64 + " %s", kWaveFormatExtensible},
      {"s24_ext", "ffmpeg -v error -i " + source + " -c:a pcm_s24le %s", kWaveFormatExtensible},
      {"s32_ext", "sox -D " + source + " -e signed -b 32 %s", kWaveFormatExtensible},
      {"u8_ext",
       "ffmpeg -v error -i " + pcm16 +
           " -af channelmap=map=0-FC\\|1-LFE:channel_layout=FC+LFE -c:a pcm_u8 %s",
       kWaveFormatExtensible},
  };
  std::vector<std::pair<std::string, uint16_t>> files;
  for (const Case& c : cases) {
    std::string command = c.command;
    const std::string path = Path(std::string(c.name) + ".wav");
    command.replace(command.find("%s"), 2, path);
    Run(command);
    files.emplace_back(path, c.tag);
  }
  // Linear PCM of 24 bits under tag 1: the extensible file's samples behind a plain header.
  {
    Wave ext = ParseWave(ReadFile(Path("s24_ext.wav")));
    Bytes plain(ext.format.begin(), ext.format.begin() + 16);
    plain[0] = 1;
    plain[1] = 0;
    files.emplace_back(Path("s24_plain.wav"), kWaveFormatPcm);
    WriteFile(files.back().first, WaveFile(plain, ext.data));
  }
  // Floats where the roundings part: halfway between two 16-bit steps and a 2^-31 either side
  // of it, near 0 and near full scale, and beyond full scale.
  for (int bytes : {4, 8}) {
    Bytes data;
    auto put = [&data, bytes](double x) {
      uint64_t bits = 0;
      if (bytes == 4) {
        const float f = static_cast<float>(x);
        uint32_t b32;
        std::memcpy(&b32, &f, 4);
        bits = b32;
      } else {
        std::memcpy(&bits, &x, 8);
      }
      for (int i = 0; i < bytes; ++i) data.push_back(static_cast<unsigned char>(bits >> (8 * i)));
    };
    for (int step : {-32768, -32767, -3, -1, 0, 1, 2, 32766, 32767}) {
      for (double delta : {-1.0, -0.75, -0.5, -0.25, 0.0, 0.25, 0.5, 0.75, 1.0}) {
        put((step * 65536.0 + 32768.0 + delta) / 2147483648.0);
      }
    }
    for (double x : {1.0, -1.0, 1.0000001, -1.0000001, 2.0, -2.0, 1e-12, -1e-12}) put(x);
    Bytes format = {3,
                    0,
                    1,
                    0,
                    0x44,
                    0xAC,
                    0,
                    0,
                    0,
                    0,
                    0,
                    0,
                    static_cast<unsigned char>(bytes),
                    0,
                    static_cast<unsigned char>(8 * bytes),
                    0,
                    0,
                    0};
    files.emplace_back(Path("float_edges" + std::to_string(bytes) + ".wav"), kWaveFormatIeeeFloat);
    WriteFile(files.back().first, WaveFile(format, data));
  }

  for (const auto& [path, tag] : files) {
    SCOPED_TRACE(path);
    const Wave wave = ParseWave(ReadFile(path));
    ASSERT_EQ(wave.Format()->wFormatTag, tag);
    EXPECT_EQ(CodecDriverInstalled(wave.Format()), 1);
    const std::vector<int16_t> ours = Samples(Decode(wave.Format(), wave.data));
    const std::vector<int16_t> sox = SoxDecode(path);
    // Whole blocks only: the samples of an ADPCM file's last, partial block are left out.
    const bool adpcm = tag == kWaveFormatImaAdpcm || tag == kWaveFormatAdpcm;
    const size_t leftOut = adpcm ? (wave.format[18] | wave.format[19] << 8) : 1;
    ASSERT_LE(ours.size(), sox.size());
    EXPECT_LT(sox.size() - ours.size(), leftOut * wave.Format()->nChannels);
    const auto diff = std::mismatch(ours.begin(), ours.end(), sox.begin());
    EXPECT_TRUE(diff.first == ours.end()) << "sample " << diff.first - ours.begin() << " is "
                                          << *diff.first << ", sox has " << *diff.second;
  }
}

double Rms(const std::vector<int16_t>& samples, size_t channel, size_t skipFrames) {
  double sum = 0;
  size_t count = 0;
  for (size_t i = skipFrames * 2 + channel; i < samples.size(); i += 2, ++count) {
    sum += static_cast<double>(samples[i]) * samples[i];
  }
  return std::sqrt(sum / std::max<size_t>(count, 1));
}

TEST_F(CodecManagerTest, HalvesNinetySixKilohertzThroughALowPass) {
  if (!HaveTool("sox")) GTEST_SKIP() << "sox makes the file";
  // Left a 1 kHz tone, right a 30 kHz one, which 48 kHz cannot hold and must not fold to 18 kHz.
  const std::string path = Path("hi.wav");
  Run("sox -r 96000 -c 2 -n -b 16 " + path + " synth 1 sine 1000 sine 30000 vol 0.5");
  const Wave wave = ParseWave(ReadFile(path));
  tWAVEFORMATEX pcm{};
  ASSERT_EQ(CodecSuggestPcm(wave.Format(), &pcm), 1);
  EXPECT_EQ(pcm.nSamplesPerSec, 48000u);
  EXPECT_EQ(pcm.nBlockAlign, 4);
  EXPECT_EQ(pcm.nAvgBytesPerSec, 192000u);

  const std::vector<int16_t> in = Samples(wave.data);
  const Bytes whole = Decode(wave.Format(), wave.data, wave.data.size());
  const std::vector<int16_t> out = Samples(whole);
  ASSERT_EQ(out.size(), in.size() / 2);
  const size_t settled = 200;  // output frames until the filter has filled
  EXPECT_NEAR(Rms(out, 0, settled) / Rms(in, 0, 2 * settled), 1.0, 0.01);  // within 0.1 dB
  EXPECT_LT(Rms(out, 1, settled), Rms(in, 1, 2 * settled) * std::pow(10.0, -50.0 / 20));

  // The filter's history carries from call to call: pieces give the same bytes as one call.
  EXPECT_EQ(Decode(wave.Format(), wave.data, 999, 301), whole);

  // After Reset a stream decodes from any block as a fresh stream does.
  auto stream = CodecOpen(wave.Format(), &pcm);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->SourceBlock(), 8u);
  Bytes first(4000), again(4000);
  unsigned long used = 0;
  stream->Convert(wave.data.data(), 8000, &used, first.data(), first.size());
  stream->Reset();
  const unsigned long made =
      stream->Convert(wave.data.data() + 800, 8000, &used, again.data(), again.size());
  auto fresh = CodecOpen(wave.Format(), &pcm);
  Bytes expected(4000);
  fresh->Convert(wave.data.data() + 800, 8000, &used, expected.data(), expected.size());
  EXPECT_EQ(made, 4000u);
  EXPECT_EQ(again, expected);
}

// A record with its extra bytes, as the "fmt " chunk holds them.
struct FormatBytes {
  FormatBytes(uint16_t tag, uint16_t channels, uint16_t align, uint16_t bits,
              std::vector<uint16_t> extra = {}) {
    bytes.resize(18 + 2 * extra.size());
    tWAVEFORMATEX f{
        tag, channels, 44100, 44100u * align, align, bits, static_cast<uint16_t>(2 * extra.size())};
    std::memcpy(bytes.data(), &f, sizeof f);
    for (size_t i = 0; i < extra.size(); ++i) {
      bytes[18 + 2 * i] = static_cast<unsigned char>(extra[i]);
      bytes[19 + 2 * i] = static_cast<unsigned char>(extra[i] >> 8);
    }
  }
  tWAVEFORMATEX* get() { return reinterpret_cast<tWAVEFORMATEX*>(bytes.data()); }
  std::vector<unsigned char> bytes;
};

std::vector<uint16_t> MsExtra(uint16_t samplesPerBlock, uint16_t pairs, size_t given) {
  const uint16_t table[14] = {256, 0, 512, 0xFF00, 0, 0, 192, 64, 240, 0, 460, 0xFF30, 392, 0xFF18};
  std::vector<uint16_t> extra = {samplesPerBlock, pairs};
  for (size_t i = 0; i < given; ++i) extra.push_back(table[i % 14]);
  return extra;
}

TEST(CodecManager, RefusesDamagedFormatsWithTheirCodes) {
  struct Case {
    const char* what;
    FormatBytes format;
    uint32_t code;
  };
  std::vector<Case> cases = {
      {"unknown tag", FormatBytes(kWaveFormatMpegLayer3, 2, 1, 0), kCodecErrNoDriver},
      {"three channels", FormatBytes(kWaveFormatPcm, 3, 9, 24), kCodecErrNoDriver},
      {"no channels", FormatBytes(kWaveFormatPcm, 0, 3, 24), kCodecErrBadFormat},
      {"zero block align", FormatBytes(kWaveFormatImaAdpcm, 1, 0, 4, {505}), kCodecErrBadFormat},
      {"24 bits in 4 bytes", FormatBytes(kWaveFormatPcm, 1, 4, 24), kCodecErrBadFormat},
      {"16-bit float", FormatBytes(kWaveFormatIeeeFloat, 1, 2, 16), kCodecErrNoDriver},
      {"IMA block within its header", FormatBytes(kWaveFormatImaAdpcm, 2, 8, 4, {1}),
       kCodecErrBadFormat},
      {"IMA samples per block off", FormatBytes(kWaveFormatImaAdpcm, 2, 512, 4, {504}),
       kCodecErrBadFormat},
      {"IMA without samples per block", FormatBytes(kWaveFormatImaAdpcm, 1, 256, 4),
       kCodecErrBadFormat},
      {"MS without a table", FormatBytes(kWaveFormatAdpcm, 1, 256, 4, {500}), kCodecErrBadFormat},
      {"MS table shorter than said", FormatBytes(kWaveFormatAdpcm, 1, 256, 4, MsExtra(500, 7, 13)),
       kCodecErrBadFormat},
      {"MS with three pairs", FormatBytes(kWaveFormatAdpcm, 1, 256, 4, MsExtra(500, 3, 6)),
       kCodecErrBadFormat},
      {"MS block within its header", FormatBytes(kWaveFormatAdpcm, 1, 6, 4, MsExtra(2, 7, 14)),
       kCodecErrBadFormat},
      {"MS more samples than fit", FormatBytes(kWaveFormatAdpcm, 1, 256, 4, MsExtra(501, 7, 14)),
       kCodecErrBadFormat},
      {"extensible cut short", FormatBytes(kWaveFormatExtensible, 2, 6, 24, {24, 3, 0, 1, 0}),
       kCodecErrBadFormat},
      {"extensible of another kind",
       FormatBytes(kWaveFormatExtensible, 2, 6, 24,
                   {24, 3, 0, 0x55, 0, 0, 0x10, 0x80, 0xAA00, 0x3800, 0x719B}),
       kCodecErrNoDriver},
      {"extensible valid bits beyond container",
       FormatBytes(kWaveFormatExtensible, 2, 4, 16,
                   {20, 3, 0, 1, 0, 0, 0x10, 0x80, 0xAA00, 0x3800, 0x719B}),
       kCodecErrBadFormat},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    tWAVEFORMATEX pcm{};
    clear_last_error();
    EXPECT_EQ(CodecSuggestPcm(c.format.get(), &pcm), 0);
    EXPECT_EQ(last_error(), c.code);
    clear_last_error();
    EXPECT_EQ(CodecOpen(c.format.get(), &pcm), nullptr);
    EXPECT_EQ(last_error(), c.code);
    // A damaged format of a family we decode still has its driver.
    EXPECT_EQ(CodecDriverInstalled(c.format.get()), c.code == kCodecErrBadFormat ? 1 : 0);
  }

  // The same formats in order decode.
  FormatBytes ms(kWaveFormatAdpcm, 1, 256, 4, MsExtra(500, 7, 14));
  FormatBytes extensible(kWaveFormatExtensible, 2, 6, 24,
                         {20, 3, 0, 1, 0, 0, 0x10, 0x80, 0xAA00, 0x3800, 0x719B});
  tWAVEFORMATEX pcm{};
  EXPECT_EQ(CodecSuggestPcm(ms.get(), &pcm), 1);
  EXPECT_EQ(CodecSuggestPcm(extensible.get(), &pcm), 1);
  // Only the suggested format opens a stream.
  tWAVEFORMATEX eight = PcmFormat(44100, 2, 8);
  clear_last_error();
  EXPECT_EQ(CodecOpen(extensible.get(), &eight), nullptr);
  EXPECT_EQ(last_error(), kCodecErrBadFormat);
  EXPECT_STREQ(CodecFormatTagName(kWaveFormatImaAdpcm), "IMA ADPCM");
  EXPECT_STREQ(CodecFormatTagName(kWaveFormatMpegLayer3), "");
}

TEST(CodecManager, SizesAndConvertsWholeBlocksOnly) {
  // IMA stereo, 512-byte blocks of 505 frames; at 96 kHz two blocks make a whole output frame
  // count.
  for (uint32_t rate : {44100u, 96000u}) {
    SCOPED_TRACE(rate);
    FormatBytes ima(kWaveFormatImaAdpcm, 2, 512, 4, {505});
    ima.get()->nSamplesPerSec = rate;
    tWAVEFORMATEX pcm{};
    ASSERT_EQ(CodecSuggestPcm(ima.get(), &pcm), 1);
    auto stream = CodecOpen(ima.get(), &pcm);
    ASSERT_NE(stream, nullptr);
    const unsigned long block = rate == 44100 ? 512 : 1024;
    const unsigned long out = 505 * 4 * (block / 512) / (rate == 44100 ? 1 : 2);
    EXPECT_EQ(stream->SourceBlock(), block);
    EXPECT_EQ(stream->DestinationSize(3 * block + block - 1), 3 * out);
    EXPECT_EQ(stream->SourceSize(0), 0u);
    EXPECT_EQ(stream->SourceSize(1), block);
    EXPECT_EQ(stream->SourceSize(out), block);
    EXPECT_EQ(stream->SourceSize(out + 1), 2 * block);

    // Less than a block, or less room than a block's output: nothing consumed, nothing made.
    std::vector<unsigned char> source(4 * block, 0), room(8 * out);
    unsigned long used = 99;
    EXPECT_EQ(stream->Convert(source.data(), block - 1, &used, room.data(), room.size()), 0u);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(stream->Convert(source.data(), source.size(), &used, room.data(), out - 1), 0u);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(stream->Convert(source.data(), source.size(), &used, room.data(), 2 * out + 1),
              2 * out);
    EXPECT_EQ(used, 2 * block);
  }
}

}  // namespace
