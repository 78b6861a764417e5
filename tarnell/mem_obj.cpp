#include <platform/last_error.h>
#include <tarnell/errors.h>
#include <tarnell/mem_obj.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

namespace {

constexpr int kTypeMemory = 2;

}  // namespace

CMemObj::CMemObj() = default;

CMemObj::CMemObj(const CMemObj& other) : CRefObj(other) {
  if (other.type_ == 0) return;
  const auto size = static_cast<unsigned long>(other.size_);
  if (!AddDataBlock(size)) return;  // stays closed: out of memory
  unsigned char* out = blocks_.front().data.get();
  for (const _zeDataBlock& block : other.blocks_) {
    if (block.offset >= size) break;
    std::memcpy(out + block.offset, block.data.get(), std::min(block.size, size - block.offset));
  }
  type_ = other.type_;
  size_ = other.size_;
  data_start_ = other.data_start_;
  data_end_ = other.data_end_;
  virtual_start_ = other.virtual_start_;
}

CMemObj::~CMemObj() = default;

CRefObj* CMemObj::Copy() {
  auto* copy = new (std::nothrow) CMemObj(*this);
  if (copy == nullptr || copy->type_ != type_) {
    delete copy;
    platform::set_last_error(tarnell::kErrOutOfMemory);
    return nullptr;
  }
  return copy;
}

int CMemObj::IsOpen() { return type_ != 0 ? 1 : 0; }

void CMemObj::Release() {
  blocks_.clear();
  blocks_.shrink_to_fit();
  allocated_ = 0;
  position_ = 0;
  size_ = 0;
  data_start_ = data_end_ = -1;
  virtual_start_ = 0;
}

void CMemObj::Close() {
  Release();
  type_ = 0;
}

int CMemObj::Open(unsigned char* bytes, unsigned long length) {
  if (bytes == nullptr && length != 0) return 0;
  if (length > static_cast<unsigned long>(LONG_MAX)) return 0;
  Close();
  if (!AddDataBlock(length)) return 0;
  if (length != 0) std::memcpy(blocks_.front().data.get(), bytes, length);
  type_ = kTypeMemory;
  size_ = static_cast<long>(length);
  data_start_ = 0;
  return 1;
}

int CMemObj::Create() {
  Close();
  type_ = kTypeMemory;
  SetWriteMode(1);
  return 1;
}

int CMemObj::AddDataBlock(unsigned long size) {
  try {
    _zeDataBlock block;
    block.data.reset(new unsigned char[size]);
    block.size = size;
    block.offset = allocated_;
    blocks_.push_back(std::move(block));
  } catch (const std::bad_alloc&) {
    platform::set_last_error(tarnell::kErrOutOfMemory);
    return 0;
  }
  allocated_ += size;
  return 1;
}

_zeDataBlock* CMemObj::GetDataBlockFromOffset(unsigned long offset) {
  // The blocks lie end to end, so the first one that ends past the offset holds it.
  auto it = std::upper_bound(blocks_.begin(), blocks_.end(), offset,
                             [](unsigned long value, const _zeDataBlock& block) {
                               return value < block.offset + block.size;
                             });
  return it == blocks_.end() ? nullptr : &*it;
}

long CMemObj::Read(char* buf, long count) {
  if (buf == nullptr || count <= 0 || position_ < 0) return 0;
  long total = 0;
  while (total < count && position_ < size_) {
    const _zeDataBlock* block = GetDataBlockFromOffset(static_cast<unsigned long>(position_));
    if (block == nullptr) break;
    const auto inside = static_cast<unsigned long>(position_) - block->offset;
    const long n =
        std::min({count - total, static_cast<long>(block->size - inside), size_ - position_});
    std::memcpy(buf + total, block->data.get() + inside, static_cast<size_t>(n));
    total += n;
    position_ += n;
  }
  return total;
}

long CMemObj::Write(const char* buf, long count) {
  if (buf == nullptr || count <= 0 || position_ < 0) return 0;
  long total = 0;
  while (total < count) {
    _zeDataBlock* block = GetDataBlockFromOffset(static_cast<unsigned long>(position_));
    if (block == nullptr) {
      if (!AddDataBlock(static_cast<unsigned long>(count - total))) break;
      block = &blocks_.back();
    }
    const auto inside = static_cast<unsigned long>(position_) - block->offset;
    const long n = std::min(count - total, static_cast<long>(block->size - inside));
    std::memcpy(block->data.get() + inside, buf + total, static_cast<size_t>(n));
    total += n;
    position_ += n;
    if (position_ > size_) size_ = position_;
  }
  return total;
}

int CMemObj::Seek(long offset, int origin) {
  long target;
  switch (origin) {
    case 0:
      target = offset;
      break;
    case 1:
      target = position_ + offset;
      break;
    case 2:
      target = size_ + offset;
      break;
    default:
      platform::set_last_error(tarnell::kErrSeekFailed);
      return 0;
  }
  if (target < 0 || target > size_) {
    platform::set_last_error(tarnell::kErrSeekFailed);
    return 0;
  }
  position_ = target;
  return 1;
}

long CMemObj::Tell() { return position_; }
long CMemObj::Size() { return size_; }
int CMemObj::Type() { return type_; }

int CMemObj::SetDataOffsets(unsigned long start, unsigned long end) {
  if (start >= end) return 0;
  virtual_start_ = 0;
  const auto size = static_cast<unsigned long>(size_);
  const bool start_ok = start < size;
  const bool end_ok = end <= size;
  if (start_ok) data_start_ = static_cast<long>(start);
  if (end_ok) data_end_ = static_cast<long>(end);
  return start_ok && end_ok ? 1 : 0;
}

long CMemObj::GetDataStart() { return data_start_; }
long CMemObj::GetDataEnd() { return data_end_; }
long CMemObj::GetVirtualStart() { return virtual_start_; }

int CMemObj::SetVirtualStart(long start) {
  if (start < 0 || start > DataSize()) return 0;
  virtual_start_ = start;
  return 1;
}

long CMemObj::DataSize() { return data_end_ - data_start_; }

int CMemObj::SeekToData(long offset) {
  return SeekInWindow(offset, data_start_, data_end_, virtual_start_);
}

long CMemObj::ReadData(char* buf, long count) {
  return ReadWindow(buf, count, data_start_, data_end_);
}

long CMemObj::WriteData(const char* buf, long count, int append) {
  return WriteWindow(buf, count, append, &data_end_);
}

unsigned long CMemObj::BlockCount() const { return blocks_.size(); }

unsigned long CMemObj::BlockSize(unsigned long index) const {
  return index < blocks_.size() ? blocks_[index].size : 0;
}
