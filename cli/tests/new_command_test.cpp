#include <cli/tests/cli_test_support.h>
#include <gtest/gtest.h>

#include <set>
#include <tuple>

namespace {

using namespace cli_test;

// A stereo 44.1 kHz sound of `ms` milliseconds whose samples follow `seed`.
void WriteSound(const std::string& path, long ms, int seed) {
  std::vector<int16_t> samples(static_cast<size_t>(ms * 441 / 10 * 2));
  for (size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<int16_t>((static_cast<int>(i) * seed) % 4000 - 2000);
  WriteWave16(path, 44100, 2, samples);
}

struct Bar {
  int32_t left, top, right, bottom;
};

// The bars of the "zbar" chunks of a session file, in file order.
std::vector<Bar> Bars(const Bytes& session) {
  std::vector<Bar> bars;
  for (size_t at = 0; at + 24 <= session.size(); ++at) {
    if (memcmp(session.data() + at, "zbar", 4) != 0 || GetLe32(&session[at + 4]) != 16) continue;
    const unsigned char* b = &session[at + 8];
    bars.push_back({static_cast<int32_t>(GetLe32(b)), static_cast<int32_t>(GetLe32(b + 4)),
                    static_cast<int32_t>(GetLe32(b + 8)), static_cast<int32_t>(GetLe32(b + 12))});
  }
  return bars;
}

class NewCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    WriteSound(folder_.File("a.wav"), 1000, 7);
    WriteSound(folder_.File("b.wav"), 800, 13);
    WriteSound(folder_.File("c.wav"), 300, 29);
  }

  Folder folder_;
};

TEST_F(NewCommand, SavesTheSoundsAtTheGivenOffsetsEachInItsOwnLane) {
  Result made = folder_.Run({"new", "s.sgp", "a.wav@0", "b.wav@1500"});
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(made.err, "");

  const Bytes session = ReadBytes(folder_.File("s.sgp"));
  ASSERT_GE(session.size(), 12u);
  EXPECT_EQ(memcmp(session.data(), "RIFF", 4), 0);
  EXPECT_EQ(memcmp(session.data() + 8, "sess", 4), 0);
  EXPECT_EQ(GetLe32(&session[4]) + 8, session.size());
  const std::vector<Bar> bars = Bars(session);
  ASSERT_EQ(bars.size(), 2u);
  EXPECT_EQ(std::tie(bars[0].left, bars[0].right), std::make_tuple(0, 1000));
  EXPECT_EQ(std::tie(bars[1].left, bars[1].right), std::make_tuple(1500, 2300));
  EXPECT_NE(bars[0].top, bars[1].top) << "two sounds share a lane";
  EXPECT_EQ(bars[0].bottom - bars[0].top, bars[1].bottom - bars[1].top);

  Result info = folder_.Run({"info", "s.sgp"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_TRUE(Contains(info.out, "sound a.wav")) << info.out;
  EXPECT_TRUE(Contains(info.out, "sound b.wav")) << info.out;
  EXPECT_TRUE(Contains(info.out, "at 00:00:000  length 00:01:000")) << info.out;
  EXPECT_TRUE(Contains(info.out, "at 00:01:500  length 00:00:800")) << info.out;
  EXPECT_FALSE(Contains(info.out, "missing")) << info.out;
  EXPECT_TRUE(folder_.HiddenFiles().empty());
}

// Files with a name ending in `suffix` anywhere below `folder`.
std::vector<std::string> FilesEndingIn(const std::string& folder, const std::string& suffix) {
  std::vector<std::string> found;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, ignored)) {
    const std::string path = entry.path().string();
    if (path.size() >= suffix.size() &&
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0)
      found.push_back(path);
  }
  return found;
}

// Side files are caches: they go below $XDG_CACHE_HOME/tessel/, and when that cannot be used
// peaks are built in memory with a warning, never kept beside the user's sounds.
TEST_F(NewCommand, KeepsSideFilesInTheCacheFolderOrInMemory) {
  ASSERT_EQ(folder_.Run({"new", "s.sgp", "a.wav"}).status, 0);
  EXPECT_EQ(FilesEndingIn(folder_.CacheHome() + "/tessel", "a.wav.ipk").size(), 1u);
  EXPECT_TRUE(FilesEndingIn(folder_.path(), ".ipk").empty());

  WriteBytes(folder_.File("not-a-folder"), {'x'});
  folder_.SetCacheHome(folder_.File("not-a-folder"));
  Result made = folder_.Run({"new", "t.sgp", "b.wav"});
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_TRUE(Contains(made.err, "warning")) << made.err;
  EXPECT_TRUE(Contains(made.err, "in memory")) << made.err;
  EXPECT_EQ(CountLines(made.err), 1) << made.err;
  Result info = folder_.Run({"info", "t.sgp"});
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_TRUE(FilesEndingIn(folder_.path(), ".ipk").empty());
  EXPECT_TRUE(FilesEndingIn(folder_.path(), ".isk").empty());
}

// OUT is a session or nothing yet: a wave given there by mistake stays unless --force, a
// read-only session stays. '--' ends the options, and a file whose whole name looks like
// SOUND@MS is that file.
TEST_F(NewCommand, ReplacesOnlySessionsUnlessForced) {
  std::filesystem::copy_file(folder_.File("a.wav"), folder_.File("v.wav"));
  const Bytes wave = ReadBytes(folder_.File("v.wav"));
  Result made = folder_.Run({"new", "v.wav", "b.wav"});
  EXPECT_EQ(made.status, 1);
  EXPECT_EQ(CountLines(made.err), 1) << made.err;
  EXPECT_TRUE(Contains(made.err, "--force")) << made.err;
  EXPECT_EQ(ReadBytes(folder_.File("v.wav")), wave);

  made = folder_.Run({"new", "--force", "v.wav", "b.wav"});
  ASSERT_EQ(made.status, 0) << made.err;
  const Bytes session = ReadBytes(folder_.File("v.wav"));
  ASSERT_GE(session.size(), 12u);
  EXPECT_EQ(memcmp(session.data() + 8, "sess", 4), 0);

  std::filesystem::permissions(folder_.File("v.wav"), std::filesystem::perms::owner_read);
  made = folder_.Run({"new", "--force", "v.wav", "c.wav"});
  EXPECT_EQ(made.status, 1);
  EXPECT_TRUE(Contains(made.err, "read-only")) << made.err;
  EXPECT_EQ(ReadBytes(folder_.File("v.wav")), session);

  std::filesystem::copy_file(folder_.File("c.wav"), folder_.File("take@2"));
  std::filesystem::copy_file(folder_.File("c.wav"), folder_.File("--odd.wav"));
  made = folder_.Run({"new", "--", "t.sgp", "take@2", "--odd.wav@5"});
  ASSERT_EQ(made.status, 0) << made.err;
  Result info = folder_.Run({"info", "t.sgp"});
  EXPECT_TRUE(Contains(info.out, "sound take@2")) << info.out;
  EXPECT_TRUE(Contains(info.out, "at 00:00:000")) << info.out;
  EXPECT_TRUE(Contains(info.out, "sound --odd.wav")) << info.out;
  EXPECT_TRUE(folder_.HiddenFiles().empty());
}

// Offsets are kept as given even when a later sound starts first, and the same file may be
// placed more than once.
TEST_F(NewCommand, KeepsOffsetsOutOfOrderAndRepeatedSounds) {
  Result made = folder_.Run({"new", "s.sgp", "c.wav@2500", "a.wav@0", "c.wav@10"});
  ASSERT_EQ(made.status, 0) << made.err;
  Result info = folder_.Run({"info", "s.sgp"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_TRUE(Contains(info.out, "at 00:02:500  length 00:00:300")) << info.out;
  EXPECT_TRUE(Contains(info.out, "at 00:00:010  length 00:00:300")) << info.out;
  EXPECT_TRUE(Contains(info.out, "at 00:00:000  length 00:01:000")) << info.out;
  EXPECT_TRUE(Contains(info.out, "session    00:02:800")) << info.out;
  std::set<int32_t> lanes;
  for (const Bar& bar : Bars(ReadBytes(folder_.File("s.sgp")))) lanes.insert(bar.top);
  EXPECT_EQ(lanes.size(), 3u);
}

TEST_F(NewCommand, ReplacesAnExistingSessionWhole) {
  ASSERT_EQ(folder_.Run({"new", "s.sgp", "a.wav", "b.wav@100", "c.wav@200"}).status, 0);
  const size_t old_size = ReadBytes(folder_.File("s.sgp")).size();
  Result made = folder_.Run({"new", "s.sgp", "c.wav@40"});
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_LT(ReadBytes(folder_.File("s.sgp")).size(), old_size);
  Result info = folder_.Run({"info", "s.sgp"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_FALSE(Contains(info.out, "a.wav")) << info.out;
  EXPECT_FALSE(Contains(info.out, "b.wav")) << info.out;
  EXPECT_TRUE(Contains(info.out, "sound c.wav")) << info.out;
  EXPECT_TRUE(Contains(info.out, "at 00:00:040")) << info.out;
  EXPECT_TRUE(folder_.HiddenFiles().empty());
}

TEST_F(NewCommand, AMissingOrUnreadableSoundLeavesTheOldSessionUntouched) {
  ASSERT_EQ(folder_.Run({"new", "s.sgp", "a.wav"}).status, 0);
  const Bytes before = ReadBytes(folder_.File("s.sgp"));
  WriteBytes(folder_.File("noise.wav"), Bytes(500, 'x'));

  for (const char* bad : {"gone.wav", "noise.wav"}) {
    SCOPED_TRACE(bad);
    Result made = folder_.Run({"new", "s.sgp", "b.wav@0", std::string(bad) + "@300"});
    EXPECT_EQ(made.status, 1);
    EXPECT_EQ(CountLines(made.err), 1) << made.err;
    EXPECT_TRUE(Contains(made.err, bad)) << made.err;
    EXPECT_EQ(ReadBytes(folder_.File("s.sgp")), before);
    EXPECT_TRUE(folder_.HiddenFiles().empty());
  }
  Result made = folder_.Run({"new", "fresh.sgp", "gone.wav"});
  EXPECT_EQ(made.status, 1);
  EXPECT_FALSE(folder_.Exists("fresh.sgp"));
}

// A suffix meant as a start time must be one; an '@' that does not start a time belongs to
// the file's name.
TEST_F(NewCommand, ReadsStartTimesStrictly) {
  const std::vector<std::vector<std::string>> bad = {
      {"new"},
      {"new", "s.sgp"},
      {"new", "s.sgp", "a.wav@"},
      {"new", "s.sgp", "a.wav@-5"},
      {"new", "s.sgp", "a.wav@1.5"},
      {"new", "s.sgp", "a.wav@99999999999"},
      {"new", "s.sgp", "@100"},
  };
  for (const auto& args : bad) {
    SCOPED_TRACE(args.back());
    Result made = folder_.Run(args);
    EXPECT_EQ(made.status, 2) << made.err;
    EXPECT_FALSE(made.err.empty());
  }
  EXPECT_FALSE(folder_.Exists("s.sgp"));

  std::filesystem::copy_file(folder_.File("c.wav"), folder_.File("take@home.wav"));
  std::filesystem::copy_file(folder_.File("c.wav"), folder_.File("take@-1.wav"));
  Result made = folder_.Run({"new", "s.sgp", "take@home.wav@250", "take@-1.wav"});
  ASSERT_EQ(made.status, 0) << made.err;
  Result info = folder_.Run({"info", "s.sgp"});
  EXPECT_TRUE(Contains(info.out, "sound take@home.wav")) << info.out;
  EXPECT_TRUE(Contains(info.out, "at 00:00:250")) << info.out;
  EXPECT_TRUE(Contains(info.out, "sound take@-1.wav")) << info.out;
}

// Sounds beside the session are stored relative to it, so the folder can move as a whole.
TEST_F(NewCommand, ASessionMovedWithItsSoundsStillFindsThem) {
  std::filesystem::create_directories(folder_.File("project/sounds"));
  std::filesystem::rename(folder_.File("a.wav"), folder_.File("project/sounds/a.wav"));
  std::filesystem::rename(folder_.File("b.wav"), folder_.File("project/sounds/b.wav"));
  ASSERT_EQ(folder_
                .Run({"new", "project/s.sgp", "project/sounds/a.wav",
                      folder_.File("project/sounds/b.wav") + "@500"})
                .status,
            0);
  ASSERT_EQ(folder_.Run({"render", "project/s.sgp", "before.wav"}).status, 0);

  std::filesystem::rename(folder_.File("project"), folder_.File("moved"));
  Result info = folder_.Run({"info", "moved/s.sgp"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_FALSE(Contains(info.out, "missing")) << info.out;
  Result render = folder_.Run({"render", "moved/s.sgp", "after.wav"});
  ASSERT_EQ(render.status, 0) << render.err;
  EXPECT_EQ(ReadWave(folder_.File("after.wav")).data, ReadWave(folder_.File("before.wav")).data);
}

}  // namespace
