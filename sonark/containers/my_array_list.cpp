#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/containers/my_array_list.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr int kStep = 10;

}  // namespace

CMyArrayList::CMyArrayList() = default;

CMyArrayList::CMyArrayList(const CMyArrayList& other) {
  if (other.count_ > 0 && Grow(other.count_)) {
    std::memcpy(elements_, other.elements_, sizeof(_tArrayListElement) * other.count_);
    count_ = other.count_;
  }
}

CMyArrayList& CMyArrayList::operator=(const CMyArrayList& other) {
  if (this != &other) {
    RemoveAll();
    if (other.count_ > 0 && Grow(other.count_)) {
      std::memcpy(elements_, other.elements_, sizeof(_tArrayListElement) * other.count_);
      count_ = other.count_;
    }
  }
  return *this;
}

CMyArrayList::~CMyArrayList() { RemoveAll(); }

int CMyArrayList::Grow(int needed) {
  if (elements_ == nullptr) {
    int capacity = (needed / kStep + 1) * kStep;
    auto* block = static_cast<_tArrayListElement*>(
        std::malloc(sizeof(_tArrayListElement) * static_cast<size_t>(capacity)));
    if (block == nullptr) {
      platform::set_last_error(sonark::kErrOutOfMemory);
      return 0;
    }
    elements_ = block;
    capacity_ = capacity;
    return 1;
  }
  if (needed <= capacity_) return 1;
  // One step per call keeps every insertion to a single reallocation.
  int capacity = capacity_ + kStep;
  auto* block = static_cast<_tArrayListElement*>(
      std::realloc(elements_, sizeof(_tArrayListElement) * static_cast<size_t>(capacity)));
  if (block == nullptr) {
    // The old block stays valid and keeps its capacity.
    platform::set_last_error(sonark::kErrOutOfMemory);
    return 0;
  }
  elements_ = block;
  capacity_ = capacity;
  // A caller needing more than one step past the old capacity is told there is no room
  // rather than being allowed to write past the block.
  return needed <= capacity_ ? 1 : 0;
}

void CMyArrayList::Shrink(int count) {
  if (elements_ == nullptr || count > capacity_ - kStep) return;
  if (count < 1) {
    std::free(elements_);
    elements_ = nullptr;
    capacity_ = 0;
    return;
  }
  int capacity = capacity_ - kStep;
  auto* block = static_cast<_tArrayListElement*>(
      std::realloc(elements_, sizeof(_tArrayListElement) * static_cast<size_t>(capacity)));
  if (block == nullptr) return;  // the larger block still serves
  elements_ = block;
  capacity_ = capacity;
}

void CMyArrayList::Shift(int index, _tshift direction) {
  if (direction == kShiftTowardEnd) {
    std::memmove(elements_ + index + 1, elements_ + index,
                 sizeof(_tArrayListElement) * static_cast<size_t>(count_ - index));
  } else {
    std::memmove(elements_ + index - 1, elements_ + index,
                 sizeof(_tArrayListElement) * static_cast<size_t>(count_ - index));
  }
}

void CMyArrayList::InsertAt(int index, void* item, long sortValue) {
  if (index < count_) Shift(index, kShiftTowardEnd);
  elements_[index] = {item, sortValue};
  ++count_;
}

int CMyArrayList::InsertNewHead(void* item, long sortValue) {
  if (Grow(count_ + 1)) InsertAt(0, item, sortValue);
  return 0;
}

int CMyArrayList::AppendToTail(void* item, long sortValue) {
  if (Grow(count_ + 1)) InsertAt(count_, item, sortValue);
  return count_ - 1;
}

int CMyArrayList::AddSorted(void* item, long sortValue) {
  if (!Grow(count_ + 1)) return -1;
  if (count_ == 0 || sortValue <= elements_[0].sortValue) return InsertNewHead(item, sortValue);
  if (sortValue >= elements_[count_ - 1].sortValue) return AppendToTail(item, sortValue);
  // Here element[lo] < sortValue <= element[hi]; the search ends with hi = lo + 1.
  int lo = 0;
  int hi = count_ - 1;
  int mid = hi / 2;
  while (mid != lo) {
    if (elements_[mid].sortValue < sortValue) {
      lo = mid;
    } else {
      hi = mid;
    }
    mid = (hi - lo) / 2 + lo;
  }
  InsertAt(mid + 1, item, sortValue);
  return mid + 1;
}

void CMyArrayList::Remove(void* item) {
  for (int i = 0; i < count_; ++i) {
    if (elements_[i].item == item) {
      RemoveByIndex(i);
      return;
    }
  }
}

void CMyArrayList::RemoveByIndex(int index) {
  if (index < 0 || index >= count_) return;
  if (count_ > 1 && index + 1 < count_) Shift(index + 1, kShiftTowardStart);
  --count_;
  Shrink(count_);
}

void CMyArrayList::RemoveAll() {
  std::free(elements_);
  elements_ = nullptr;
  capacity_ = 0;
  count_ = 0;
}

int CMyArrayList::Member(void* item) const {
  for (int i = 0; i < count_; ++i) {
    if (elements_[i].item == item) return 1;
  }
  return 0;
}

void* CMyArrayList::Index(int index, long* sortValue) const {
  if (count_ == 0 || index < 0 || index >= count_) return nullptr;
  if (sortValue != nullptr) *sortValue = elements_[index].sortValue;
  return elements_[index].item;
}

void* CMyArrayList::ElemBySortValue(long value, int* index, long* sortValue) const {
  if (count_ == 0) return nullptr;
  int mid = 0;
  if (count_ <= 2) {
    mid = (count_ == 2 && value > elements_[0].sortValue) ? 1 : 0;
  } else {
    int lo = 0;
    int hi = count_;
    mid = count_ / 2;
    do {
      if (elements_[mid].sortValue == value) break;
      if (elements_[mid].sortValue > value) {
        hi = mid;
      } else {
        lo = mid;
      }
      mid = (hi - lo) / 2 + lo;
    } while (mid != lo);
    if (mid + 1 < count_ && elements_[mid + 1].sortValue == value) ++mid;
  }
  if (index != nullptr) *index = mid;
  if (sortValue != nullptr) *sortValue = elements_[mid].sortValue;
  return elements_[mid].item;
}

void CMyArrayList::AdjustAllSortValues(long delta) {
  for (int i = 0; i < count_; ++i) elements_[i].sortValue += delta;
}

void CMyArrayList::ScaleAllSortValues(double factor) {
  for (int i = 0; i < count_; ++i) {
    elements_[i].sortValue = TruncateToLong(static_cast<double>(elements_[i].sortValue) * factor);
  }
}
