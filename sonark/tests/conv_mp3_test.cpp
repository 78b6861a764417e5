#include <gtest/gtest.h>
#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/export/conv_file_format.h>
#include <sonark/export/conv_mp3.h>
#include <sonark/export/mp3_encoders.h>
#include <sonark/load/id3_tag.h>
#include <sonark/load/music_info.h>
#include <sonark/mixer/pcm_mixer.h>
#include <sonark/model/sound_group.h>
#include <sonark/tests/mixer_test_support.h>
#include <tarnell/ref_ptr.h>
#include <tarnell/tests/temp_dir.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "wave_test_support.h"

namespace {

using wave_test::Bytes;
using wave_test::HaveTool;
using wave_test::Output;
using wave_test::ReadFile;

const std::string kEncoders = TEST_ENCODERS_DIR;

// Where the build puts liblame_enc.so: beside the test binary.
std::string BinFolder() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  std::string self(path, static_cast<size_t>(n));
  return self.substr(0, self.rfind('/'));
}

// Each test starts from a search of `folder` alone, and leaves the engine's normal search.
struct EncoderFolder {
  explicit EncoderFolder(const std::string& folder) {
    sonark::internal::SetMP3EncoderFolder(folder.c_str());
  }
  ~EncoderFolder() { sonark::internal::SetMP3EncoderFolder(nullptr); }
};

CConv2FileFormat Mp3Format(uint32_t rate, int mode, uint32_t kbps) {
  CConv2FileFormat format(kWaveFormatMpegLayer3);
  format.nSamplesPerSec = rate;
  format.mode = mode;
  format.nChannels = mode == 3 ? 1 : 2;
  format.bitrate = kbps;
  format.CalcBlockAlignNAvgBytesPerSec();
  return format;
}

// Encodes `samples` (16-bit, interleaved) through `converter` in blocks of its size, as the
// export does; false at the first refusal.
bool Encode(CConv2MP3& converter, const std::string& path, CConv2FileFormat& format,
            const std::vector<int16_t>& samples, TMusicInfo* info) {
  tWAVEFORMATEX pcm = PcmFormat(format.nSamplesPerSec, format.mode == 3 ? 1 : 2, 16);
  CConv2FileFormat target(kWaveFormatMpegLayer3);
  converter.GetTargetFormat(&target, &format, &pcm, info, nullptr);
  pcm = PcmFormat(target.nSamplesPerSec, target.mode == 3 ? 1 : 2, 16);
  if (!converter.Create(path.c_str(), &target, &pcm) || converter.ReserveTagSpace() < 0) {
    return false;
  }
  const long block = converter.GetDesiredBufferSize();
  const auto* bytes = reinterpret_cast<const unsigned char*>(samples.data());
  const long total = static_cast<long>(samples.size() * 2);
  for (long at = 0; at < total; at += block) {
    long taken = 0;
    const long count = std::min(block, total - at);
    if (converter.WriteStreamData(const_cast<unsigned char*>(bytes + at), count, &taken) < 0 ||
        taken != count) {
      return false;
    }
  }
  int ok = 0;
  if (converter.EndWriteStream() < 0 || converter.FinalData(path.c_str(), "", &ok, info) < 0 ||
      !ok) {
    return false;
  }
  converter.Close();
  return converter.WriteTag(path.c_str(), "Tessel test", nullptr, info, nullptr) >= 0;
}

// mpg123's decode of `path` as 16-bit samples at the file's own rate and channels.
std::vector<int16_t> Decode(const std::string& path) {
  const std::string raw = path + ".raw";
  std::vector<int16_t> out;
  if (std::system(("mpg123 -q -s '" + path + "' > '" + raw + "' 2>/dev/null").c_str()) != 0) {
    return out;
  }
  const Bytes bytes = ReadFile(raw);
  out.resize(bytes.size() / 2);
  std::memcpy(out.data(), bytes.data(), out.size() * 2);
  return out;
}

// A stereo sweep from 100 Hz to 8 kHz at half scale, the right channel a quarter turn later.
std::vector<int16_t> Sweep(long frames, uint32_t rate) {
  std::vector<int16_t> s(static_cast<size_t>(frames) * 2);
  double phase = 0;
  for (long i = 0; i < frames; ++i) {
    const double f = 100.0 * std::pow(80.0, static_cast<double>(i) / frames);
    phase += 2 * M_PI * f / rate;
    s[2 * i] = static_cast<int16_t>(16000 * std::sin(phase));
    s[2 * i + 1] = static_cast<int16_t>(16000 * std::cos(phase));
  }
  return s;
}

// The signal-to-noise ratio of `decoded` against `source` (left channels), after finding the
// decoder's delay by cross-correlation.
double AlignedSnr(const std::vector<int16_t>& source, const std::vector<int16_t>& decoded) {
  const long frames = static_cast<long>(source.size() / 2);
  const long window = 8192;
  const long from = frames / 3;
  long best_lag = 0;
  double best = -1e300;
  for (long lag = 0; lag < 4000; ++lag) {
    if ((from + lag + window) * 2 > static_cast<long>(decoded.size())) break;
    double sum = 0;
    for (long i = 0; i < window; ++i) sum += source[2 * (from + i)] * decoded[2 * (from + lag + i)];
    if (sum > best) best = sum, best_lag = lag;
  }
  double signal = 0;
  double noise = 0;
  for (long i = 4096; i + 4096 < frames; ++i) {
    if ((i + best_lag) * 2 >= static_cast<long>(decoded.size())) break;
    const double s = source[2 * i];
    const double d = decoded[2 * (i + best_lag)];
    signal += s * s;
    noise += (s - d) * (s - d);
  }
  if (signal == 0) return 0;
  return noise > 0 ? 10 * std::log10(signal / noise) : 200;
}

TEST(Mp3Encoders, FindsSelectsAndNamesTheLibraries) {
  TempDir empty;
  {
    // No library: no selection, no MP3 export, and asking for a converter is no crash.
    EncoderFolder search(empty.File(""));
    DetermineConvertersAvailable(medLame, nullptr);
    EXPECT_EQ(GetMP3Encoder(), medNotAssigned);
    int flags[2] = {1, 1};
    GetConvertersAvailable(flags);
    EXPECT_EQ(flags[0], 1);
    EXPECT_EQ(flags[1], 0);
    EXPECT_EQ(NewCConv2FileObj(fctMP3, -1), nullptr);
    EXPECT_EQ(DetermineTargetConversion("song.WAV"), fctNone);
    EXPECT_FALSE(SetMP3Encoder(medLame));
  }
  {
    // LAME only: selected, named with its version; BladeEnc is absent.
    EncoderFolder search(BinFolder());
    DetermineConvertersAvailable(medBlade, nullptr);
    EXPECT_EQ(GetMP3Encoder(), medLame);
    EXPECT_EQ(DetermineTargetConversion("song.WAV"), fctMP3);
    EXPECT_FALSE(SetMP3Encoder(medBlade));
    char a[80], b[80], c[80];
    char* names[3] = {a, b, c};
    int available[3] = {};
    GetMP3EncoderNamesAndAvailablity(names, sizeof a, available);
    EXPECT_EQ(std::vector<int>(available, available + 3), (std::vector<int>{1, 0, 0}));
    EXPECT_NE(std::string(a).find("LAME"), std::string::npos) << a;
    EXPECT_NE(std::string(a).find("library"), std::string::npos) << a;
    EXPECT_NE(std::string(b).find("not available"), std::string::npos) << b;
    EXPECT_EQ(std::string(c), "No MP3 encoder");
    RefPtr<CConv2FileObj> converter(NewCConv2FileObj(fctMP3, -1));
    ASSERT_NE(converter, nullptr);
    EXPECT_EQ(std::string(converter->DefaultExt()), "mp3");
    EXPECT_EQ(dynamic_cast<CConv2MP3*>(converter.get())->GetMP3EncoderType(), medLame);
    EXPECT_EQ(FreeConversionLibraries(), 0);  // the names loaded it
    EXPECT_EQ(FreeConversionLibraries(), 1);
  }
  {
    // BladeEnc only: selected, and the settings are brought within its abilities.
    EncoderFolder search(kEncoders + "/blade");
    CConv2FileFormat settings = Mp3Format(22050, 1, 96);
    settings.mpegVersion = 0;
    settings.enableVBR = 1;
    DetermineConvertersAvailable(medLame, &settings);
    EXPECT_EQ(GetMP3Encoder(), medBlade);
    EXPECT_EQ(settings.mpegVersion, 1);
    EXPECT_EQ(settings.nSamplesPerSec, 44100u);
    EXPECT_NE(settings.mode, 1);
  }
}

// One CBR file and one VBR file, each checked by the tools people use: the layout of the
// tags, what ffprobe and mpg123 make of the stream, and how close the sound came back.
TEST(ConvMp3, FilesAreWhatRealReadersExpect) {
  if (!HaveTool("mpg123") || !HaveTool("ffprobe")) GTEST_SKIP() << "needs mpg123 and ffprobe";
  TempDir dir;
  EncoderFolder search(BinFolder());
  DetermineConvertersAvailable(medLame, nullptr);
  const long frames = 44100 * 3 + 1234;
  const std::vector<int16_t> sweep = Sweep(frames, 44100);

  TMusicInfo info;
  sonark::SetMusicInfoText(info.title, "Motörhead – Ça va");
  sonark::SetMusicInfoText(info.artist, "Ärzte");
  sonark::SetMusicInfoText(info.comment, std::string(200, 'c').c_str());
  info.year = 2001;
  info.track = 5;
  info.totalTracks = 12;

  const std::string cbr = dir.File("cbr.mp3");
  {
    CLameConv2MP3 converter;
    CConv2FileFormat format = Mp3Format(44100, 0, 192);
    ASSERT_TRUE(Encode(converter, cbr, format, sweep, &info)) << platform::last_error();
  }
  const Bytes bytes = ReadFile(cbr);
  ASSERT_GT(bytes.size(), 3000u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 3), "ID3");
  EXPECT_EQ(bytes[3], 3);  // version 2.3
  EXPECT_EQ(std::string(bytes.end() - 128, bytes.end() - 125), "TAG");
  CId3Tag v1;
  ASSERT_TRUE(v1.loadTag(reinterpret_cast<const char*>(&bytes[bytes.size() - 128])));
  EXPECT_EQ(std::string(v1.TitleString()), "Mot\xF6rhead ? \xC7" "a va");
  EXPECT_EQ(v1.getTrackNumber(), 5);

  const std::string probe = Output(
      "ffprobe -v error -show_entries stream=codec_name,sample_rate,channels,bit_rate:"
      "format=duration:format_tags=title,artist,Comments,track -of default=nw=1 '" + cbr + "'");
  EXPECT_NE(probe.find("codec_name=mp3"), std::string::npos) << probe;
  EXPECT_NE(probe.find("sample_rate=44100"), std::string::npos) << probe;
  EXPECT_NE(probe.find("channels=2"), std::string::npos) << probe;
  EXPECT_NE(probe.find("bit_rate=192000"), std::string::npos) << probe;
  EXPECT_NE(probe.find("TAG:title=Motörhead – Ça va"), std::string::npos) << probe;
  EXPECT_NE(probe.find("TAG:Comments=" + std::string(200, 'c')), std::string::npos) << probe;
  EXPECT_NE(probe.find("TAG:track=5/12"), std::string::npos) << probe;
  const size_t at = probe.find("duration=");
  ASSERT_NE(at, std::string::npos);
  const double seconds = std::atof(probe.c_str() + at + 9);
  // A CBR file records no encoder delay or padding: at most both are added.
  EXPECT_GE(seconds * 44100, frames - 1);
  EXPECT_LE(seconds * 44100, frames + 1105 + 1152 + 1);

  // A stated figure: a sweep at 192 kbit/s comes back at 30.46 dB signal to noise, the
  // figure of the lame command on the same wave at the same settings.
  const std::vector<int16_t> decoded = Decode(cbr);
  const double snr = AlignedSnr(sweep, decoded);
  EXPECT_GT(snr, 30.0) << "signal to noise " << snr << " dB";
  RecordProperty("snr_db_192k_sweep", std::to_string(snr));

  // VBR: the Xing frame of the finished stream follows the reserved tag, and with it mpg123
  // gives back exactly the samples encoded.
  const std::string vbr = dir.File("vbr.mp3");
  {
    CLameConv2MP3 converter;
    CConv2FileFormat format = Mp3Format(44100, 1, 128);
    format.enableVBR = 1;
    format.vbrQuality = 2;
    TMusicInfo plain;
    ASSERT_TRUE(Encode(converter, vbr, format, sweep, &plain)) << platform::last_error();
  }
  const Bytes vbytes = ReadFile(vbr);
  const size_t tag = 10 + ((vbytes[6] << 21) | (vbytes[7] << 14) | (vbytes[8] << 7) | vbytes[9]);
  ASSERT_LT(tag + 64, vbytes.size());
  const std::string first(vbytes.begin() + static_cast<long>(tag),
                          vbytes.begin() + static_cast<long>(tag) + 64);
  EXPECT_NE(first.find("Xing"), std::string::npos);
  EXPECT_EQ(Decode(vbr).size(), sweep.size());
  EXPECT_NE(Output("ffprobe -v error -show_entries format_tags=title -of default=nw=1 '" + vbr +
                   "'").find("TAG:title=vbr"),
            std::string::npos);
}

// The last block of a session is short; padding it must not add a click. An 8-bit session
// renders through the mixer into 16-bit samples, whose silence is 0, not the 8-bit 128.
TEST(ConvMp3, ShortLastBlockOfAn8BitSessionEndsInSilence) {
  if (!HaveTool("mpg123")) GTEST_SKIP() << "needs mpg123";
  TempDir dir;
  EncoderFolder search(BinFolder());
  DetermineConvertersAvailable(medLame, nullptr);
  mixer_test::Source silence;
  silence.channels = 1;
  silence.bits = 8;
  silence.values.assign(22050 + 3001, 0);  // 8-bit silence, 128 in the file
  CSoundGroup* group = new CSoundGroup();
  mixer_test::AddOwned(mixer_test::NewSound(silence, 0, 22050), group, 0);

  const std::string path = dir.File("eight.mp3");
  CLameConv2MP3 converter;
  CConv2FileFormat settings = Mp3Format(44100, 0, 128);
  tWAVEFORMATEX eight = PcmFormat(22050, 1, 8);
  CConv2FileFormat target(kWaveFormatMpegLayer3);
  converter.GetTargetFormat(&target, &settings, &eight, nullptr, nullptr);
  tWAVEFORMATEX pcm = PcmFormat(target.nSamplesPerSec, 2, 16);
  ASSERT_EQ(target.nSamplesPerSec, 44100u);
  ASSERT_TRUE(converter.Create(path.c_str(), &target, &pcm));
  struct Feed {
    static TDataWriteCode Sink(void* data, long* length, void* context) {
      long taken = 0;
      return static_cast<CConv2MP3*>(context)->WriteStreamData(data, *length, &taken) >= 0
                 ? dwcNextBlock
                 : dwcStop;
    }
  };
  CPCMMixer mixer(nullptr);
  const long length = 1000 * static_cast<long>(silence.values.size()) / 22050;
  ASSERT_EQ(mixer.MixToDataSink(group, &Feed::Sink, &converter, &pcm, length,
                                converter.GetDesiredBufferSize()),
            1);
  int ok = 0;
  ASSERT_GE(converter.FinalData(path.c_str(), "", &ok, nullptr), 0);
  converter.Close();
  CAudioAtom* held = group;
  DeleteAtom(&held);

  const std::vector<int16_t> decoded = Decode(path);
  ASSERT_GT(decoded.size(), 44100u * 2);
  int loudest = 0;
  for (int16_t v : decoded) loudest = std::max(loudest, std::abs(static_cast<int>(v)));
  EXPECT_LT(loudest, 64) << "a click in the padded end";
}

// Refusals come back as failures with a reason, never as a finished file.
TEST(ConvMp3, FailuresAreReported) {
  TempDir dir;
  {
    EncoderFolder search(BinFolder());
    DetermineConvertersAvailable(medLame, nullptr);
    CLameConv2MP3 converter;
    CConv2FileFormat format = Mp3Format(44100, 0, 192);
    long taken = 7;
    short pcm16[4] = {};
    EXPECT_EQ(converter.WriteStreamData(pcm16, 8, &taken), -1);  // nothing created
    EXPECT_EQ(taken, 0);
    // 8-bit PCM would be encoded as noise.
    tWAVEFORMATEX eight = PcmFormat(44100, 2, 8);
    EXPECT_FALSE(converter.Create(dir.File("x.mp3").c_str(), &format, &eight));
    EXPECT_EQ(platform::last_error(), sonark::kErrConvertFormat);
    // A disk that fills up: the first block's frames cannot be written.
    tWAVEFORMATEX pcm = PcmFormat(44100, 2, 16);
    ASSERT_TRUE(converter.Create("/dev/full", &format, &pcm));
    std::vector<int16_t> second(2 * 44100 * 2, 1000);
    EXPECT_EQ(converter.WriteStreamData(second.data(), converter.GetDesiredBufferSize(), &taken),
              -1);
    int ok = 1;
    EXPECT_EQ(converter.FinalData("/dev/full", "", &ok, nullptr), -1);
    EXPECT_EQ(ok, 0);
    converter.Close();
  }
  {
    // A LAME library without beWriteVBRHeader: refused when the conversion loads it; once
    // loaded by something else it encodes, and the missing function is never called.
    EncoderFolder search(kEncoders + "/no-vbr-header");
    DetermineConvertersAvailable(medLame, nullptr);
    ASSERT_EQ(GetMP3Encoder(), medLame);
    CConv2FileFormat format = Mp3Format(44100, 0, 128);
    format.enableVBR = 1;
    tWAVEFORMATEX pcm = PcmFormat(44100, 2, 16);
    CLameConv2MP3 first;
    EXPECT_FALSE(first.Create(dir.File("a.mp3").c_str(), &format, &pcm));
    EXPECT_EQ(platform::last_error(), sonark::kErrEncoderEntryPoint);
    ASSERT_TRUE(sonark::LoadMP3EncoderLibrary(medLame, nullptr, nullptr));
    CLameConv2MP3 second;
    TMusicInfo info;
    EXPECT_TRUE(Encode(second, dir.File("b.mp3"), format, Sweep(44100, 44100), &info));
  }
  {
    // The BladeEnc record: constant bit rate MPEG-1 that mpg123 reads.
    EncoderFolder search(kEncoders + "/blade");
    DetermineConvertersAvailable(medBlade, nullptr);
    CBladeConv2MP3 converter;
    CConv2FileFormat format = Mp3Format(44100, 3, 64);
    TMusicInfo info;
    ASSERT_TRUE(Encode(converter, dir.File("blade.mp3"), format, Sweep(22050, 44100), &info));
    if (HaveTool("mpg123")) {
      EXPECT_GE(Decode(dir.File("blade.mp3")).size(), 22050u);
    }
  }
}

}  // namespace
