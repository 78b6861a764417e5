#include <fcntl.h>
#include <gtest/gtest.h>
#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/file_dates.h>
#include <sonark/temp_paths.h>
#include <sys/stat.h>
#include <tarnell/tests/temp_dir.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

// Appended piece by piece: GCC 12 at -O3 raises a false -Wrestrict alarm for "<" + string.
std::string Code(uint32_t code) {
  std::string text(1, '<');
  text += std::to_string(code);
  text += '>';
  return text;
}
std::string TooLong() { return Code(sonark::kErrSidePathTooLong); }

class TempPathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    cache_ = dir_.File("cache");
    SetTempSndPath(nullptr);
  }
  void TearDown() override {
    SetTempSndPath(nullptr);
    SetSideFilesOff(0);
  }

  std::string Map(const std::string& path, long maxLength = PATH_MAX, int create = 0) {
    char out[PATH_MAX] = "untouched";
    if (!MakeTempPath2(path.c_str(), out, maxLength, create)) {
      EXPECT_STREQ(out, "");
      return Code(platform::last_error());
    }
    return out;
  }

  TempDir dir_;
  std::string cache_;
};

TEST_F(TempPathsTest, WithoutDirectorySideFilesLieBesideTheSound) {
  EXPECT_EQ(TempSndPathExists(), 0);
  EXPECT_EQ(Map("/music/a.wav"), "/music/a.wav");
  char out[64];
  ASSERT_EQ(MakeTempPath1("/music/a.wav", ".ipk", out, sizeof out, 1), 1);
  EXPECT_STREQ(out, "/music/a.wav.ipk");
  // Exactly the room of the path and its terminator, then one byte less.
  EXPECT_EQ(Map("/music/a.wav", 13), "/music/a.wav");
  EXPECT_EQ(Map("/music/a.wav", 12), TooLong());
}

TEST_F(TempPathsTest, DirectoryIsKeptWithOneTrailingSlash) {
  SetTempSndPath(cache_.c_str());
  EXPECT_EQ(TempSndPathExists(), 1);
  char out[PATH_MAX];
  GetTempSndPath(out, sizeof out);
  EXPECT_EQ(std::string(out), cache_ + "/");
  SetTempSndPath((cache_ + "/").c_str());
  GetTempSndPath(out, sizeof out);
  EXPECT_EQ(std::string(out), cache_ + "/");

  // A buffer too small gets nothing rather than a shorter, different directory.
  platform::clear_last_error();
  GetTempSndPath(out, static_cast<long>(cache_.size()) + 1);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(platform::last_error(), sonark::kErrSidePathTooLong);

  // Too long to keep: refused, the old directory stays.
  SetTempSndPath(("/" + std::string(kTempSndPathLength, 'x')).c_str());
  EXPECT_EQ(platform::last_error(), sonark::kErrSidePathTooLong);
  GetTempSndPath(out, sizeof out);
  EXPECT_EQ(std::string(out), cache_ + "/");

  SetTempSndPath("");
  EXPECT_EQ(TempSndPathExists(), 0);
  SetTempSndPath("relative/cache");
  GetTempSndPath(out, sizeof out);
  EXPECT_EQ(std::string(out), std::filesystem::current_path().string() + "/relative/cache/");
  SetTempSndPath(nullptr);
  EXPECT_EQ(TempSndPathExists(), 0);
}

TEST_F(TempPathsTest, SoundPathsAreRebuiltBelowTheDirectory) {
  SetTempSndPath(cache_.c_str());
  std::string root = cache_ + "/";
  EXPECT_EQ(Map("/music/a.wav"), root + "music/a.wav");
  EXPECT_EQ(Map("//music//./a.wav"), root + "music/a.wav");
  EXPECT_EQ(Map("relative/a.wav"), root + "relative/a.wav");
  // Characters some file systems refuse are escaped, so different sounds keep apart.
  EXPECT_EQ(Map("/m/Live: 1?<>|*.wav"), root + "m/Live%3A 1%3F%3C%3E%7C%2A.wav");
  EXPECT_EQ(Map("/m/100%.wav"), root + "m/100%25.wav");
  EXPECT_NE(Map("/m/a:b.wav"), Map("/m/ab.wav"));
  // ".." never leads out of the directory, nor back onto the sound itself.
  EXPECT_EQ(Map("/../../music/../a.wav"), root + "a.wav");
  EXPECT_EQ(Map(root + "../a.wav"), root + cache_.substr(1, cache_.rfind('/')) + "a.wav");
  // Nothing that names a file.
  const std::string invalid = Code(sonark::kErrSidePathInvalid);
  EXPECT_EQ(Map("/"), invalid);
  EXPECT_EQ(Map("/a/.."), invalid);
  EXPECT_EQ(Map(""), invalid);

  char out[PATH_MAX];
  ASSERT_EQ(MakeTempPath1("/music/a.wav", ".ipk", out, sizeof out, 0), 1);
  EXPECT_EQ(std::string(out), root + "music/a.wav.ipk");
  EXPECT_FALSE(std::filesystem::exists(cache_));
}

TEST_F(TempPathsTest, LengthLimitIsAnErrorNotACut) {
  SetTempSndPath(cache_.c_str());
  std::string expected = cache_ + "/music/a.wav";
  long room = static_cast<long>(expected.size()) + 1;
  EXPECT_EQ(Map("/music/a.wav", room), expected);
  EXPECT_EQ(Map("/music/a.wav", room - 1), TooLong());
  char out[8] = "x";
  EXPECT_EQ(MakeTempPath1("/music/a.wav", ".ipk", out, sizeof out, 1), 0);
  EXPECT_STREQ(out, "");
  EXPECT_FALSE(std::filesystem::exists(cache_));  // nothing created for a refused path
}

TEST_F(TempPathsTest, CreateMakesEveryLevelUnlessSideFilesAreOff) {
  SetTempSndPath((cache_ + "/deeper").c_str());
  SetSideFilesOff(1);
  EXPECT_EQ(Map("/music/albums/a.wav", PATH_MAX, 1), Code(sonark::kErrSideFilesOff));
  EXPECT_FALSE(std::filesystem::exists(cache_));
  SetTempSndPath(nullptr);  // not even beside the sound
  EXPECT_EQ(Map("/music/albums/a.wav"), Code(sonark::kErrSideFilesOff));

  SetSideFilesOff(0);
  SetTempSndPath((cache_ + "/deeper").c_str());
  std::string side = Map("/music/albums/a.wav", PATH_MAX, 1);
  EXPECT_EQ(side, cache_ + "/deeper/music/albums/a.wav");
  EXPECT_TRUE(std::filesystem::is_directory(cache_ + "/deeper/music/albums"));
  EXPECT_FALSE(std::filesystem::exists(side));
}

void SetModified(const std::string& path, time_t seconds, long nanoseconds) {
  std::ofstream(path, std::ios::app).flush();
  timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

TEST_F(TempPathsTest, FileDatesCompareToTheMillisecond) {
  std::string sound = dir_.File("a.wav"), side = dir_.File("a.wav.ipk");
  constexpr time_t kSeconds = 1000000000;
  SetModified(sound, kSeconds, 123456700);
  _FILETIME time{};
  ASSERT_EQ(GetLastModifiedDate(sound.c_str(), time), 1);
  EXPECT_EQ(utilities::file_time_value(time),
            (static_cast<uint64_t>(kSeconds) + 11644473600u) * 10000000u + 1234567u);

  SetModified(side, kSeconds, 122999999);  // 0.457 ms earlier, in the millisecond before
  EXPECT_EQ(IsRightFileOlder(sound.c_str(), side.c_str()), 1);
  EXPECT_EQ(IsRightFileOlder(side.c_str(), sound.c_str()), 0);
  SetModified(side, kSeconds, 123000000);  // earlier, but in the same millisecond
  EXPECT_EQ(IsRightFileOlder(sound.c_str(), side.c_str()), 0);
  EXPECT_EQ(IsRightFileOlder(side.c_str(), sound.c_str()), 0);
  SetModified(side, kSeconds + 3600, 0);  // an hour later
  EXPECT_EQ(IsRightFileOlder(side.c_str(), sound.c_str()), 1);
  EXPECT_EQ(IsRightFileOlder(sound.c_str(), side.c_str()), 0);

  std::string missing = dir_.File("missing.wav");
  EXPECT_EQ(GetLastModifiedDate(missing.c_str(), time), 0);
  EXPECT_EQ(platform::last_error(), sonark::kErrSoundFileMissing);
  EXPECT_EQ(IsRightFileOlder(sound.c_str(), missing.c_str()), 0);
  EXPECT_EQ(IsRightFileOlder(missing.c_str(), sound.c_str()), 0);
}

}  // namespace
