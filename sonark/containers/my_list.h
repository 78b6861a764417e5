#pragma once

#include <sonark/visibility.h>

// One node of CMyList.
struct _tListNode {
  void* item;
  long sortValue;
  _tListNode* next;
};

// A singly linked list of (item, sort value) pairs with a remembered cursor: lookups by index
// that move forward start from the cursor, so walking the list by increasing index is linear
// overall. Items are never owned. Not thread-safe: owners lock.
class SONARK_API CMyList {
 public:
  CMyList();
  // Copies the pairs (sharing the items); the cursor starts at the head.
  CMyList(const CMyList& other);
  CMyList& operator=(const CMyList& other);
  ~CMyList();

  // Returns 0; the cursor stays on the node it was on. Nothing is inserted when out of memory.
  int InsertNewHead(void* item, long sortValue);
  // Returns the new index (count - 1 also when out of memory).
  int AppendToTail(void* item, long sortValue);
  // Links a node with sort value 0 after the element at `index` (after the tail when index
  // >= count, at the head when index < 0) and puts the cursor on it. Returns its index, -1
  // when out of memory.
  int InsertAfter(void* item, int index);
  // Same placement and tie-breaks as CMyArrayList::AddSorted; -1 when out of memory.
  int AddSorted(void* item, long sortValue);
  // Unlinks the first node holding `item`; absent items change nothing.
  void Remove(void* item);
  // Unlinks the node at `index`; indexes outside the list change nothing.
  void RemoveByIndex(int index);
  void RemoveAll();
  // When `item` is absent the cursor returns to the head.
  int Member(void* item);
  // Null when `index` is outside the list; leaves the cursor on the node found.
  void* Index(int index, long* sortValue = nullptr);
  // The head when its key is >= value, otherwise the last node whose key is < value (so an
  // exact key yields the node before it). Leaves the cursor on the result.
  void* ElemBySortValue(long value, int* index = nullptr, long* sortValue = nullptr);

  int Count() const { return count_; }
  // Index of the node the cursor is on; -1 while the list is empty.
  int CursorIndex() const { return cursor_ == nullptr ? -1 : cursor_index_; }

 private:
  _tListNode* NodeAt(int index);
  void Unlink(_tListNode* previous, _tListNode* node, int index);
  void CopyFrom(const CMyList& other);

  _tListNode* head_ = nullptr;
  _tListNode* tail_ = nullptr;
  _tListNode* cursor_ = nullptr;
  int count_ = 0;
  int cursor_index_ = 0;
};
