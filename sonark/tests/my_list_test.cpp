#include <gtest/gtest.h>
#include <sonark/containers/my_array_list.h>
#include <sonark/containers/my_list.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

void* Item(int n) { return reinterpret_cast<void*>(static_cast<intptr_t>(0x2000 + n * 16)); }

std::vector<long> Keys(CMyList& list) {
  std::vector<long> keys;
  for (int i = 0; i < list.Count(); ++i) {
    long key = 0;
    list.Index(i, &key);
    keys.push_back(key);
  }
  return keys;
}

TEST(MyList, SortedInsertAgreesWithArray) {
  std::mt19937 random(11);
  CMyList list;
  CMyArrayList array;
  for (int n = 0; n < 300; ++n) {
    long key = static_cast<long>(random() % 30);
    ASSERT_EQ(list.AddSorted(Item(n), key), array.AddSorted(Item(n), key));
  }
  for (int i = 0; i < array.Count(); ++i) ASSERT_EQ(list.Index(i), array.Index(i));

  CMyList three;
  three.AddSorted(Item(0), 0);
  three.AddSorted(Item(5), 5);
  three.AddSorted(Item(10), 10);
  EXPECT_EQ(three.AddSorted(Item(50), 5), 1);
  EXPECT_EQ(three.AddSorted(Item(100), 10), 4);
  EXPECT_EQ(three.AddSorted(Item(-1), 0), 0);
  EXPECT_EQ(Keys(three), (std::vector<long>{0, 0, 5, 5, 10, 10}));
}

TEST(MyList, CursorFollowsInsertions) {
  CMyList list;
  EXPECT_EQ(list.CursorIndex(), -1);
  EXPECT_EQ(list.InsertAfter(Item(0), 3), 0);  // empty: the only node
  EXPECT_EQ(list.AppendToTail(Item(1), 10), 1);
  EXPECT_EQ(list.AppendToTail(Item(2), 20), 2);
  EXPECT_EQ(list.Index(1), Item(1));
  EXPECT_EQ(list.CursorIndex(), 1);

  // A head insertion keeps the cursor on its node, one index further.
  EXPECT_EQ(list.InsertNewHead(Item(3), -5), 0);
  EXPECT_EQ(list.CursorIndex(), 2);
  EXPECT_EQ(list.Index(2), Item(1));

  long key = -1;
  EXPECT_EQ(list.InsertAfter(Item(4), 1), 2);
  EXPECT_EQ(list.CursorIndex(), 2);
  EXPECT_EQ(list.Index(2, &key), Item(4));
  EXPECT_EQ(key, 0);                            // InsertAfter nodes carry sort value 0
  EXPECT_EQ(list.InsertAfter(Item(5), 99), 5);  // beyond the end: after the tail
  EXPECT_EQ(list.Index(5), Item(5));
  EXPECT_EQ(list.Index(0), Item(3));  // backward lookups restart at the head
  EXPECT_EQ(list.Index(4), Item(2));
  EXPECT_EQ(list.Index(6), nullptr);
  EXPECT_EQ(list.Index(-1), nullptr);
}

TEST(MyList, CursorStaysValidAcrossRemovals) {
  CMyList list;
  for (int i = 0; i < 6; ++i) list.AppendToTail(Item(i), i * 10);
  list.Index(3);
  list.Remove(Item(0));  // the head: the cursor returns to the new head
  EXPECT_EQ(list.CursorIndex(), 0);
  EXPECT_EQ(list.Index(0), Item(1));

  list.Index(2);         // Item(3)
  list.Remove(Item(3));  // the cursor's own node
  EXPECT_EQ(list.Index(2), Item(4));
  list.Index(3);         // Item(5)
  list.Remove(Item(2));  // before the cursor
  EXPECT_EQ(list.Index(2), Item(5));
  list.Remove(Item(5));  // the tail
  list.AppendToTail(Item(7), 70);
  EXPECT_EQ(list.Index(2), Item(7));
  list.Remove(Item(42));
  EXPECT_EQ(list.Count(), 3);

  list.Index(2);
  EXPECT_FALSE(list.Member(Item(42)));
  EXPECT_EQ(list.CursorIndex(), 0);  // a failed search leaves the cursor at the head
  EXPECT_TRUE(list.Member(Item(7)));

  // Random edits against a model: every index lookup must agree afterwards.
  std::mt19937 random(5);
  std::vector<void*> model;
  CMyList other;
  for (int n = 0; n < 500; ++n) {
    int op = static_cast<int>(random() % 5);
    int at = model.empty() ? 0 : static_cast<int>(random() % model.size());
    if (op == 0 || model.empty()) {
      other.InsertNewHead(Item(n), 0);
      model.insert(model.begin(), Item(n));
    } else if (op == 1) {
      other.InsertAfter(Item(n), at);
      model.insert(model.begin() + at + 1, Item(n));
    } else if (op == 2) {
      other.RemoveByIndex(at);
      model.erase(model.begin() + at);
    } else if (op == 3) {
      other.Remove(model[at]);
      model.erase(model.begin() + at);
    } else {
      ASSERT_EQ(other.Index(at), model[at]);
    }
    ASSERT_EQ(other.Count(), static_cast<int>(model.size()));
  }
  for (int i = static_cast<int>(model.size()) - 1; i >= 0; --i) ASSERT_EQ(other.Index(i), model[i]);
}

TEST(MyList, RemoveByIndexOutsideTheListChangesNothing) {
  CMyList list;
  list.AppendToTail(nullptr, 0);  // a null item must not be removed by a bad index
  list.AppendToTail(Item(1), 1);
  list.RemoveByIndex(5);
  list.RemoveByIndex(-1);
  EXPECT_EQ(list.Count(), 2);
  list.RemoveByIndex(1);
  EXPECT_EQ(list.Count(), 1);
  list.RemoveByIndex(0);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.CursorIndex(), -1);
  EXPECT_EQ(list.AppendToTail(Item(2), 2), 0);
}

TEST(MyList, ElemBySortValueGivesTheNodeBefore) {
  CMyList list;
  EXPECT_EQ(list.ElemBySortValue(0), nullptr);
  list.AppendToTail(Item(0), 0);
  list.AppendToTail(Item(1), 100);
  list.AppendToTail(Item(2), 200);
  int index = -1;
  long key = -1;
  EXPECT_EQ(list.ElemBySortValue(100, &index, &key), Item(0));
  EXPECT_EQ(index, 0);
  EXPECT_EQ(key, 0);
  EXPECT_EQ(list.ElemBySortValue(150, &index), Item(1));
  EXPECT_EQ(list.CursorIndex(), 1);
  EXPECT_EQ(list.ElemBySortValue(0), Item(0));
  EXPECT_EQ(list.ElemBySortValue(-50), Item(0));
  EXPECT_EQ(list.ElemBySortValue(900, &index), Item(2));
  EXPECT_EQ(index, 2);

  CMyList copy(list);
  list.RemoveAll();
  EXPECT_EQ(Keys(copy), (std::vector<long>{0, 100, 200}));
}

}  // namespace
