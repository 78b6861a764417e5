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

// A format record followed by its extra bytes, as a "fmt " chunk holds them.
Bytes Record(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t align, uint16_t bits,
             const std::vector<uint16_t>& extra = {}) {
  const tWAVEFORMATEX f{
      tag, channels, rate, rate * align, align, bits, static_cast<uint16_t>(2 * extra.size())};
  Bytes out(reinterpret_cast<const unsigned char*>(&f),
            reinterpret_cast<const unsigned char*>(&f) + sizeof f);
  for (uint16_t v : extra)
    out.insert(out.end(), {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)});
  return out;
}

const tWAVEFORMATEX* As(const Bytes& record) {
  return reinterpret_cast<const tWAVEFORMATEX*>(record.data());
}

// The "fmt " chunk as a record (a 16-byte chunk gets cbSize 0) and the "data" chunk.
struct Wave {
  Bytes format;
  Bytes data;
};

Wave ParseWave(const std::string& path) {
  const Bytes file = ReadFile(path);
  Wave wave;
  for (size_t at = 12; at + 8 <= file.size();) {
    const std::string id(file.begin() + static_cast<long>(at),
                         file.begin() + static_cast<long>(at) + 4);
    const uint32_t declared = file[at + 4] | file[at + 5] << 8 | file[at + 6] << 16 |
                              static_cast<uint32_t>(file[at + 7]) << 24;
    const size_t size = std::min<size_t>(declared, file.size() - at - 8);
    const auto body = file.begin() + static_cast<long>(at + 8);
    if (id == "fmt ") wave.format.assign(body, body + static_cast<long>(size));
    if (id == "data") wave.data.assign(body, body + static_cast<long>(size));
    at += 8 + size + size % 2;
  }
  wave.format.resize(std::max(wave.format.size(), sizeof(tWAVEFORMATEX)), 0);
  return wave;
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
  Bytes out, buffer(stream->DestinationSize(stream->SourceBlock()) + room), pending;
  for (size_t fed = 0;;) {
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
    if (!HaveTool("sox") || !HaveTool("ffmpeg")) GTEST_SKIP() << "sox and ffmpeg make the files";
    std::string pattern = (fs::temp_directory_path() / "codec-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    if (!dir_.empty()) fs::remove_all(dir_, ignored);
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

  // What sox makes of `input` (a path, or options and a path) when it writes 16 bits without
  // dither.
  std::vector<int16_t> SoxDecode(const std::string& input) {
    const std::string raw = Path("sox.raw");
    Run("sox -D " + input + " -b 16 -e signed -t raw " + raw);
    return Samples(ReadFile(raw));
  }

  // Decodes and compares with sox; an ADPCM file's last, partial block (of up to `leftOut`
  // frames) is left to the caller.
  void ExpectLikeSox(const Bytes& format, const Bytes& data, const std::string& soxInput,
                     size_t leftOut = 1) {
    const std::vector<int16_t> ours = Samples(Decode(As(format), data));
    const std::vector<int16_t> sox = SoxDecode(soxInput);
    ASSERT_LE(ours.size(), sox.size());
    EXPECT_LT(sox.size() - ours.size(), leftOut * As(format)->nChannels);
    const auto diff = std::mismatch(ours.begin(), ours.end(), sox.begin());
    EXPECT_TRUE(diff.first == ours.end()) << "sample " << diff.first - ours.begin() << " is "
                                          << *diff.first << ", sox has " << *diff.second;
  }

  std::string dir_;
};

TEST_F(CodecManagerTest, DecodesEveryFormatAsSoxDoes) {
  const std::string source = FloatSource(32), pcm16 = Path("pcm16.wav"), mono = Path("mono.wav");
  Run("sox -D " + source + " -b 16 " + pcm16);
  Run("sox " + pcm16 + " -c 1 " + mono);
  const std::string ff = "ffmpeg -v error -i ";
  const std::vector<std::pair<std::string, uint16_t>> cases = {
      {"sox " + mono + " -e ima-adpcm", kWaveFormatImaAdpcm},
      {ff + pcm16 + " -c:a adpcm_ima_wav", kWaveFormatImaAdpcm},
      {"sox " + pcm16 + " -e ms-adpcm", kWaveFormatAdpcm},
      {ff + mono + " -c:a adpcm_ms", kWaveFormatAdpcm},
      {"sox " + pcm16 + " -e a-law", kWaveFormatAlaw},
      {ff + pcm16 + " -c:a pcm_mulaw", kWaveFormatMulaw},
      {"sox " + source + " -e floating-point -b 32", kWaveFormatIeeeFloat},
      {"sox " + source + " -e floating-point -b 64", kWaveFormatIeeeFloat},
      {"cp " + source, kWaveFormatExtensible},
      {"cp " + FloatSource(64), kWaveFormatExtensible},
      {ff + source + " -c:a pcm_s24le", kWaveFormatExtensible},
      {"sox -D " + source + " -e signed -b 32", kWaveFormatExtensible},
      {ff + pcm16 + " -af channelmap=map=0-FC\\|1-LFE:channel_layout=FC+LFE -c:a pcm_u8",
       kWaveFormatExtensible},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const std::string path = Path("case" + std::to_string(i) + ".wav");
    SCOPED_TRACE(cases[i].first);
    Run(cases[i].first + " " + path);
    const Wave wave = ParseWave(path);
    ASSERT_EQ(As(wave.format)->wFormatTag, cases[i].second);
    EXPECT_EQ(CodecDriverInstalled(As(wave.format)), 1);
    const bool adpcm =
        cases[i].second == kWaveFormatImaAdpcm || cases[i].second == kWaveFormatAdpcm;
    ExpectLikeSox(wave.format, wave.data, path, adpcm ? wave.format[18] | wave.format[19] << 8 : 1);
    if (i == 10) {
      // The same 24-bit samples under tag 1, as a 16-byte "fmt " chunk gives them.
      Bytes plain(wave.format.begin(), wave.format.begin() + 18);
      plain[0] = 1, plain[1] = 0, plain[16] = 0, plain[17] = 0;
      ExpectLikeSox(plain, wave.data, path);
    }
  }

  // Floats where the roundings part: halfway between two 16-bit steps and a little either side,
  // near 0 and near full scale, and beyond full scale.
  for (int bytes : {4, 8}) {
    SCOPED_TRACE(bytes);
    Bytes data;
    auto put = [&data](const void* value, int size) {
      data.insert(data.end(), static_cast<const unsigned char*>(value),
                  static_cast<const unsigned char*>(value) + size);
    };
    std::vector<double> values = {1.0, -1.0, 1.0000001, -1.0000001, 2.0, -2.0, 1e-12, -1e-12};
    for (int step : {-32768, -32767, -3, -1, 0, 1, 2, 32766, 32767}) {
      for (double delta = -1.0; delta <= 1.0; delta += 0.25) {
        values.push_back((step * 65536.0 + 32768.0 + delta) / 2147483648.0);
      }
    }
    for (double x : values) {
      const float f = static_cast<float>(x);
      bytes == 4 ? put(&f, 4) : put(&x, 8);
    }
    const std::string path = Path("edges.raw");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
    ExpectLikeSox(Record(kWaveFormatIeeeFloat, 1, 44100, static_cast<uint16_t>(bytes),
                         static_cast<uint16_t>(8 * bytes)),
                  data, "-t f" + std::to_string(8 * bytes) + " -r 44100 -c 1 " + path);
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
  // Left a 1 kHz tone, right a 30 kHz one, which 48 kHz cannot hold and must not fold to 18 kHz.
  const std::string path = Path("hi.wav");
  Run("sox -r 96000 -c 2 -n -b 16 " + path + " synth 1 sine 1000 sine 30000 vol 0.5");
  const Wave wave = ParseWave(path);
  tWAVEFORMATEX pcm{};
  ASSERT_EQ(CodecSuggestPcm(As(wave.format), &pcm), 1);
  EXPECT_EQ(std::memcmp(&pcm, As(Record(kWaveFormatPcm, 2, 48000, 4, 16)), sizeof pcm), 0);

  const std::vector<int16_t> in = Samples(wave.data);
  const Bytes whole = Decode(As(wave.format), wave.data, wave.data.size());
  const std::vector<int16_t> out = Samples(whole);
  ASSERT_EQ(out.size(), in.size() / 2);
  const size_t settled = 200;  // output frames until the filter has filled
  EXPECT_NEAR(Rms(out, 0, settled) / Rms(in, 0, 2 * settled), 1.0, 0.01);  // within 0.1 dB
  EXPECT_LT(Rms(out, 1, settled), Rms(in, 1, 2 * settled) * std::pow(10.0, -50.0 / 20));

  // The filter's history carries from call to call: pieces give the same bytes as one call.
  EXPECT_EQ(Decode(As(wave.format), wave.data, 999, 301), whole);

  // After Reset a stream decodes from any block as a fresh stream does.
  auto stream = CodecOpen(As(wave.format), &pcm);
  auto fresh = CodecOpen(As(wave.format), &pcm);
  ASSERT_TRUE(stream && fresh);
  EXPECT_EQ(stream->SourceBlock(), 8u);
  Bytes first(4000), again(4000), expected(4000);
  unsigned long used = 0;
  stream->Convert(wave.data.data(), 8000, &used, first.data(), first.size());
  stream->Reset();
  EXPECT_EQ(stream->Convert(wave.data.data() + 800, 8000, &used, again.data(), 4000), 4000u);
  fresh->Convert(wave.data.data() + 800, 8000, &used, expected.data(), expected.size());
  EXPECT_EQ(again, expected);
}

// Microsoft ADPCM's extra bytes: samples per block, the number of coefficient pairs and
// `given` coefficients of the standard table.
std::vector<uint16_t> MsExtra(uint16_t samplesPerBlock, uint16_t pairs, size_t given) {
  const uint16_t table[14] = {256, 0, 512, 0xFF00, 0, 0, 192, 64, 240, 0, 460, 0xFF30, 392, 0xFF18};
  std::vector<uint16_t> extra = {samplesPerBlock, pairs};
  extra.insert(extra.end(), table, table + given);
  return extra;
}

TEST(CodecManager, RefusesDamagedFormatsWithTheirCodes) {
  const std::vector<uint16_t> pcmGuid = {0, 0, 0x10, 0x80, 0xAA00, 0x3800, 0x719B};
  auto extensible = [&pcmGuid](uint16_t valid, uint16_t subFormat, size_t guidWords) {
    std::vector<uint16_t> extra = {valid, 3, 0, subFormat};
    extra.insert(extra.end(), pcmGuid.begin(), pcmGuid.begin() + static_cast<long>(guidWords));
    return extra;
  };
  const uint16_t ima = kWaveFormatImaAdpcm, ms = kWaveFormatAdpcm;
  const std::vector<std::pair<Bytes, uint32_t>> cases = {
      {Record(kWaveFormatMpegLayer3, 2, 44100, 1, 0), kCodecErrNoDriver},
      {Record(kWaveFormatPcm, 3, 44100, 9, 24), kCodecErrNoDriver},
      {Record(kWaveFormatPcm, 2, 800000, 6, 24), kCodecErrNoDriver},
      {Record(kWaveFormatIeeeFloat, 1, 44100, 2, 16), kCodecErrNoDriver},
      {Record(kWaveFormatExtensible, 2, 44100, 6, 24, extensible(24, 0x55, 7)), kCodecErrNoDriver},
      {Record(kWaveFormatPcm, 0, 44100, 3, 24), kCodecErrBadFormat},
      {Record(kWaveFormatPcm, 1, 0, 3, 24), kCodecErrBadFormat},
      {Record(kWaveFormatPcm, 1, 44100, 4, 24), kCodecErrBadFormat},
      {Record(ima, 1, 44100, 0, 4, {505}), kCodecErrBadFormat},
      {Record(ima, 2, 44100, 8, 4, {1}), kCodecErrBadFormat},      // block is all header
      {Record(ima, 2, 44100, 512, 4, {504}), kCodecErrBadFormat},  // samples per block off
      {Record(ima, 1, 44100, 256, 4), kCodecErrBadFormat},         // no samples per block
      {Record(ms, 1, 44100, 256, 4, {500}), kCodecErrBadFormat},   // no coefficient table
      {Record(ms, 1, 44100, 256, 4, MsExtra(500, 7, 13)), kCodecErrBadFormat},
      {Record(ms, 1, 44100, 256, 4, MsExtra(500, 3, 6)), kCodecErrBadFormat},
      {Record(ms, 1, 44100, 6, 4, MsExtra(2, 7, 14)), kCodecErrBadFormat},
      {Record(ms, 1, 44100, 256, 4, MsExtra(501, 7, 14)), kCodecErrBadFormat},
      {Record(kWaveFormatExtensible, 2, 44100, 6, 24, extensible(24, 1, 1)), kCodecErrBadFormat},
      {Record(kWaveFormatExtensible, 2, 44100, 4, 16, extensible(20, 1, 7)), kCodecErrBadFormat},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    const tWAVEFORMATEX* format = As(cases[i].first);
    tWAVEFORMATEX pcm{};
    clear_last_error();
    EXPECT_EQ(CodecSuggestPcm(format, &pcm), 0);
    EXPECT_EQ(last_error(), cases[i].second);
    clear_last_error();
    EXPECT_EQ(CodecOpen(format, &pcm), nullptr);
    EXPECT_EQ(last_error(), cases[i].second);
    // A damaged format of a family we decode still has its driver.
    EXPECT_EQ(CodecDriverInstalled(format), cases[i].second == kCodecErrBadFormat ? 1 : 0);
  }

  // The same formats in order decode, and only to the suggested format.
  tWAVEFORMATEX pcm{};
  EXPECT_EQ(CodecSuggestPcm(As(Record(ms, 1, 44100, 256, 4, MsExtra(500, 7, 14))), &pcm), 1);
  const Bytes good = Record(kWaveFormatExtensible, 2, 44100, 6, 24, extensible(20, 1, 7));
  EXPECT_EQ(CodecSuggestPcm(As(good), &pcm), 1);
  const tWAVEFORMATEX eight = PcmFormat(44100, 2, 8);
  clear_last_error();
  EXPECT_EQ(CodecOpen(As(good), &eight), nullptr);
  EXPECT_EQ(last_error(), kCodecErrBadFormat);
  EXPECT_STREQ(CodecFormatTagName(kWaveFormatImaAdpcm), "IMA ADPCM");
  EXPECT_STREQ(CodecFormatTagName(kWaveFormatMpegLayer3), "");
}

TEST(CodecManager, SizesAndConvertsWholeBlocksOnly) {
  // IMA stereo, 512-byte blocks of 505 frames; halving 96 kHz takes two blocks at a time.
  for (uint32_t rate : {44100u, 96000u}) {
    SCOPED_TRACE(rate);
    const Bytes ima = Record(kWaveFormatImaAdpcm, 2, rate, 512, 4, {505});
    tWAVEFORMATEX pcm{};
    ASSERT_EQ(CodecSuggestPcm(As(ima), &pcm), 1);
    auto stream = CodecOpen(As(ima), &pcm);
    ASSERT_NE(stream, nullptr);
    const unsigned long block = rate == 44100 ? 512 : 1024, out = 505 * 4;
    EXPECT_EQ(stream->SourceBlock(), block);
    EXPECT_EQ(stream->DestinationSize(3 * block + block - 1), 3 * out);
    EXPECT_EQ(stream->SourceSize(0), 0u);
    EXPECT_EQ(stream->SourceSize(1), block);
    EXPECT_EQ(stream->SourceSize(out), block);
    EXPECT_EQ(stream->SourceSize(out + 1), 2 * block);

    // Less than a block, or less room than a block's output: nothing consumed, nothing made.
    const Bytes source(4 * block, 0);
    Bytes room(8 * out);
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
