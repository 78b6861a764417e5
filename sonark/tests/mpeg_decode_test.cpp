#include <gtest/gtest.h>
#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/load/acm_buffer.h>
#include <sonark/load/acm_object.h>
#include <sonark/load/initial_load.h>
#include <sonark/load/peaks.h>
#include <sonark/load/seek_map.h>
#include <sonark/load/xam_object.h>
#include <sonark/mixer/pcm_mixer.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/sound_group.h>
#include <sonark/temp_paths.h>
#include <sonark/tests/mixer_test_support.h>
#include <sys/stat.h>
#include <tarnell/file_obj.h>
#include <tarnell/mem_obj.h>
#include <tarnell/riff.h>
#include <tarnell/tests/temp_dir.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "wave_test_support.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Everything a load of one compressed file leaves: the data object, the decoder and the
// buffer that decodes it (a 64 KB ring, so reads go through many refills and seeks).
struct Decoded {
  CRefObj* object = nullptr;
  std::unique_ptr<ACMObject> decoder;
  std::unique_ptr<CACMBuffer> buffer;
  long lengthMs = 0;
  ~Decoded() {
    buffer.reset();
    DeleteRefObject(&object);
  }

  // `count` bytes of PCM from `offset`, through the ring as a sound reads it.
  Bytes Read(unsigned long offset, unsigned long count) {
    Bytes out;
    if (!buffer->SetReadVariables(offset, count)) return out;
    for (int idle = 0; out.size() < count && idle < 3;) {
      buffer->Fill();
      unsigned char* a = nullptr;
      unsigned char* b = nullptr;
      unsigned long al = 0;
      unsigned long bl = 0;
      buffer->Lock(a, al, b, bl);
      al = std::min<unsigned long>(al, count - out.size());
      out.insert(out.end(), a, a + al);
      bl = std::min<unsigned long>(bl, count - out.size());
      if (b != nullptr) out.insert(out.end(), b, b + bl);
      buffer->UpdateReadOffset(al + bl);
      buffer->Unlock();
      idle = al + bl == 0 ? idle + 1 : 0;
    }
    return out;
  }
  Bytes All() { return Read(0, static_cast<unsigned long>(decoder->PcmSize())); }
};

class MpegDecodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    SetTempSndPath(dir_.File("cache").c_str());
    for (const char* tool : {"sox", "lame", "mpg123", "ffmpeg"}) {
      if (!wave_test::HaveTool(tool)) GTEST_SKIP() << tool << " is needed to make the streams";
    }
  }
  void TearDown() override { SetTempSndPath(nullptr); }

  // `seconds` of a chirp with noise at `rate` (loud and changing, so every frame matters).
  std::string Tone(int rate, int channels, double seconds, const std::string& name) {
    const std::string path = dir_.File(name + ".wav");
    Run("sox -n -r " + std::to_string(rate) + " -c " + std::to_string(channels) +
        " -b 16 " + path + " synth " + std::to_string(seconds) +
        " sine 200-3000 synth whitenoise mix vol 0.5");
    return path;
  }
  std::string Lame(const std::string& wave, const std::string& options, const std::string& name) {
    const std::string path = dir_.File(name);
    Run("lame --quiet " + options + " " + wave + " " + path);
    return path;
  }
  void Run(const std::string& command) {
    ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
  }

  std::unique_ptr<Decoded> Load(const std::string& path, int buildSeekMap = 1,
                                int peaks = 1) {
    auto out = std::make_unique<Decoded>();
    auto* file = new CFileObj;
    out->object = file;
    EXPECT_EQ(file->Open(path.c_str(), 0, 0), 1) << path;
    CInitialLoad load;
    if (load.DoInitialLoad(file, buildSeekMap, 1, peaks, 0, 10, nullptr, nullptr) != 1) {
      ADD_FAILURE() << path << " did not load: " << std::hex << platform::last_error();
      return nullptr;
    }
    out->lengthMs = load.GetActualLength();
    out->decoder.reset(dynamic_cast<ACMObject*>(load.StealACMObject()));
    EXPECT_NE(out->decoder, nullptr);
    if (out->decoder == nullptr) return nullptr;
    out->buffer.reset(out->decoder->NewBuffer(load.SeekMap()));
    file->Seek(file->GetDataStart(), 0);
    EXPECT_EQ(out->buffer->Init(file, 65536, 0, 50), 1);
    return out;
  }

  TempDir dir_;
};

// mpg123's own gapless decode of `path`, as 16-bit samples.
std::vector<int16_t> Mpg123(const std::string& path) {
  std::vector<int16_t> out;
  if (FILE* pipe = popen(("mpg123 -q -s " + path).c_str(), "r")) {
    int16_t block[4096];
    size_t got;
    while ((got = std::fread(block, 2, 4096, pipe)) > 0) out.insert(out.end(), block, block + got);
    pclose(pipe);
  }
  return out;
}

long LargestDifference(const Bytes& ours, const std::vector<int16_t>& theirs) {
  long worst = 0;
  for (size_t i = 0; i * 2 + 1 < ours.size() && i < theirs.size(); ++i) {
    int16_t value;
    std::memcpy(&value, ours.data() + i * 2, 2);
    worst = std::max(worst, std::labs(static_cast<long>(value) - theirs[i]));
  }
  return worst;
}

TEST_F(MpegDecodeTest, SeeksGiveExactlyTheBytesOfAContinuousDecode) {
  struct Case {
    int rate;
    std::string options;
  };
  // 48 kHz is resampled to 44.1 kHz; 32 kbit/s leans on the bit reservoir hardest.
  for (const Case& c : {Case{44100, "-b 128"}, Case{48000, "-b 160"},
                        Case{44100, "-b 32 --resample 44.1"}, Case{44100, "-b 32"},
                        Case{32000, "-V 6"}, Case{48000, "mp2"}}) {
    SCOPED_TRACE(std::to_string(c.rate) + " " + c.options);
    const std::string wave = Tone(c.rate, 2, 6, "tone");
    std::string mp3 = dir_.File("tone.mp2");
    if (c.options == "mp2") {
      Run("ffmpeg -y -loglevel quiet -i " + wave + " -c:a mp2 -b:a 160k " + mp3);
    } else {
      mp3 = Lame(wave, c.options, "tone.mp3");
    }
    auto decoded = Load(mp3);
    ASSERT_NE(decoded, nullptr);
    const Bytes whole = decoded->All();
    ASSERT_EQ(static_cast<int64_t>(whole.size()), decoded->decoder->PcmSize());
    const unsigned long align = decoded->decoder->GetDestFormat()->nBlockAlign;
    std::mt19937 random(c.rate + static_cast<int>(c.options.size()));
    for (int i = 0; i < 60; ++i) {
      unsigned long at = random() % static_cast<unsigned long>(whole.size()) / align * align;
      if (i == 0) at = 0;
      if (i == 1) at = static_cast<unsigned long>(whole.size()) - 8 * align;  // the last frame
      const unsigned long count = std::min<unsigned long>(9000, whole.size() - at);
      const Bytes got = decoded->Read(at, count);
      ASSERT_EQ(got.size(), count) << "at " << at;
      const auto differ = std::mismatch(got.begin(), got.end(), whole.begin() + at);
      ASSERT_TRUE(differ.first == got.end())
          << "at " << at << ", first difference " << (differ.first - got.begin());
    }
    // A looping read runs on from the end into the start.
    decoded->object->SetDataMode(1);
    const unsigned long tail = 6000 / align * align;
    const Bytes wrapped = decoded->Read(static_cast<unsigned long>(whole.size()) - tail, 2 * tail);
    ASSERT_EQ(wrapped.size(), 2 * tail);
    EXPECT_TRUE(std::equal(wrapped.begin(), wrapped.begin() + tail, whole.end() - tail));
    EXPECT_TRUE(std::equal(wrapped.begin() + tail, wrapped.end(), whole.begin()));
  }
}

TEST_F(MpegDecodeTest, DecodedLengthAndSamplesMatchMpg123) {
  // At the output rates mpg123 decodes the very samples; other rates are resampled, and
  // only their length can be held against mpg123's.
  for (int rate : {44100, 22050, 11025, 48000, 32000, 24000, 16000, 8000}) {
    for (int channels : {1, 2}) {
      SCOPED_TRACE(std::to_string(rate) + " Hz, " + std::to_string(channels) + " ch");
      const std::string mp3 = Lame(Tone(rate, channels, 2.5, "tone"), "", "tone.mp3");
      auto decoded = Load(mp3, 0, 0);
      ASSERT_NE(decoded, nullptr);
      const Bytes ours = decoded->All();
      const std::vector<int16_t> theirs = Mpg123(mp3);
      const tWAVEFORMATEX* out = decoded->decoder->GetDestFormat();
      EXPECT_EQ(out->nChannels, channels);
      EXPECT_EQ(static_cast<int64_t>(ours.size()), decoded->decoder->PcmSize());
      if (static_cast<int>(out->nSamplesPerSec) == rate) {
        EXPECT_EQ(ours.size(), theirs.size() * 2);
        EXPECT_LE(LargestDifference(ours, theirs), 1);
      } else {
        const int64_t native = static_cast<int64_t>(theirs.size()) / channels;
        const int64_t expected = (native * out->nSamplesPerSec + rate - 1) / rate;
        EXPECT_NEAR(static_cast<double>(ours.size() / out->nBlockAlign),
                    static_cast<double>(expected), 1.0);
      }
      EXPECT_EQ(decoded->lengthMs,
                static_cast<long>(static_cast<double>(ours.size()) * 1000 / out->nAvgBytesPerSec));
    }
  }
}

TEST_F(MpegDecodeTest, Mp2VbrAndTruncatedStreamsLoadAndGarbageIsRefused) {
  const std::string wave = Tone(44100, 2, 3, "tone");
  const std::string mp2 = dir_.File("tone.mp2");
  Run("ffmpeg -y -loglevel quiet -i " + wave + " -c:a mp2 -b:a 192k " + mp2);
  const std::string vbr = Lame(wave, "-V 2", "vbr.mp3");
  const std::string cut = dir_.File("cut.mp3");
  Bytes bytes = wave_test::ReadFile(Lame(wave, "-b 128", "full.mp3"));
  bytes.resize(bytes.size() - 150);  // the last frame loses its end
  wave_test::WriteFile(cut, bytes);
  // The same stream in a RIFF "RMP3" file, and in a wave file of format tag 0x55.
  const std::string rmp3 = dir_.File("riff.rmp");
  wave_test::WriteFile(rmp3, wave_test::Riff("RMP3", {{"data", wave_test::ReadFile(vbr)},
                                                       {"junk", Bytes(300, 0xFF)}}));
  const std::string waveMp3 = dir_.File("mpeg.wav");
  Run("ffmpeg -y -loglevel quiet -i " + wave + " -c:a libmp3lame -b:a 128k " + waveMp3);
  auto bare = Load(vbr, 0, 0);
  ASSERT_NE(bare, nullptr);
  auto wrapped = Load(rmp3, 0, 0);
  ASSERT_NE(wrapped, nullptr);
  EXPECT_EQ(wrapped->decoder->PcmSize(), bare->decoder->PcmSize());
  EXPECT_EQ(wrapped->All(), bare->All());
  auto tagged = Load(waveMp3, 0, 0);
  ASSERT_NE(tagged, nullptr);
  EXPECT_NEAR(tagged->lengthMs, 3000, 80);

  for (const std::string& path : {mp2, vbr, cut}) {
    SCOPED_TRACE(path);
    auto decoded = Load(path);
    ASSERT_NE(decoded, nullptr);
    EXPECT_NEAR(decoded->lengthMs, 3000, 60);
    const Bytes all = decoded->All();
    EXPECT_EQ(static_cast<int64_t>(all.size()), decoded->decoder->PcmSize());
    // The seek map's last entry holds the whole size.
    EXPECT_EQ(decoded->buffer->PcmSize(), all.size());
    char text[128];
    decoded->decoder->GetSrcFormatStr(text, sizeof text);
    EXPECT_NE(std::string(text).find(path == mp2 ? "Layer 2" : "Layer 3"), std::string::npos);
    EXPECT_EQ(std::string(text).find("VBR") != std::string::npos, path == vbr) << text;
  }

  // Bytes that hold no MPEG frame, or a tag alone, are refused as MPEG audio.
  const std::string garbage = dir_.File("garbage.mp3");
  Bytes noise(20000);
  std::mt19937 random(7);
  for (auto& b : noise) b = static_cast<unsigned char>(random() & 0x7F);
  Bytes tagOnly = wave_test::Text("TAG");
  tagOnly.resize(128, ' ');
  for (const Bytes& content : {noise, tagOnly}) {
    wave_test::WriteFile(garbage, content);
    auto* file = new CFileObj;
    CRefObj* held = file;
    ASSERT_EQ(file->Open(garbage.c_str(), 0, 0), 1);
    CInitialLoad load;
    EXPECT_EQ(load.DoInitialLoad(file, 1, 1, 1, 0, 10, nullptr, nullptr), 0);
    EXPECT_EQ(platform::last_error(), sonark::kErrMpegInspection);
    DeleteRefObject(&held);
  }
}

TEST_F(MpegDecodeTest, SecondLoadTakesTheSideFilesUntilTheSoundIsTouched) {
  const std::string mp3 = Lame(Tone(44100, 2, 3, "tone"), "-b 128", "tone.mp3");
  wave_test::SetModified(mp3, -100);
  auto first = Load(mp3);
  ASSERT_NE(first, nullptr);
  char isk[PATH_MAX];
  char ipk[PATH_MAX];
  ASSERT_EQ(MakeTempPath1(mp3.c_str(), ".isk", isk, sizeof isk, 0), 1);
  ASSERT_EQ(CPeaks::PeakFilePathFor(mp3.c_str(), ipk, sizeof ipk, 0), 1);
  ASSERT_TRUE(wave_test::FileExists(isk));
  ASSERT_TRUE(wave_test::FileExists(ipk));
  // Marked as old: a rebuild would make them new again.
  wave_test::SetModified(isk, -50);
  wave_test::SetModified(ipk, -50);
  auto mtime = [](const char* path) {
    struct stat st {};
    stat(path, &st);
    return st.st_mtime;
  };
  const auto iskTime = mtime(isk);
  const auto ipkTime = mtime(ipk);

  auto second = Load(mp3);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(mtime(isk), iskTime);
  EXPECT_EQ(mtime(ipk), ipkTime);
  EXPECT_EQ(second->decoder->PcmSize(), first->decoder->PcmSize());
  EXPECT_EQ(second->lengthMs, first->lengthMs);
  const Bytes a = first->Read(300000, 20000);
  EXPECT_EQ(second->Read(300000, 20000), a);

  wave_test::SetModified(mp3, 0);
  auto third = Load(mp3);
  ASSERT_NE(third, nullptr);
  EXPECT_GT(mtime(isk), iskTime);
  EXPECT_GT(mtime(ipk), ipkTime);
}

TEST_F(MpegDecodeTest, CancelledScanLeavesNeitherPeaksNorSeekMapBehind) {
  const std::string mp3 = Lame(Tone(44100, 2, 8, "tone"), "-b 192", "tone.mp3");
  auto* file = new CFileObj;
  CRefObj* held = file;
  ASSERT_EQ(file->Open(mp3.c_str(), 0, 0), 1);
  int calls = 0;
  // Goes on at the start, then stops after the first block of the scan.
  TLoadProgress cancel = [](unsigned long, void* context) -> int {
    return ++*static_cast<int*>(context) < 2 ? 1 : 0;
  };
  CInitialLoad load;
  EXPECT_EQ(load.DoInitialLoad(file, 1, 1, 1, 0, 10, cancel, &calls), 0);
  EXPECT_EQ(load.Cancelled(), 1);
  EXPECT_EQ(platform::last_error(), 0u);
  EXPECT_EQ(load.PeakMap(), nullptr);
  EXPECT_EQ(load.SeekMap(), nullptr);
  char side[PATH_MAX];
  ASSERT_EQ(MakeTempPath1(mp3.c_str(), ".isk", side, sizeof side, 0), 1);
  EXPECT_FALSE(wave_test::FileExists(side));
  ASSERT_EQ(CPeaks::PeakFilePathFor(mp3.c_str(), side, sizeof side, 0), 1);
  EXPECT_FALSE(wave_test::FileExists(side));
  DeleteRefObject(&held);
}

// Sessions ------------------------------------------------------------------------------------

struct Render {
  static TDataWriteCode Sink(void* data, long* length, void* context) {
    auto* out = static_cast<Bytes*>(context);
    out->insert(out->end(), static_cast<unsigned char*>(data),
                static_cast<unsigned char*>(data) + *length);
    return dwcNextBlock;
  }
};

// A session of sounds loaded from `paths`, one after the other, with the caller's reference.
CSoundGroup* SessionOf(const std::vector<std::string>& paths, long* lengthMs) {
  auto* group = new mixer_test::FixedGroup();
  *lengthMs = 0;
  for (const std::string& path : paths) {
    auto* sound = new CPCMSound();
    auto* file = new CFileObj;
    CRefObj* held = file;
    if (file->Open(path.c_str(), 0, 0) &&
        sound->InitialLoad(file, 2000, 1, 1, 0, 1, 10, nullptr, nullptr)) {
      sound->GetSrcMap()->SetDefaultMap(sound->Length(0), kMapAll);
      const long length = sound->Length(0);
      mixer_test::AddOwned(sound, group, *lengthMs);
      *lengthMs += length;
    } else {
      ADD_FAILURE() << path << " did not load: " << std::hex << platform::last_error();
      CAudioAtom* atom = sound;
      DeleteAtom(&atom);
    }
    DeleteRefObject(&held);
  }
  return group;
}

// The session rendered offline as 44.1 kHz 16-bit stereo; the session is released.
Bytes RenderAndRelease(CSoundGroup* group, long lengthMs) {
  Bytes out;
  CPCMMixer mixer(nullptr);
  const tWAVEFORMATEX cd = mixer_test::Pcm(44100, 2, 16);
  mixer.MixToDataSink(group, &Render::Sink, &out, &cd, lengthMs, -1);
  CAudioAtom* root = group;
  DeleteAtom(&root);
  return out;
}

Bytes RenderSessionOf(const std::string& path, long* lengthMs) {
  CSoundGroup* group = SessionOf({path}, lengthMs);
  return RenderAndRelease(group, *lengthMs);
}

TEST_F(MpegDecodeTest, SessionOfAnMp3RendersItsDecodedSamples) {
  // Streamed through a two-second buffer, and held whole.
  for (double seconds : {3.0, 1.5}) {
    SCOPED_TRACE(seconds);
    const std::string mp3 = Lame(Tone(44100, 2, seconds, "tone"), "-b 192", "tone.mp3");
    long lengthMs = 0;
    const Bytes rendered = RenderSessionOf(mp3, &lengthMs);
    const std::vector<int16_t> theirs = Mpg123(mp3);
    ASSERT_GT(lengthMs, seconds * 1000 - 100);
    // The render covers the sound's whole milliseconds; every sample of it is the decoded one.
    ASSERT_GE(theirs.size() * 2, rendered.size());
    ASSERT_GT(rendered.size(), static_cast<size_t>(176400 * (seconds - 0.1)));
    EXPECT_LE(LargestDifference(rendered, theirs), 1);
  }
}

TEST_F(MpegDecodeTest, CodecWavesLoadAndRenderThroughTheCodecManager) {
  const std::string tone = Tone(44100, 2, 1, "tone");
  const std::string adpcm = dir_.File("adpcm.wav");
  const std::string wide = dir_.File("wide.wav");
  const std::string fast = dir_.File("fast.wav");
  Run("sox " + tone + " -e ima-adpcm " + adpcm);
  Run("sox " + tone + " -b 24 " + wide);
  Run("sox " + tone + " -r 88200 " + fast);
  for (const std::string& path : {adpcm, wide, fast}) {
    SCOPED_TRACE(path);
    long lengthMs = 0;
    const Bytes rendered = RenderSessionOf(path, &lengthMs);
    EXPECT_NEAR(lengthMs, 1000, 20);
    EXPECT_NEAR(static_cast<double>(rendered.size()), 176400.0 * lengthMs / 1000, 8);
    // Sound, not silence.
    long loudest = 0;
    for (size_t i = 0; i + 1 < rendered.size(); i += 2) {
      int16_t v;
      std::memcpy(&v, rendered.data() + i, 2);
      loudest = std::max(loudest, std::labs(v));
    }
    EXPECT_GT(loudest, 3000);
  }
}

TEST_F(MpegDecodeTest, EmbeddedCompressedSoundsComeBackFromTheSession) {
  const std::string tone = Tone(44100, 2, 1.5, "tone");
  const std::string mp3 = Lame(tone, "-b 128", "tone.mp3");
  const std::string adpcm = dir_.File("adpcm.wav");
  Run("sox " + tone + " -e ms-adpcm " + adpcm);
  long lengthMs = 0;
  CSoundGroup* session = SessionOf({mp3, adpcm}, &lengthMs);
  ASSERT_EQ(session->NumAtoms(kAtomTypeMembers, 0), 2);

  // Saved with the sounds' data inside, in memory, and opened again.
  auto* memory = new CMemObj();
  CRefObj* held = memory;
  ASSERT_EQ(memory->Create(), 1);
  {
    CRIFF riff;
    ASSERT_EQ(riff.Create(memory, tarnell::FourCC("sess")), 1);
    ASSERT_EQ(session->Save(&riff, 0), 1);
  }
  memory->Seek(0, 0);
  auto* reopened = new mixer_test::FixedGroup();
  {
    CRIFF riff;
    ASSERT_EQ(riff.Open(memory, nullptr), 1);
    ASSERT_EQ(reopened->Load(&riff, 1, 1, 1, 10, nullptr, nullptr), 1);
  }
  DeleteRefObject(&held);
  ASSERT_EQ(reopened->NumAtoms(kAtomTypeMembers, 0), 2);
  const Bytes before = RenderAndRelease(session, lengthMs);
  EXPECT_EQ(RenderAndRelease(reopened, lengthMs), before);
}

}  // namespace
