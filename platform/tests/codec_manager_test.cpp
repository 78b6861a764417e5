#include <platform/codec_manager.h>
#include <platform/last_error.h>

#include <gtest/gtest.h>
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
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

uint32_t Le32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }

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
    const std::string id(file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at) + 4);
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
    const unsigned long made = stream->Convert(pending.data(), pending.size(), &used,
                                               buffer.data(), buffer.size());
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
        "sine=f=440:r=44100:d=0.6 -filter_complex \"[0]aformat=sample_fmts=" + format +
        ":channel_layouts=stereo[n];[1]aformat=sample_fmts=" + format +
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
      {"u8_ext", "ffmpeg -v error -i " + pcm16 +
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
    Wave ext = ParseWave(ReadFile(files[10].first));
    Bytes plain(ext.format.begin(), ext.format.begin() + 16);
    plain[0] = 1;
    plain[1] = 0;
    files.emplace_back(Path("s24_plain.wav"), kWaveFormatPcm);
    WriteFile(files.back().first, WaveFile(plain, ext.data));
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
    EXPECT_TRUE(diff.first == ours.end())
        << "sample " << diff.first - ours.begin() << " is " << *diff.first << ", sox has "
        << *diff.second;
  }
}

}  // namespace
