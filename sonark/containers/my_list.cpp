#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/containers/my_list.h>

#include <new>

namespace {

_tListNode* NewNode(void* item, long sortValue) {
  auto* node = new (std::nothrow) _tListNode{item, sortValue, nullptr};
  if (node == nullptr) platform::set_last_error(sonark::kErrOutOfMemory);
  return node;
}

}  // namespace

CMyList::CMyList() = default;

CMyList::CMyList(const CMyList& other) { CopyFrom(other); }

CMyList& CMyList::operator=(const CMyList& other) {
  if (this != &other) {
    RemoveAll();
    CopyFrom(other);
  }
  return *this;
}

CMyList::~CMyList() { RemoveAll(); }

void CMyList::CopyFrom(const CMyList& other) {
  for (const _tListNode* node = other.head_; node != nullptr; node = node->next) {
    int before = count_;
    AppendToTail(node->item, node->sortValue);
    if (count_ == before) break;  // out of memory: keep the prefix copied so far
  }
}

_tListNode* CMyList::NodeAt(int index) {
  _tListNode* node = head_;
  int i = 0;
  if (cursor_ != nullptr && cursor_index_ <= index) {
    node = cursor_;
    i = cursor_index_;
  }
  while (i < index) {
    node = node->next;
    ++i;
  }
  cursor_ = node;
  cursor_index_ = index;
  return node;
}

int CMyList::InsertNewHead(void* item, long sortValue) {
  _tListNode* node = NewNode(item, sortValue);
  if (node == nullptr) return 0;
  node->next = head_;
  head_ = node;
  if (tail_ == nullptr) tail_ = node;
  ++count_;
  if (cursor_ == nullptr) {
    cursor_ = head_;
    cursor_index_ = 0;
  } else {
    ++cursor_index_;
  }
  return 0;
}

int CMyList::AppendToTail(void* item, long sortValue) {
  _tListNode* node = NewNode(item, sortValue);
  if (node == nullptr) return count_ - 1;
  if (tail_ == nullptr) {
    head_ = node;
  } else {
    tail_->next = node;
  }
  tail_ = node;
  ++count_;
  if (cursor_ == nullptr) {
    cursor_ = head_;
    cursor_index_ = 0;
  }
  return count_ - 1;
}

int CMyList::InsertAfter(void* item, int index) {
  if (count_ == 0 || index < 0) {
    int before = count_;
    InsertNewHead(item, 0);
    if (count_ == before) return -1;
    cursor_ = head_;
    cursor_index_ = 0;
    return 0;
  }
  if (index >= count_ - 1) {
    int before = count_;
    int at = AppendToTail(item, 0);
    if (count_ == before) return -1;
    cursor_ = tail_;
    cursor_index_ = at;
    return at;
  }
  _tListNode* node = NewNode(item, 0);
  if (node == nullptr) return -1;
  _tListNode* previous = NodeAt(index);
  node->next = previous->next;
  previous->next = node;
  ++count_;
  cursor_ = node;
  cursor_index_ = index + 1;
  return index + 1;
}

int CMyList::AddSorted(void* item, long sortValue) {
  int before = count_;
  if (count_ == 0 || sortValue <= head_->sortValue) {
    InsertNewHead(item, sortValue);
    return count_ == before ? -1 : 0;
  }
  if (sortValue >= tail_->sortValue) {
    int at = AppendToTail(item, sortValue);
    return count_ == before ? -1 : at;
  }
  _tListNode* node = NewNode(item, sortValue);
  if (node == nullptr) return -1;
  // The tail's key is larger, so the walk stops before running off the list.
  _tListNode* previous = head_;
  int index = 0;
  while (previous->next->sortValue < sortValue) {
    previous = previous->next;
    ++index;
  }
  node->next = previous->next;
  previous->next = node;
  ++count_;
  cursor_ = node;
  cursor_index_ = index + 1;
  return index + 1;
}

void CMyList::Unlink(_tListNode* previous, _tListNode* node, int index) {
  if (previous == nullptr) {
    head_ = node->next;
  } else {
    previous->next = node->next;
  }
  if (tail_ == node) tail_ = previous;
  --count_;
  // Keep the cursor pointing at a live node with its true index.
  if (previous == nullptr || count_ == 0) {
    cursor_ = head_;
    cursor_index_ = 0;
  } else if (cursor_ == node) {
    cursor_ = previous;
    cursor_index_ = index - 1;
  } else if (cursor_index_ > index) {
    --cursor_index_;
  }
  delete node;
}

void CMyList::Remove(void* item) {
  _tListNode* previous = nullptr;
  int index = 0;
  for (_tListNode* node = head_; node != nullptr; previous = node, node = node->next, ++index) {
    if (node->item == item) {
      Unlink(previous, node, index);
      return;
    }
  }
}

void CMyList::RemoveByIndex(int index) {
  if (index < 0 || index >= count_) return;
  _tListNode* previous = index == 0 ? nullptr : NodeAt(index - 1);
  Unlink(previous, previous == nullptr ? head_ : previous->next, index);
}

void CMyList::RemoveAll() {
  _tListNode* node = head_;
  while (node != nullptr) {
    _tListNode* next = node->next;
    delete node;
    node = next;
  }
  head_ = tail_ = cursor_ = nullptr;
  count_ = 0;
  cursor_index_ = 0;
}

int CMyList::Member(void* item) {
  int index = 0;
  for (_tListNode* node = head_; node != nullptr; node = node->next, ++index) {
    if (node->item == item) {
      cursor_ = node;
      cursor_index_ = index;
      return 1;
    }
  }
  cursor_ = head_;
  cursor_index_ = 0;
  return 0;
}

void* CMyList::Index(int index, long* sortValue) {
  if (count_ == 0 || index < 0 || index >= count_) return nullptr;
  _tListNode* node = NodeAt(index);
  if (sortValue != nullptr) *sortValue = node->sortValue;
  return node->item;
}

void* CMyList::ElemBySortValue(long value, int* index, long* sortValue) {
  if (count_ == 0) return nullptr;
  _tListNode* node = head_;
  int at = 0;
  if (head_->sortValue < value) {
    while (node->next != nullptr && node->next->sortValue < value) {
      node = node->next;
      ++at;
    }
  }
  cursor_ = node;
  cursor_index_ = at;
  if (index != nullptr) *index = at;
  if (sortValue != nullptr) *sortValue = node->sortValue;
  return node->item;
}
