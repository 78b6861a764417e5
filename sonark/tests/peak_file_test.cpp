#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <platform/last_error.h>
#include <sonark/load/peaks.h>
#include <sonark/temp_paths.h>
#include <sonark/tests/peak_test_support.h>
#include <sys/stat.h>
#include <tarnell/file_obj.h>
#include <tarnell/tests/temp_dir.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace peak_test;
namespace fs = std::filesystem;

void SetModified(const std::string& path, time_t seconds, long nanoseconds) {
  timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// A file object that takes `budget` bytes and then refuses to write: a disk that fills up.
class FillingFile : public CFileObj {
 public:
  explicit FillingFile(long budget) : budget_(budget) {}
  long Write(const char* buf, long count) override {
    const long n = std::min(count, budget_);
    budget_ -= n;
    return n > 0 ? CFileObj::Write(buf, n) : 0;
  }

 private:
  long budget_;
};

class PeaksOnFillingDisk : public CPeaks {
 public:
  PeaksOnFillingDisk(unsigned long ms, long budget) : CPeaks(ms, -1), budget_(budget) {}

 protected:
  CFileObj* NewPeakFileObject() override { return new FillingFile(budget_); }

 private:
  long budget_;
};

class PeakFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    sound_ = dir_.File("music/song.wav");
    fs::create_directories(dir_.File("music"));
    WriteBytes(sound_, {'R', 'I', 'F', 'F'});
    ASSERT_EQ(source_.Open(sound_.c_str(), 0, 0), 1);
    ipk_ = sound_ + ".ipk";
  }
  void TearDown() override { SetTempSndPath(nullptr); }

  // 1 ms per peak with a pattern that a shifted or wrapped copy would not reproduce.
  static std::vector<unsigned char> Pattern(size_t n) {
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>((i * 31 + i / 256) % 256);
    return v;
  }

  // Peak files being written beside the sound under a temporary name.
  size_t PartialFiles() const {
    size_t count = 0;
    for (const auto& entry : fs::directory_iterator(fs::path(ipk_).parent_path())) {
      if (entry.path().filename().string().starts_with("song.wav.ipk.tmp-")) ++count;
    }
    return count;
  }

  TempDir dir_;
  std::string sound_;
  std::string ipk_;
  CFileObj source_;
};

TEST_F(PeakFileTest, WrittenFileHasTheStoredLayoutAndReadsBack) {
  ThresholdGuard restore;
  const std::vector<unsigned char> values = {0, 0, 40, 200, 0, 13};
  CPeaks peaks(10, -1);
  peaks.SetMaxPeaks(0, 0);
  int toFile = 1;
  ASSERT_EQ(peaks.InitStreamPeaksFromParse(&toFile, &source_), 1);
  ASSERT_EQ(toFile, 1);
  EXPECT_EQ(peaks.IsPeakFileWriteMode(), 1);
  for (unsigned char v : values) ASSERT_EQ(peaks.StreamPeakFromParse(v, toFile), 1);
  peaks.SetMaxPeaks(12000, 30000);
  ASSERT_EQ(peaks.FinishPeaksFromParse(57, toFile), 1);
  EXPECT_EQ(peaks.IsPeakFileOpen(), 0);
  EXPECT_EQ(peaks.WroteToDisk(), 1);
  char recorded[PATH_MAX];
  ASSERT_EQ(peaks.GetPeakFilePath(recorded, sizeof recorded), 1);
  EXPECT_EQ(std::string(recorded), ipk_);

  const std::vector<unsigned char> expected =
      PeakFileBytes(57, 10, values, 12000, 30000, /*trim*/ 20, 50, /*silence*/ 0);
  ASSERT_EQ(ReadBytes(ipk_), WithSoundSize(expected, 4));

  CPeaks loaded;
  ASSERT_EQ(loaded.LoadPeaksFromFile(ipk_.c_str(), 1), 1);
  EXPECT_EQ(Held(loaded), values);
  EXPECT_EQ(loaded.LengthOfSound(), 57);
  EXPECT_EQ(loaded.NumMilsPerPeak(), 10u);
  EXPECT_EQ(loaded.GetMaxLeft(), 12000);
  EXPECT_EQ(loaded.GetMaxRight(), 30000);
  EXPECT_EQ(loaded.GetAutoTrimTimeStart(), 20);
  EXPECT_EQ(loaded.GetAutoTrimTimeEnd(), 50);
  EXPECT_EQ(loaded.IsTotalSilence(), 0);
  EXPECT_EQ(loaded.IsPartialSong(), 1);  // last peak 13
  EXPECT_EQ(loaded.IsStreaming(), 0);
  EXPECT_EQ(loaded.References(), 1);
  EXPECT_DOUBLE_EQ(loaded.GetFractionalAmps(), 6 - 5.7);
  CPeaks lazily;
  ASSERT_EQ(lazily.LoadPeaksFromFile(ipk_.c_str(), 0), 1);
  EXPECT_EQ(Held(lazily), values);  // peaks that fit are never left out

  // Saved for another sound, the same bytes with that sound's size.
  const std::string other = dir_.File("music/copy.wav");
  WriteBytes(other, {1, 2, 3, 4, 5, 6});
  ASSERT_EQ(loaded.SaveAs(other.c_str()), 1);
  EXPECT_EQ(ReadBytes(other + ".ipk"), WithSoundSize(expected, 6));
  ASSERT_EQ(loaded.GetPeakFilePath(recorded, sizeof recorded), 1);
  EXPECT_EQ(std::string(recorded), other + ".ipk");
}

TEST_F(PeakFileTest, LongPeaksStreamFromTheirFile) {
  const std::vector<unsigned char> values = Pattern(25000);  // over the 10000-peak window
  CPeaks peaks(1, -1);
  ASSERT_EQ(BuildPeaks(peaks, values, 25000, 1, &source_), 1);
  EXPECT_EQ(peaks.IsStreaming(), 1);
  EXPECT_EQ(peaks.GetBufferedPeaks(), 10000u);
  const std::vector<unsigned char> bytes = ReadBytes(ipk_);
  ASSERT_EQ(bytes.size(), 12 + values.size() + 20 + 12);
  EXPECT_TRUE(std::equal(values.begin(), values.end(), bytes.begin() + 12));

  CPeaks loaded;
  ASSERT_EQ(loaded.LoadPeaksFromFile(ipk_.c_str(), 1), 1);
  EXPECT_EQ(loaded.IsStreaming(), 1);
  ASSERT_EQ(loaded.GetBufferedPeaks(), 10000u);
  // Only the last peak is read, into the last slot.
  EXPECT_EQ(loaded.GetDataPtr()[9999], values.back());
  EXPECT_EQ(loaded.GetDataPtr()[0], 0);

  ASSERT_EQ(loaded.OpenPeaksFile(nullptr, 0), 1);
  EXPECT_EQ(loaded.IsPeakFileWriteMode(), 0);
  ASSERT_EQ(loaded.SeekToPeakIndex(7000), 1);
  std::vector<unsigned char> shown;
  int atEnd = 0;
  unsigned long got = 0;
  while (!atEnd) {
    ASSERT_EQ(loaded.StreamPeaksFromFile(12000, &got, &atEnd), 1);
    EXPECT_LE(got, 10000u);
    shown.insert(shown.end(), loaded.GetDataPtr(), loaded.GetDataPtr() + got);
  }
  EXPECT_TRUE(std::equal(shown.begin(), shown.end(), values.begin() + 7000, values.end()));
  EXPECT_EQ(shown.size(), 18000u);
  ASSERT_EQ(loaded.StreamPeaksFromFile(10, &got, &atEnd), 1);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(atEnd, 1);
  EXPECT_EQ(loaded.SeekToPeakIndex(25000), 0);

  // Streamed peaks are copied from the file when saved elsewhere.
  const std::string other = dir_.File("music/other.wav");
  WriteBytes(other, {'R', 'I', 'F', 'F'});
  ASSERT_EQ(loaded.SaveAs(other.c_str()), 1);
  EXPECT_EQ(ReadBytes(other + ".ipk"), bytes);
}

TEST_F(PeakFileTest, CacheIsUsedOnlyWhileNewerThanTheSound) {
  CPeaks built(10, -1);
  ASSERT_EQ(BuildPeaks(built, {1, 2, 3, 4}, 40, 1, &source_), 1);
  const time_t base = 1700000000;
  SetModified(sound_, base, 500'000'000);

  auto cached = [&](unsigned long ms) {
    CPeaks peaks;
    return peaks.LoadPeakCache(sound_.c_str(), ms, 1) == 1 && Held(peaks).size() == 4;
  };
  SetModified(ipk_, base, 501'000'000);  // one millisecond later
  EXPECT_TRUE(cached(10));
  EXPECT_FALSE(cached(20));              // other resolution: rebuild
  SetModified(ipk_, base, 500'900'000);  // same millisecond: may predate the sound's write
  EXPECT_FALSE(cached(10));
  SetModified(ipk_, base - 1, 0);
  EXPECT_FALSE(cached(10));

  // A refused cache leaves the object as it was.
  CPeaks peaks(10, -1);
  ASSERT_EQ(BuildPeaks(peaks, {9}, 10), 1);
  EXPECT_EQ(peaks.LoadPeakCache(sound_.c_str(), 10, 1), 0);
  EXPECT_EQ(Held(peaks), std::vector<unsigned char>{9});
  fs::remove(ipk_);
  EXPECT_EQ(peaks.LoadPeakCache(sound_.c_str(), 10, 1), 0);
  EXPECT_EQ(platform::last_error(), sonark::kErrPeakCacheStale);
}

TEST_F(PeakFileTest, CacheOfASoundReplacedWithItsDateKeptIsRefused) {
  CPeaks built(10, -1);
  ASSERT_EQ(BuildPeaks(built, {1, 2, 3, 4}, 40, 1, &source_), 1);
  SetModified(sound_, 1700000000, 0);
  SetModified(ipk_, 1700000001, 0);
  CPeaks peaks;
  ASSERT_EQ(peaks.LoadPeakCache(sound_.c_str(), 10, 1), 1);
  // Another take copied over the sound with its date kept (cp -p, rsync -t).
  WriteBytes(sound_, {'R', 'I', 'F', 'F', 0, 0});
  SetModified(sound_, 1700000000, 0);
  CPeaks stale;
  EXPECT_EQ(stale.LoadPeakCache(sound_.c_str(), 10, 1), 0);
  EXPECT_EQ(platform::last_error(), sonark::kErrPeakCacheStale);
  // A peak file that records no size (another writer's) is not trusted either.
  std::vector<unsigned char> bare = ReadBytes(ipk_);
  ASSERT_GT(bare.size(), 12u);
  bare.erase(bare.end() - 12, bare.end());
  WriteBytes(ipk_, bare);
  WriteBytes(sound_, {'R', 'I', 'F', 'F'});
  SetModified(sound_, 1700000000, 0);
  SetModified(ipk_, 1700000001, 0);
  EXPECT_EQ(stale.LoadPeakCache(sound_.c_str(), 10, 1), 0);
}

TEST_F(PeakFileTest, SideFileDirectoryHoldsThePeakFiles) {
  const std::string cache = dir_.File("cache");
  SetTempSndPath(cache.c_str());
  const std::string mapped = cache + sound_ + ".ipk";
  // A build killed before it finished left its temporary file; one of a live build stays.
  fs::create_directories(fs::path(mapped).parent_path());
  const std::string dead = mapped + ".tmp-999999999-0";
  const std::string live = mapped + ".tmp-" + std::to_string(getpid()) + "-999";
  WriteBytes(dead, {1});
  WriteBytes(live, {1});
  CPeaks peaks(10, -1);
  ASSERT_EQ(BuildPeaks(peaks, {5, 6}, 20, 1, &source_), 1);
  EXPECT_TRUE(fs::exists(mapped)) << mapped;
  EXPECT_FALSE(fs::exists(dead));
  EXPECT_TRUE(fs::exists(live));
  EXPECT_FALSE(fs::exists(ipk_));
  SetModified(mapped, 2000000000, 0);
  CPeaks again;
  EXPECT_EQ(again.LoadPeakCache(sound_.c_str(), 10, 1), 1);

  // A sound that already lies among the side files keeps its peak file beside it, and the
  // cache lookup finds it there.
  fs::create_directories(cache + "/rec");
  const std::string recording = cache + "/rec/take1.wav";
  WriteBytes(recording, {0});
  SetModified(recording, 1600000000, 0);
  CPeaks take(10, -1);
  ASSERT_EQ(take.InitPeaksToFile(recording.c_str()), 1);
  ASSERT_EQ(take.FinishPeaksFromParse(0, 0), 1);  // nothing streamed: no file is kept
  EXPECT_FALSE(fs::exists(recording + ".ipk"));
  ASSERT_EQ(take.InitPeakData(10, 1, 0), 1);
  ASSERT_EQ(take.InitBlankFile(recording.c_str(), 12), 1);
  EXPECT_EQ(ReadBytes(recording + ".ipk"),
            WithSoundSize(PeakFileBytes(12, 10, {0}, 0, 0, 0, 12, 0), 1));
  CPeaks found;
  EXPECT_EQ(found.LoadPeakCache(recording.c_str(), 10, 1), 1);
  EXPECT_EQ(found.GetAutoTrimTimeEnd(), 12);
}

TEST_F(PeakFileTest, FailedOrCancelledBuildLeavesNoPeakFile) {
  const std::vector<unsigned char> values = Pattern(30000);
  {
    // The disk fills up while the second buffer is appended.
    PeaksOnFillingDisk peaks(1, 12 + 15000);
    int toFile = 1;
    ASSERT_EQ(peaks.InitStreamPeaksFromParse(&toFile, &source_), 1);
    ASSERT_EQ(toFile, 1);
    int refused = -1;
    for (size_t i = 0; i < values.size() && refused < 0; ++i) {
      if (!peaks.StreamPeakFromParse(values[i], toFile)) refused = static_cast<int>(i);
    }
    EXPECT_EQ(refused, 19999);
    EXPECT_EQ(platform::last_error(), sonark::kErrPeakFileWrite);
    EXPECT_FALSE(fs::exists(ipk_));
    EXPECT_EQ(peaks.StreamPeakFromParse(1, toFile), 0);
    EXPECT_EQ(peaks.FinishPeaksFromParse(30000, toFile), 0);
    EXPECT_FALSE(fs::exists(ipk_));
  }
  {
    // All peaks fit in memory; only the trailer cannot be written. The peaks stay usable, the
    // file goes.
    PeaksOnFillingDisk peaks(10, 12 + 300);
    ASSERT_EQ(BuildPeaks(peaks, Pattern(300), 3000, 1, &source_), 1);
    EXPECT_FALSE(fs::exists(ipk_));
    EXPECT_EQ(peaks.WroteToDisk(), 0);
    EXPECT_EQ(Held(peaks), Pattern(300));
  }
  {
    // Windowed peaks whose trailer fails are lost.
    PeaksOnFillingDisk peaks(1, 12 + 30000);
    EXPECT_EQ(BuildPeaks(peaks, values, 30000, 1, &source_), 0);
    EXPECT_FALSE(fs::exists(ipk_));
  }
  {
    // Cancelled: the parse drops its peaks half way.
    auto* peaks = new CPeaks(1, -1);
    int toFile = 1;
    peaks->InitStreamPeaksFromParse(&toFile, &source_);
    for (int i = 0; i < 15000; ++i) peaks->StreamPeakFromParse(100, toFile);
    // Written under a temporary name until finished.
    EXPECT_FALSE(fs::exists(ipk_));
    EXPECT_EQ(PartialFiles(), 1u);
    delete peaks;
    EXPECT_FALSE(fs::exists(ipk_));
    EXPECT_EQ(PartialFiles(), 0u);
  }
  {
    // Closing the file half way is the same.
    CPeaks peaks(1, -1);
    int toFile = 1;
    peaks.InitStreamPeaksFromParse(&toFile, &source_);
    peaks.StreamPeakFromParse(100, toFile);
    peaks.ClosePeaksFile();
    EXPECT_FALSE(fs::exists(ipk_));
  }
  {
    // A peak file that cannot be created: the peaks are built in memory instead.
    fs::create_directories(ipk_);
    CPeaks peaks(1, -1);
    int toFile = 1;
    ASSERT_EQ(peaks.InitStreamPeaksFromParse(&toFile, &source_), 1);
    EXPECT_EQ(toFile, 0);
    for (unsigned char v : values) ASSERT_EQ(peaks.StreamPeakFromParse(v, toFile), 1);
    ASSERT_EQ(peaks.FinishPeaksFromParse(30000, toFile), 1);
    EXPECT_EQ(Held(peaks), values);
    EXPECT_TRUE(fs::is_directory(ipk_));
    fs::remove(ipk_);
  }
}

TEST_F(PeakFileTest, DamagedFilesAreRefused) {
  const std::vector<unsigned char> good = PeakFileBytes(30, 10, {1, 2, 3}, 100, 200, 0, 20, 0);
  const std::string path = dir_.File("damaged.ipk");
  auto load = [&](const std::vector<unsigned char>& bytes) {
    WriteBytes(path, bytes);
    CPeaks peaks(10, -1);
    BuildPeaks(peaks, {77}, 10);
    platform::clear_last_error();
    const int result = peaks.LoadPeaksFromFile(path.c_str(), 1);
    if (!result) {
      EXPECT_EQ(Held(peaks), std::vector<unsigned char>{77});  // left as it was
      EXPECT_EQ(platform::last_error(), sonark::kErrPeakFileDamaged);
    }
    return result;
  };
  EXPECT_EQ(load(good), 1);
  EXPECT_EQ(load(PeakFileBytes(30, 10, {}, 0, 0, 0, 0, 0)), 0);        // no peaks
  EXPECT_EQ(load(PeakFileBytes(30, 0, {1, 2, 3}, 0, 0, 0, 0, 0)), 0);  // 0 ms per peak
  EXPECT_EQ(load(PeakFileBytes(0, 10, {1, 2, 3}, 0, 0, 0, 0, 0)), 0);  // no length
  EXPECT_EQ(load(PeakFileBytes(-5, 10, {1, 2, 3}, 0, 0, 0, 0, 0)), 0);
  EXPECT_EQ(load(std::vector<unsigned char>(good.begin(), good.end() - 1)), 0);
  EXPECT_EQ(load(std::vector<unsigned char>(good.begin(), good.begin() + 14)), 0);
  EXPECT_EQ(load({}), 0);
  // The unfinished placeholder header of a writer that stopped.
  std::vector<unsigned char> unfinished = good;
  std::fill(unfinished.begin(), unfinished.begin() + 12, 0);
  EXPECT_EQ(load(unfinished), 0);
  // A count far beyond the file.
  std::vector<unsigned char> huge = good;
  huge[11] = 0x7F;
  EXPECT_EQ(load(huge), 0);
  // Trailers no writer produces.
  EXPECT_EQ(load(PeakFileBytes(30, 10, {1, 2, 3}, 40000, 0, 0, 0, 0)), 0);
  EXPECT_EQ(load(PeakFileBytes(30, 10, {1, 2, 3}, 0, 0, 25, 20, 0)), 0);
  EXPECT_EQ(load(PeakFileBytes(30, 10, {1, 2, 3}, 0, 0, 0, 99, 0)), 0);
  EXPECT_EQ(load(PeakFileBytes(30, 10, {1, 2, 3}, 0, 0, 0, 0, 2)), 0);
  // Extra bytes after the trailer do no harm.
  std::vector<unsigned char> longer = good;
  longer.push_back(0);
  EXPECT_EQ(load(longer), 1);

  CPeaks peaks;
  EXPECT_EQ(peaks.LoadPeaksFromFile(dir_.File("missing.ipk").c_str(), 1), 0);
  EXPECT_EQ(peaks.LoadPeaksFromFile(dir_.File("").c_str(), 1), 0);  // a directory
}

TEST_F(PeakFileTest, DeletePeakFileForgetsIt) {
  CPeaks peaks(10, -1);
  ASSERT_EQ(BuildPeaks(peaks, {1, 2}, 20, 1, &source_), 1);
  ASSERT_TRUE(fs::exists(ipk_));
  ASSERT_EQ(peaks.DeletePeakFile(), 1);
  EXPECT_FALSE(fs::exists(ipk_));
  EXPECT_EQ(peaks.WroteToDisk(), 0);
  EXPECT_EQ(peaks.ConserveMemory(), 0);  // nothing to reload from any more
  EXPECT_EQ(Held(peaks), (std::vector<unsigned char>{1, 2}));
  EXPECT_EQ(peaks.DeletePeakFile(), 0);
}

}  // namespace
