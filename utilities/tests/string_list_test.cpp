#include <gtest/gtest.h>
#include <utilities/string_list.h>

#include <string>

namespace {

std::string All(const CStringList& list) {
  std::string all;
  for (int i = 0; i < list.Count(); ++i) all += std::string(list.Index(i)) + ";";
  return all;
}

TEST(CStringListTest, AddsAtEitherEndAndFindsWithoutRegardToCase) {
  CStringList list;
  std::string text = "Middle";
  list.PushBackList(text.c_str());
  text = "changed";  // the list keeps its own copy
  list.AddLatestString("First");
  list.PushBackList("Last");
  EXPECT_EQ(All(list), "First;Middle;Last;");
  EXPECT_EQ(list.StringIndex("LAST"), 2);
  EXPECT_EQ(list.StringIndex("middl"), -1);
  EXPECT_EQ(list.ContainsString("first"), 1);
  EXPECT_EQ(list.ContainsString("none"), 0);
  EXPECT_EQ(list.AddLatestString(nullptr), 0);
  EXPECT_EQ(list.StringIndex(nullptr), -1);
}

TEST(CStringListTest, DeletesByIndexWithinRangeAndCopiesAreIndependent) {
  CStringList list;
  for (const char* s : {"a", "b", "c"}) list.PushBackList(s);
  CStringList copy(list);
  EXPECT_EQ(list.DeleteIndex(1), 1);
  EXPECT_EQ(list.DeleteIndex(2), 0);
  EXPECT_EQ(list.DeleteIndex(-1), 0);
  EXPECT_EQ(list.Index(2), nullptr);
  EXPECT_EQ(All(list), "a;c;");
  EXPECT_EQ(All(copy), "a;b;c;");
  copy = list;
  list.DeleteStringList();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(All(copy), "a;c;");
}

}  // namespace
