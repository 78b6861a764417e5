#include <gtest/gtest.h>
#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/load/seek_map.h>
#include <tarnell/tests/temp_dir.h>

#include <string>

#include "wave_test_support.h"

namespace {

using wave_test::Bytes;

// Owns the creator's reference of a map.
struct MapHolder {
  CSeekMap* map = new CSeekMap;
  ~MapHolder() { DeleteSeekMap(&map); }
  CSeekMap* operator->() const { return map; }
};

// Frames of 417 bytes that each decode to 4608 PCM bytes.
void FillFrames(CSeekMap* map, int count) {
  for (int i = 0; i < count; ++i) {
    ASSERT_EQ(map->AddEntry(static_cast<uint32_t>(i * 417), i * 4608), 1);
  }
}

TEST(SeekMapTest, EntriesStaySortedByPcmPosition) {
  MapHolder map;
  map->AddEntry(834, 9216);
  map->AddEntry(0, 0);
  map->AddEntry(417, 4608);
  map->AddEntry(420, 4608);
  ASSERT_EQ(map->Count(), 4);
  EXPECT_EQ(map->ElementAt(0), 0u);
  EXPECT_EQ(map->ElementAt(1) + map->ElementAt(2), 417u + 420u);
  EXPECT_EQ(map->SortValueAt(2), 4608);
  EXPECT_EQ(map->ElementAt(3), 834u);
  // Indexes are clamped into the list.
  EXPECT_EQ(map->SortValueAt(-5), 0);
  EXPECT_EQ(map->SortValueAt(99), 9216);
  MapHolder empty;
  EXPECT_EQ(empty->SortValueAt(0), 0);
  EXPECT_EQ(empty->FindBySortValue(100, 0, nullptr, nullptr), -1);
}

TEST(SeekMapTest, FindTakesTheLastEntryNotAboveThePositionAndStepsBack) {
  MapHolder map;
  FillFrames(map.map, 10);
  uint32_t frame = 0;
  int32_t position = 0;
  EXPECT_EQ(map->FindBySortValue(4608 * 3, 0, &frame, &position), 3);
  EXPECT_EQ(frame, 3u * 417);
  EXPECT_EQ(position, 4608 * 3);
  EXPECT_EQ(map->FindBySortValue(4608 * 3 + 4607, 0, &frame, &position), 3);
  EXPECT_EQ(map->FindBySortValue(4608 * 3 - 1, 0, &frame, &position), 2);
  // Two frames back for the bit reservoir; never before the first entry.
  EXPECT_EQ(map->FindBySortValue(4608 * 3, 2, &frame, &position), 1);
  EXPECT_EQ(position, 4608);
  EXPECT_EQ(map->FindBySortValue(4608, 5, &frame, &position), 0);
  EXPECT_EQ(map->FindBySortValue(-100, 0, &frame, &position), 0);
  EXPECT_EQ(map->FindBySortValue(1 << 30, 0, &frame, &position), 9);
  EXPECT_EQ(map->FindBySortValue(1 << 30, -3, &frame, &position), 9);
}

TEST(SeekMapTest, TwoEntryMapNeverRestartsPastThePosition) {
  MapHolder map;
  FillFrames(map.map, 2);
  int32_t position = -1;
  EXPECT_EQ(map->FindBySortValue(100, 0, nullptr, &position), 0);
  EXPECT_EQ(position, 0);
  EXPECT_EQ(map->FindBySortValue(4608, 0, nullptr, &position), 1);
}

TEST(SeekMapTest, FileRoundTripsInLittleEndianRecords) {
  TempDir dir;
  const std::string path = dir.File("a.wav.isk");
  MapHolder map;
  map->AddEntry(0x01020304, 0x0A0B0C0D);
  map->AddEntry(0xFFFFFFF0u, 0x7FFFFFFF);
  ASSERT_EQ(map->SaveToFile(path.c_str()), 1);
  EXPECT_STREQ(map->FilePath(), path.c_str());
  const Bytes expected = {4,    3,    2,    1,    0x0D, 0x0C, 0x0B, 0x0A,
                          0xF0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
  EXPECT_EQ(wave_test::ReadFile(path), expected);
  // No temporary file stays behind.
  EXPECT_FALSE(wave_test::FileExists(dir.File("a.wav.new.isk")));

  MapHolder loaded;
  ASSERT_EQ(loaded->LoadFromFile(path.c_str()), 1);
  ASSERT_EQ(loaded->Count(), 2);
  EXPECT_EQ(loaded->ElementAt(1), 0xFFFFFFF0u);
  EXPECT_EQ(loaded->SortValueAt(1), 0x7FFFFFFF);
  EXPECT_STREQ(loaded->FilePath(), path.c_str());

  EXPECT_EQ(loaded->DeleteFile(), 1);
  EXPECT_FALSE(wave_test::FileExists(path));
  EXPECT_STREQ(loaded->FilePath(), "");
  EXPECT_EQ(loaded->DeleteFile(), 0);
}

TEST(SeekMapTest, LargeMapRoundTrips) {
  TempDir dir;
  const std::string path = dir.File("long.isk");
  MapHolder map;
  FillFrames(map.map, 50000);
  ASSERT_EQ(map->SaveToFile(path.c_str()), 1);
  MapHolder loaded;
  ASSERT_EQ(loaded->LoadFromFile(path.c_str()), 1);
  ASSERT_EQ(loaded->Count(), 50000);
  for (int i : {0, 1, 8191, 8192, 8193, 49999}) {
    EXPECT_EQ(loaded->ElementAt(i), static_cast<uint32_t>(i * 417));
    EXPECT_EQ(loaded->SortValueAt(i), i * 4608);
  }
}

TEST(SeekMapTest, FilesWeDidNotWriteAreRefusedAndLeaveTheMapAlone) {
  TempDir dir;
  const std::string path = dir.File("bad.isk");
  MapHolder map;
  FillFrames(map.map, 3);
  auto refused = [&](const Bytes& bytes) {
    wave_test::WriteFile(path, bytes);
    platform::clear_last_error();
    const int result = map->LoadFromFile(path.c_str());
    EXPECT_EQ(map->Count(), 3);
    EXPECT_EQ(map->SortValueAt(2), 2 * 4608);
    EXPECT_STREQ(map->FilePath(), "");
    return result == 0 && platform::last_error() == sonark::kErrSeekMapDamaged;
  };
  EXPECT_TRUE(refused({}));
  // A size that is not a whole number of records fails at its last record.
  EXPECT_TRUE(refused({0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0}));
  // PCM positions going back, frames going back, a negative position.
  EXPECT_TRUE(refused({0, 0, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0, 8, 0, 0, 0}));
  EXPECT_TRUE(refused({5, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 8, 0, 0, 0}));
  EXPECT_TRUE(refused({0, 0, 0, 0, 0, 0, 0, 0x80}));

  platform::clear_last_error();
  EXPECT_EQ(map->LoadFromFile(dir.File("missing.isk").c_str()), 0);
  EXPECT_NE(platform::last_error(), 0u);
}

TEST(SeekMapTest, SaveThatCannotWriteLeavesNoFile) {
  TempDir dir;
  MapHolder map;
  FillFrames(map.map, 2);
  platform::clear_last_error();
  EXPECT_EQ(map->SaveToFile(dir.File("no/such/dir/a.isk").c_str()), 0);
  EXPECT_EQ(platform::last_error(), sonark::kErrSeekMapWrite);
  EXPECT_STREQ(map->FilePath(), "");
}

TEST(SeekMapTest, LastReferenceDestroysAndHolderIsNulled) {
  CSeekMap* map = new CSeekMap;
  EXPECT_EQ(map->References(), 1);
  map->AddReference();
  CSeekMap* second = map;
  EXPECT_EQ(map->References(), 2);
  DeleteSeekMap(&map);
  EXPECT_EQ(map, nullptr);
  EXPECT_EQ(second->References(), 1);
  // The sanitizer builds see a leak or a double free here if counting is wrong.
  DeleteSeekMap(&second);
  EXPECT_EQ(second, nullptr);
  DeleteSeekMap(&second);
}

}  // namespace
