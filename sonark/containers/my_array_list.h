#pragma once

#include <sonark/visibility.h>

#include <limits>

// Direction in which CMyArrayList moves a run of elements to open or close a slot.
enum _tshift {
  kShiftTowardEnd = 0,    // opens a free slot at the given index
  kShiftTowardStart = 1,  // closes the slot just before the given index
};

// One pair of an ordered list: an untyped item (never owned) and the key it is sorted by,
// in practice a time offset in milliseconds.
struct _tArrayListElement {
  void* item;
  long sortValue;
};

// A contiguous list of (item, sort value) pairs. Storage is one block that grows and shrinks
// by one step of 10 elements per call, so an insertion or removal reallocates at most once.
// Items are never owned. Sorted order holds as long as only AddSorted (or head insertions of
// a smallest key, tail appends of a largest one) are used. Not thread-safe: owners lock.
class SONARK_API CMyArrayList {
 public:
  CMyArrayList();
  // Shares the source's items; allocates room for its count.
  CMyArrayList(const CMyArrayList& other);
  CMyArrayList& operator=(const CMyArrayList& other);
  ~CMyArrayList();

  // Inserts at index 0; returns 0 (nothing is inserted when storage cannot grow).
  int InsertNewHead(void* item, long sortValue);
  // Returns the new index, or the last index when storage cannot grow.
  int AppendToTail(void* item, long sortValue);
  // Inserts before every element whose key is >= sortValue, except that a key >= the last
  // one is appended after it. Returns the index used, -1 when storage cannot grow.
  int AddSorted(void* item, long sortValue);
  // Removes the first element holding `item`; absent items change nothing.
  void Remove(void* item);
  // Indexes outside 0 ... count - 1 change nothing.
  void RemoveByIndex(int index);
  void RemoveAll();
  int Member(void* item) const;
  // Null when `index` is outside the list.
  void* Index(int index, long* sortValue = nullptr) const;
  // The element with exactly `value` (the later one of two adjacent equal keys), else the
  // last element with a smaller key, else element 0. A list of two elements answers by
  // comparing with the first key only: the second element whenever value exceeds it.
  void* ElemBySortValue(long value, int* index = nullptr, long* sortValue = nullptr) const;
  void AdjustAllSortValues(long delta);
  // Each key becomes key x factor, truncated toward zero.
  void ScaleAllSortValues(double factor);

  int Count() const { return count_; }
  // Elements the storage holds room for; 0 while no storage exists.
  int Capacity() const { return capacity_; }

 private:
  int Grow(int needed);
  void Shrink(int count);
  void Shift(int index, _tshift direction);
  void InsertAt(int index, void* item, long sortValue);

  _tArrayListElement* elements_ = nullptr;
  int capacity_ = 0;
  int count_ = 0;
};

// Converts with truncation toward zero; values beyond the range of long are held at its
// limits and NaN becomes 0, so scaled keys never invoke undefined conversions.
inline long TruncateToLong(double value) {
  constexpr double kLimit = 9.2233720368547748e18;  // 2^63
  if (value != value) return 0;
  if (value >= kLimit) return std::numeric_limits<long>::max();
  if (value <= -kLimit) return std::numeric_limits<long>::min();
  return static_cast<long>(value);
}
