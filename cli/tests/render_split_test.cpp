#include <cli/tests/export_test_support.h>
#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace cli_test;

struct Marker {
  int32_t time;
  const char* title;
  int32_t cdTrack;
};

// Replaces the markers of a saved session: the "tmrk" chunk gets a count and 144-byte records,
// and every chunk around it grows by the difference.
bool SetMarkers(const std::string& path, const std::vector<Marker>& markers) {
  Bytes file = ReadBytes(path);
  std::vector<size_t> parents;
  size_t at = 0;
  size_t end = file.size();
  while (at + 8 <= end) {
    const bool list = memcmp(&file[at], "RIFF", 4) == 0 || memcmp(&file[at], "LIST", 4) == 0;
    const uint32_t size = GetLe32(&file[at + 4]);
    if (memcmp(&file[at], "tmrk", 4) == 0) {
      Bytes data;
      PutLe32(data, static_cast<uint32_t>(markers.size()));
      for (const Marker& m : markers) {
        PutLe32(data, static_cast<uint32_t>(m.time));
        char title[128] = {};
        strncpy(title, m.title, sizeof title - 1);
        data.insert(data.end(), title, title + sizeof title);
        PutLe32(data, static_cast<uint32_t>(m.cdTrack));
        PutLe32(data, 1);
        PutLe32(data, 0);
      }
      const long growth = static_cast<long>(data.size()) - static_cast<long>(size);
      for (size_t parent : parents) {
        const uint32_t grown = static_cast<uint32_t>(GetLe32(&file[parent + 4]) + growth);
        for (int i = 0; i < 4; ++i)
          file[parent + 4 + i] = static_cast<unsigned char>(grown >> 8 * i);
      }
      const Bytes old_size(file.begin() + at + 4, file.begin() + at + 8);
      file.erase(file.begin() + at + 8, file.begin() + at + 8 + size);
      file.insert(file.begin() + at + 8, data.begin(), data.end());
      for (int i = 0; i < 4; ++i)
        file[at + 4 + i] = static_cast<unsigned char>(data.size() >> 8 * i);
      WriteBytes(path, file);
      return true;
    }
    if (list) {
      parents.push_back(at);
      end = at + 8 + size;
      at += 12;
    } else {
      at += 8 + size + (size & 1);
    }
  }
  return false;
}

// The text of the first information item `id` of a wave file ("" when it has none).
std::string InfoText(const std::string& path, const char* id) {
  const std::string file = ReadText(path);
  const size_t at = file.find(id);
  if (at == std::string::npos || at + 8 > file.size()) return "";
  const std::string text =
      file.substr(at + 8, GetLe32(reinterpret_cast<const unsigned char*>(file.data() + at + 4)));
  return text.substr(0, text.find('\0'));
}

// Sounds A (1000 ms at 0) and B (1000 ms at 500 ms) as in the render tests, with CD-track
// markers at 0 ("Intro"), 300 ("A/B") and 1000 (untitled), and a plain marker at 700.
class SplitRender : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    for (const char* name : {"a.wav", "b.wav"}) {
      std::vector<int16_t> samples;
      for (long i = 0; i < 44100 * 2; ++i) samples.push_back(static_cast<int16_t>(i % 20000));
      WriteWave16(folder_.File(name), 44100, 2, samples);
    }
    ASSERT_EQ(folder_.Run({"new", "s.sgp", "a.wav@0", "b.wav@500"}).status, 0);
    ASSERT_TRUE(
        SetMarkers(folder_.File("s.sgp"),
                   {{0, "Intro", 1}, {300, "A/B", 1}, {700, "not a track", 0}, {1000, "", 1}}));
  }

  Folder folder_;
};

TEST_F(SplitRender, WavesHoldTheTracksExactlyWithTheirNamesAndTags) {
  Result whole = folder_.Run({"render", "s.sgp", "whole.wav"});
  ASSERT_EQ(whole.status, 0) << whole.err;
  Result split = folder_.Run({"render", "s.sgp", "show.wav", "--split", "--artist", "Me"});
  ASSERT_EQ(split.status, 0) << split.err;
  const char* names[] = {"show - 01 -  Intro.wav", "show - 02 -  A_B.wav", "show - 03 -  .wav"};
  const long frames[] = {13230, 30870, 22050};  // 0-300, 300-1000 and 1000-1500 ms
  Bytes joined;
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(names[i]);
    const Wave wave = ReadWave(folder_.File(names[i]));
    ASSERT_TRUE(wave.ok);
    EXPECT_EQ(static_cast<long>(wave.data.size() / 4), frames[i]);
    joined.insert(joined.end(), wave.data.begin(), wave.data.end());
    EXPECT_EQ(InfoText(folder_.File(names[i]), "ITRK"), std::to_string(i + 1) + "/3");
    EXPECT_EQ(InfoText(folder_.File(names[i]), "IART"), "Me");
  }
  EXPECT_TRUE(joined == ReadWave(folder_.File("whole.wav")).data)
      << "the tracks together are the whole render";
  EXPECT_EQ(InfoText(folder_.File(names[0]), "INAM"), "Intro");
  EXPECT_EQ(InfoText(folder_.File(names[1]), "INAM"), "A/B");
  EXPECT_EQ(InfoText(folder_.File(names[2]), "INAM"), "show - 03 -  ")
      << "an untitled track is titled by its file name";

  // A stretch keeps the separators inside it and their numbers; the first track starts with
  // the stretch.
  split = folder_.Run({"render", "s.sgp", "part.wav", "--split", "--from", "200", "--to", "1200"});
  ASSERT_EQ(split.status, 0) << split.err;
  EXPECT_EQ(ReadWave(folder_.File("part - 02 -  A_B.wav")).data.size(), 35280u * 4);
  EXPECT_EQ(ReadWave(folder_.File("part - 03 -  .wav")).data.size(), 8820u * 4);
  EXPECT_FALSE(folder_.Exists("part - 01 -  Intro.wav"));

  // Track files are named after a file, never after a device.
  EXPECT_EQ(folder_.Run({"render", "s.sgp", "/dev/null", "--split"}).status, 1);
  EXPECT_FALSE(std::filesystem::exists("/dev/null - 01 -  Intro.wav"));

  // One separator within the stretch is not enough.
  split = folder_.Run({"render", "s.sgp", "late.wav", "--split", "--from", "400"});
  EXPECT_EQ(split.status, 1);
  EXPECT_TRUE(Contains(split.err, "at least two CD-track markers")) << split.err;
  EXPECT_EQ(CountLines(split.err), 1) << split.err;
}

TEST_F(SplitRender, AnExistingTrackFileStopsTheSplitUnlessOverwriting) {
  WriteBytes(folder_.File("show - 02 -  A_B.wav"), {'o', 'l', 'd'});
  Result split = folder_.Run({"render", "s.sgp", "show.wav", "--split"});
  EXPECT_EQ(split.status, 1);
  EXPECT_TRUE(Contains(split.err, "show - 02 -  A_B.wav: exists")) << split.err;
  EXPECT_FALSE(folder_.Exists("show - 01 -  Intro.wav"));
  EXPECT_FALSE(folder_.Exists("show - 03 -  .wav"));
  EXPECT_EQ(ReadText(folder_.File("show - 02 -  A_B.wav")), "old");

  split = folder_.Run({"render", "s.sgp", "show.wav", "--split", "--overwrite"});
  ASSERT_EQ(split.status, 0) << split.err;
  EXPECT_TRUE(ReadWave(folder_.File("show - 02 -  A_B.wav")).ok);
  EXPECT_TRUE(folder_.HiddenFiles().empty());
}

TEST_F(SplitRender, Mp3TracksCarryTheirLengthsTitlesAndNumbers) {
  if (!Installed("ffprobe") || !Installed("mpg123")) GTEST_SKIP() << "ffprobe or mpg123 missing";
  Result split = folder_.Run({"render", "s.sgp", "show.Mp2", "--split", "--mode", "mono"});
  if (split.status != 0 && Contains(split.err, "MP3 export is unavailable"))
    GTEST_SKIP() << split.err;
  ASSERT_EQ(split.status, 0) << split.err;
  const char* names[] = {"show - 01 -  Intro.mp3", "show - 02 -  A_B.mp3", "show - 03 -  .mp3"};
  const char* titles[] = {"Intro", "A/B", "show - 03 -  "};
  const long frames[] = {13230, 30870, 22050};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(names[i]);
    const std::string path = folder_.File(names[i]);
    EXPECT_EQ(Probe(path, "stream=channels"), "1");
    EXPECT_EQ(Probe(path, "format_tags=title"), titles[i]);
    EXPECT_EQ(Probe(path, "format_tags=track"), std::to_string(i + 1) + "/3");
    const long decoded = DecodedFrames(folder_, names[i]);
    EXPECT_GE(decoded, frames[i]);
    EXPECT_LE(decoded, frames[i] + kEncoderSlackFrames);
  }
}

}  // namespace
