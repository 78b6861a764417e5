#include <platform/last_error.h>
#include <tarnell/errors.h>
#include <tarnell/ref_obj.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr long kLineChunk = 1024;

bool IsLineBreak(char c) { return c == '\r' || c == '\n'; }

// Floor remainder, so that offsets before the window wrap back into it.
long WrapIntoWindow(long offset, long size) {
  long r = offset % size;
  return r < 0 ? r + size : r;
}

}  // namespace

CRefObj::CRefObj() = default;

CRefObj::CRefObj(const CRefObj& other)
    : write_mode_(other.write_mode_), data_mode_(other.data_mode_) {}

CRefObj::~CRefObj() = default;

int CRefObj::Copy(CRefObj*) { return 0; }

CRefObj* CRefObj::Copy() { return new (std::nothrow) CRefObj(*this); }

int CRefObj::IsOpen() { return 0; }
void CRefObj::Close() {}
long CRefObj::Read(char*, long) { return 0; }
long CRefObj::Write(const char*, long) { return 0; }
int CRefObj::Seek(long, int) { return 0; }
long CRefObj::Tell() { return 0; }
long CRefObj::Size() { return 0; }
int CRefObj::Type() { return 0; }
int CRefObj::SetDataOffsets(unsigned long, unsigned long) { return 0; }
long CRefObj::GetDataStart() { return 0; }
long CRefObj::GetDataEnd() { return 0; }
long CRefObj::GetVirtualStart() { return 0; }
int CRefObj::SetVirtualStart(long) { return 0; }
long CRefObj::DataSize() { return 0; }
void CRefObj::SetDataMode(int mode) { data_mode_ = mode; }
int CRefObj::SeekToData(long) { return 0; }
long CRefObj::ReadData(char*, long) { return 0; }
long CRefObj::WriteData(const char*, long, int) { return 0; }

void CRefObj::AddReference() { references_.fetch_add(1, std::memory_order_relaxed); }

short CRefObj::DecReference() {
  return static_cast<short>(references_.fetch_sub(1, std::memory_order_acq_rel) - 1);
}

short CRefObj::References() { return references_.load(std::memory_order_acquire); }
int CRefObj::WriteMode() { return write_mode_; }
void CRefObj::SetWriteMode(int mode) { write_mode_ = mode; }
int CRefObj::DataMode() { return data_mode_; }

long CRefObj::ReadNextString(char* buf, long maxLength) {
  if (buf == nullptr) return 0;
  if (maxLength <= 0) {
    buf[0] = '\0';
    return 0;
  }
  char chunk[kLineChunk];
  long stored = 0;
  bool first_chunk = true;
  bool line_ended = false;
  for (;;) {
    const long chunk_start = Tell();
    const long got = Read(chunk, kLineChunk);
    if (got <= 0) break;
    long i = 0;
    if (!line_ended) {
      // Line breaks at the very start belong to the line, so that a blank line never reads
      // as the end of the data. In a later chunk a break is the line's end.
      if (first_chunk) {
        while (i < got && IsLineBreak(chunk[i])) ++i;
      }
      first_chunk = false;
      while (i < got && !IsLineBreak(chunk[i])) ++i;
      const long take = std::min(i, maxLength - stored);
      std::memcpy(buf + stored, chunk, static_cast<size_t>(take));
      stored += take;
      if (i == got) continue;  // the line goes on in the next chunk
      line_ended = true;
    }
    while (i < got && IsLineBreak(chunk[i])) ++i;
    if (i < got) {
      Seek(chunk_start + i, 0);
      break;
    }
    // The breaks run to the end of the chunk; keep skipping them in the next one.
  }
  buf[stored] = '\0';
  return stored;
}

long CRefObj::ReadWindow(char* buf, long count, long start, long end) {
  if (buf == nullptr || count <= 0) return 0;
  if (DataMode() == 0) {
    const long n = std::min(count, end - Tell());
    return n < 1 ? 0 : Read(buf, n);
  }
  // Loop mode over an empty or unset window could never deliver anything.
  if (start < 0 || end <= start) {
    platform::set_last_error(tarnell::kErrSeekFailed);
    return 0;
  }
  long total = 0;
  while (total < count) {
    long position = Tell();
    if (position >= end) {
      if (!Seek(start, 0)) break;
      position = start;
    }
    const long got = Read(buf + total, std::min(end - position, count - total));
    if (got <= 0) break;
    total += got;
  }
  return total;
}

long CRefObj::WriteWindow(const char* buf, long count, int append, long* end) {
  if (WriteMode() == 0) return -1;
  if (count <= 0) return 0;
  if (!append) {
    const long n = std::min(count, *end - Tell());
    return n < 1 ? 0 : Write(buf, n);
  }
  if (*end < 0 || !Seek(*end, 0)) return -1;
  const long written = Write(buf, count);
  *end += written;
  return written;
}

int CRefObj::SeekInWindow(long offset, long start, long end, long virtual_start) {
  if (start < 0 || end <= start) {
    platform::set_last_error(tarnell::kErrSeekFailed);
    return 0;
  }
  const long size = end - start;
  return Seek(start + WrapIntoWindow(WrapIntoWindow(offset, size) + virtual_start, size), 0);
}

void DeleteRefObject(CRefObj** holder) {
  if (holder == nullptr || *holder == nullptr) return;
  if ((*holder)->DecReference() <= 0) {
    delete *holder;
    *holder = nullptr;
  }
}
