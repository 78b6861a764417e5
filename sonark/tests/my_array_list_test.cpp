#include <gtest/gtest.h>
#include <sonark/containers/my_array_list.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace {

// Distinct item pointers without allocating anything.
void* Item(int n) { return reinterpret_cast<void*>(static_cast<intptr_t>(0x1000 + n * 16)); }

std::vector<long> Keys(const CMyArrayList& list) {
  std::vector<long> keys;
  for (int i = 0; i < list.Count(); ++i) {
    long key = 0;
    list.Index(i, &key);
    keys.push_back(key);
  }
  return keys;
}

TEST(MyArrayList, SortedInsertTieBreaks) {
  CMyArrayList list;
  // Equal to the first key: each new one goes to the head.
  EXPECT_EQ(list.AddSorted(Item(1), 5), 0);
  EXPECT_EQ(list.AddSorted(Item(2), 5), 0);
  EXPECT_EQ(list.AddSorted(Item(3), 5), 0);
  EXPECT_EQ(list.Index(0), Item(3));
  EXPECT_EQ(list.Index(2), Item(1));

  CMyArrayList three;
  three.AddSorted(Item(0), 0);
  three.AddSorted(Item(5), 5);
  three.AddSorted(Item(10), 10);
  EXPECT_EQ(three.AddSorted(Item(50), 5), 1);  // before the existing 5
  EXPECT_EQ(three.Index(2), Item(5));
  EXPECT_EQ(three.AddSorted(Item(100), 10), 4);  // after the existing 10
  EXPECT_EQ(three.Index(3), Item(10));
  EXPECT_EQ(Keys(three), (std::vector<long>{0, 5, 5, 10, 10}));
}

// Against a model: a middle key goes before every key >= it; the ends follow the tie-breaks.
TEST(MyArrayList, SortedInsertMatchesModel) {
  std::mt19937 random(7);
  CMyArrayList list;
  std::vector<std::pair<void*, long>> model;
  for (int n = 0; n < 400; ++n) {
    long key = static_cast<long>(random() % 40) - 20;
    size_t at = 0;
    if (model.empty() || key <= model.front().second) {
      at = 0;
    } else if (key >= model.back().second) {
      at = model.size();
    } else {
      at = std::lower_bound(model.begin(), model.end(), key,
                            [](const auto& e, long k) { return e.second < k; }) -
           model.begin();
    }
    model.insert(model.begin() + static_cast<long>(at), {Item(n), key});
    ASSERT_EQ(list.AddSorted(Item(n), key), static_cast<int>(at));
  }
  for (size_t i = 0; i < model.size(); ++i) {
    long key = 0;
    ASSERT_EQ(list.Index(static_cast<int>(i), &key), model[i].first);
    ASSERT_EQ(key, model[i].second);
  }
}

TEST(MyArrayList, GrowsAndShrinksInStepsOfTen) {
  CMyArrayList list;
  EXPECT_EQ(list.Capacity(), 0);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(list.AppendToTail(Item(i), i), i);
  EXPECT_EQ(list.Capacity(), 10);
  list.AppendToTail(Item(10), 10);
  EXPECT_EQ(list.Capacity(), 20);
  for (int i = 11; i < 21; ++i) list.AppendToTail(Item(i), i);
  EXPECT_EQ(list.Capacity(), 30);

  list.RemoveByIndex(0);  // 20 left: one step down
  EXPECT_EQ(list.Capacity(), 20);
  for (int i = 0; i < 9; ++i) list.RemoveByIndex(list.Count() - 1);
  EXPECT_EQ(list.Count(), 11);
  EXPECT_EQ(list.Capacity(), 20);
  list.Remove(Item(1));
  EXPECT_EQ(list.Capacity(), 10);
  EXPECT_EQ(list.Index(0), Item(2));
  while (list.Count() > 1) list.RemoveByIndex(0);
  EXPECT_EQ(list.Capacity(), 10);
  list.RemoveByIndex(0);
  EXPECT_EQ(list.Capacity(), 0);  // storage freed; the next insert allocates afresh
  EXPECT_EQ(list.InsertNewHead(Item(1), 1), 0);
  EXPECT_EQ(list.Capacity(), 10);
}

TEST(MyArrayList, RemovalsAndLookups) {
  CMyArrayList list;
  EXPECT_EQ(list.Index(0), nullptr);
  EXPECT_EQ(list.ElemBySortValue(3), nullptr);
  list.RemoveByIndex(0);  // empty: nothing happens
  for (int i = 0; i < 5; ++i) list.AppendToTail(Item(i), i * 10);
  list.InsertNewHead(Item(9), -10);
  EXPECT_EQ(list.Index(-1), nullptr);
  EXPECT_EQ(list.Index(6), nullptr);
  EXPECT_TRUE(list.Member(Item(9)));
  EXPECT_FALSE(list.Member(Item(42)));

  list.Remove(Item(42));
  list.RemoveByIndex(6);
  list.RemoveByIndex(-1);
  EXPECT_EQ(list.Count(), 6);
  list.Remove(Item(2));
  EXPECT_EQ(Keys(list), (std::vector<long>{-10, 0, 10, 30, 40}));
  list.RemoveByIndex(4);
  list.RemoveByIndex(0);
  EXPECT_EQ(Keys(list), (std::vector<long>{0, 10, 30}));

  list.AdjustAllSortValues(5);
  EXPECT_EQ(Keys(list), (std::vector<long>{5, 15, 35}));

  CMyArrayList copy(list);
  EXPECT_EQ(Keys(copy), Keys(list));
  EXPECT_EQ(copy.Index(2), list.Index(2));
  copy.RemoveAll();
  EXPECT_EQ(list.Count(), 3);
  copy = list;
  EXPECT_EQ(Keys(copy), Keys(list));
}

TEST(MyArrayList, ElemBySortValue) {
  CMyArrayList two;
  two.AppendToTail(Item(0), 0);
  two.AppendToTail(Item(1), 100);
  int index = -1;
  long key = -1;
  // With two elements anything past the first key picks the second.
  EXPECT_EQ(two.ElemBySortValue(50, &index, &key), Item(1));
  EXPECT_EQ(index, 1);
  EXPECT_EQ(key, 100);
  EXPECT_EQ(two.ElemBySortValue(0, &index), Item(0));
  EXPECT_EQ(two.ElemBySortValue(-5, &index), Item(0));

  CMyArrayList three;
  three.AppendToTail(Item(0), 0);
  three.AppendToTail(Item(1), 100);
  three.AppendToTail(Item(2), 200);
  EXPECT_EQ(three.ElemBySortValue(50), Item(0));
  EXPECT_EQ(three.ElemBySortValue(250), Item(2));
  EXPECT_EQ(three.ElemBySortValue(100), Item(1));
  EXPECT_EQ(three.ElemBySortValue(-1), Item(0));

  // Distinct keys of any count: the exact key, else the last smaller one, else element 0.
  std::mt19937 random(3);
  for (int size = 3; size < 40; ++size) {
    CMyArrayList list;
    std::vector<long> keys;
    long k = 0;
    for (int i = 0; i < size; ++i) {
      k += 1 + static_cast<long>(random() % 5);
      keys.push_back(k);
      list.AppendToTail(Item(i), k);
    }
    for (long value = -2; value <= k + 2; ++value) {
      int expected =
          static_cast<int>(std::upper_bound(keys.begin(), keys.end(), value) - keys.begin()) - 1;
      ASSERT_EQ(list.ElemBySortValue(value, &index), Item(std::max(expected, 0)))
          << "size " << size << " value " << value;
      ASSERT_EQ(index, std::max(expected, 0));
    }
  }
}

TEST(MyArrayList, ScalingTruncatesTowardZero) {
  CMyArrayList list;
  list.AppendToTail(Item(0), -7);
  list.AppendToTail(Item(1), 7);
  list.AppendToTail(Item(2), 1001);
  list.ScaleAllSortValues(0.5);
  EXPECT_EQ(Keys(list), (std::vector<long>{-3, 3, 500}));
  list.ScaleAllSortValues(2.0);
  EXPECT_EQ(Keys(list), (std::vector<long>{-6, 6, 1000}));
  EXPECT_EQ(TruncateToLong(1e300), std::numeric_limits<long>::max());
  EXPECT_EQ(TruncateToLong(-1e300), std::numeric_limits<long>::min());
}

}  // namespace
