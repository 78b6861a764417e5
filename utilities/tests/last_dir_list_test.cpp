#include <gtest/gtest.h>
#include <platform/settings_store.h>
#include <tarnell/reg_key.h>
#include <unistd.h>
#include <utilities/last_dir_list.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace {

FILETIME At(uint64_t t) { return utilities::file_time_from_value(t); }

std::string All(const CLastDirList& list) {
  std::string all;
  for (int i = 0; i < list.Count(); ++i) {
    const _lastDirList* e = list.Index(i);
    all += std::string(e->path) + "@" + std::to_string(utilities::file_time_value(e->time)) + "=" +
           std::to_string(e->value) + ";";
  }
  return all;
}

TEST(CLastDirListTest, AddKeepsNewestFirst) {
  CLastDirList list;
  list.Add("/b", At(20), 2);
  list.Add("/a", At(30), 1);
  list.Add("/c", At(10), 3);
  list.Add("/b2", At(20), 4);  // equal times: after the one already there
  EXPECT_EQ(All(list), "/a@30=1;/b@20=2;/b2@20=4;/c@10=3;");
  EXPECT_EQ(list.Add(nullptr, At(1), 0), 0);
  EXPECT_EQ(list.Add(std::string(kLastDirPathSize, 'x').c_str(), At(1), 0), 0);
  EXPECT_EQ(list.Count(), 4);
}

TEST(CLastDirListTest, AddPtrTakesTheEntrySortedOrAppended) {
  CLastDirList list;
  list.Add("/new", At(50), 0);
  list.Add("/old", At(10), 0);
  auto* middle = new _lastDirList{"/mid", At(30), 7};
  auto* tail = new _lastDirList{"/tail", At(90), 8};
  EXPECT_EQ(list.AddPtr(middle, 1), 1);
  EXPECT_EQ(list.AddPtr(tail, 0), 1);
  EXPECT_EQ(list.AddPtr(nullptr, 1), 0);
  EXPECT_EQ(All(list), "/new@50=0;/mid@30=7;/old@10=0;/tail@90=8;");
  EXPECT_EQ(list.Index(1), middle);
  list.Sort();
  EXPECT_EQ(All(list), "/tail@90=8;/new@50=0;/mid@30=7;/old@10=0;");
}

TEST(CLastDirListTest, MoveOrAddToTopKeepsTheValueAndStampsTheTime) {
  CLastDirList list;
  list.Add("/x", At(5), 42);
  list.Add("/y", At(3), 0);
  uint64_t before = utilities::file_time_value(utilities::current_file_time());
  EXPECT_EQ(list.MoveOrAddToTop("/y"), 1);
  EXPECT_EQ(list.MoveOrAddToTop("/fresh"), 1);
  EXPECT_EQ(list.MoveOrAddToTop("/x"), 1);
  uint64_t after = utilities::file_time_value(utilities::current_file_time());
  ASSERT_EQ(list.Count(), 3);
  EXPECT_STREQ(list.Index(0)->path, "/x");
  EXPECT_EQ(list.Index(0)->value, 42);
  EXPECT_STREQ(list.Index(1)->path, "/fresh");
  EXPECT_EQ(list.Index(1)->value, kLastDirNewValue);
  EXPECT_STREQ(list.Index(2)->path, "/y");
  EXPECT_EQ(list.Index(2)->value, 0);
  for (int i = 0; i < 3; ++i) {
    uint64_t t = utilities::file_time_value(list.Index(i)->time);
    EXPECT_GE(t, before);
    EXPECT_LE(t, after);
  }
  // A time after 2020 in 100 ns steps since 1601.
  EXPECT_GT(before, 132223104000000000ull);
}

TEST(CLastDirListTest, UpdateOrAddMovesOnlyWhenAskedAndPathsAreExact) {
  CLastDirList list;
  list.Add("/a", At(30), 1);
  list.Add("/b", At(20), 2);
  list.Add("/c", At(10), 3);
  EXPECT_EQ(list.UpdateOrAdd("/c", At(40), 9, 0), 1);
  EXPECT_EQ(All(list), "/a@30=1;/b@20=2;/c@40=9;");
  EXPECT_EQ(list.UpdateOrAdd("/b", At(50), 8, 1), 1);
  EXPECT_EQ(All(list), "/b@50=8;/a@30=1;/c@40=9;");
  EXPECT_EQ(list.UpdateOrAdd("/A", At(35), 7, 1), 1);
  EXPECT_EQ(All(list), "/b@50=8;/A@35=7;/a@30=1;/c@40=9;");

  EXPECT_EQ(list.ContainsDir("/A"), 1);
  EXPECT_EQ(list.ContainsDir("/d"), 0);
  EXPECT_EQ(list.DeletePath("/a"), 1);
  EXPECT_EQ(list.DeletePath("/a"), 0);
  EXPECT_EQ(list.DeleteIndex(0), 1);
  EXPECT_EQ(list.DeleteIndex(5), 0);
  EXPECT_EQ(All(list), "/A@35=7;/c@40=9;");
}

TEST(CLastDirListTest, CopiesOwnTheirEntries) {
  CLastDirList list;
  list.Add("/a", At(1), 1);
  CLastDirList copy(list);
  list.DeleteAll();
  EXPECT_EQ(list.Count(), 0);
  ASSERT_EQ(copy.Count(), 1);
  EXPECT_STREQ(copy.Index(0)->path, "/a");
  list = copy;
  copy.Index(0)->value = 5;
  EXPECT_EQ(list.Index(0)->value, 1);
}

// The settings store is pointed at a file of the test's own.
class LastDirListStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("last_dir_list_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    const char* old = getenv("QUARL_REGISTRY");
    had_old_ = old != nullptr;
    if (had_old_) old_ = old;
    setenv("QUARL_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
  }
  void TearDown() override {
    if (had_old_)
      setenv("QUARL_REGISTRY", old_.c_str(), 1);
    else
      unsetenv("QUARL_REGISTRY");
    std::filesystem::remove_all(dir_);
  }

  std::unique_ptr<CRegKey> Key() {
    CRegKey root;
    return std::unique_ptr<CRegKey>(root.CreateSubKey("SOFTWARE\\Tessel\\Test\\LastDirs"));
  }

  std::filesystem::path dir_;
  bool had_old_ = false;
  std::string old_;
};

TEST_F(LastDirListStoreTest, WritesAndReadsBackInOrder) {
  CLastDirList list;
  list.Add("/music/older", At(0x0123456789ABCDEFull), -5);
  list.Add("/music/new est", At(0xFEDCBA9876543210ull), 1000);
  auto key = Key();
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(list.WriteToKey(key.get()), 1);

  CLastDirList back;
  back.Add("/replaced", At(1), 1);
  ASSERT_EQ(back.ReadFromKey(Key().get()), 1);
  EXPECT_EQ(All(back), All(list));
  EXPECT_EQ(back.Index(1)->value, -5);
}

TEST_F(LastDirListStoreTest, AShorterListLeavesNoStaleEntriesAndDamagedOnesAreSkipped) {
  CLastDirList list;
  for (int i = 0; i < 4; ++i) list.Add(("/d" + std::to_string(i)).c_str(), At(10 - i), i);
  auto key = Key();
  ASSERT_EQ(list.WriteToKey(key.get()), 1);
  list.DeleteIndex(3);
  list.DeleteIndex(2);
  ASSERT_EQ(list.WriteToKey(key.get()), 1);
  EXPECT_EQ(key->SubKeyExists("Dir2"), 0);

  key->SetKeyData("Time0", "short", 5);
  key->SetKeyNum("Count", 0xFFFFFFFFul);  // a damaged count must not make reading run away
  CLastDirList back;
  ASSERT_EQ(back.ReadFromKey(key.get()), 1);
  EXPECT_EQ(All(back), "/d1@9=1;");

  // However long the list, the settings file is written once.
  static int saves;
  saves = 0;
  platform::set_settings_save_hook([](const char*) { ++saves; });
  for (int i = 0; i < 10; ++i) list.Add(("/e" + std::to_string(i)).c_str(), At(100 + i), i);
  EXPECT_EQ(list.WriteToKey(key.get()), 1);
  platform::set_settings_save_hook(nullptr);
  EXPECT_EQ(saves, 1);
  ASSERT_EQ(back.ReadFromKey(key.get()), 1);
  EXPECT_EQ(All(back), All(list));

  CLastDirList empty;
  EXPECT_EQ(empty.ReadFromKey(nullptr), 0);
  EXPECT_EQ(empty.WriteToKey(nullptr), 0);
}

}  // namespace
