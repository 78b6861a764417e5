#include <gtest/gtest.h>
#include <utilities/last_dir_list.h>

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

}  // namespace
