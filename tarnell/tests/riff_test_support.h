#pragma once

#include <tarnell/mem_obj.h>
#include <tarnell/riff.h>

#include <cstdint>
#include <string>

// Helpers shared by the RIFF tests: raw byte builders and an owner for memory objects.
namespace riff_test {

using tarnell::FourCC;

inline std::string Le32(uint32_t v) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>(v >> (8 * i));
  return out;
}

inline uint32_t Le32At(const std::string& bytes, size_t offset) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(bytes.at(offset + i));
  return v;
}

inline std::string Chunk(const char (&id)[5], const std::string& data) {
  return std::string(id, 4) + Le32(static_cast<uint32_t>(data.size())) + data;
}

inline std::string List(const char (&type)[5], const std::string& body) {
  return Chunk("LIST", std::string(type, 4) + body);
}

inline std::string Form(const char (&type)[5], const std::string& body) {
  return Chunk("RIFF", std::string(type, 4) + body);
}

// Owns one reference to a memory object.
class MemObject {
 public:
  MemObject() : obj_(new CMemObj) {}
  explicit MemObject(const std::string& bytes) : MemObject() {
    obj_->Open(reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data())), bytes.size());
  }
  MemObject(const MemObject&) = delete;
  MemObject& operator=(const MemObject&) = delete;
  ~MemObject() {
    CRefObj* held = obj_;
    DeleteRefObject(&held);
  }

  CMemObj* get() const { return obj_; }
  CMemObj* operator->() const { return obj_; }

  // Every byte of the object; the position is put back afterwards.
  std::string Bytes() const {
    const long position = obj_->Tell();
    std::string out(static_cast<size_t>(obj_->Size()), '\0');
    obj_->Seek(0, 0);
    obj_->Read(out.data(), static_cast<long>(out.size()));
    obj_->Seek(position, 0);
    return out;
  }

 private:
  CMemObj* obj_;
};

// Checks a RIFF image without the reader under test: every list's chunks must fill it
// exactly, without pad bytes, and the form must fill the image.
inline bool ChunksFill(const std::string& b, size_t begin, size_t end, int depth = 0) {
  if (depth > 60) return false;
  size_t at = begin;
  while (at < end) {
    if (at + 8 > end) return false;
    const uint32_t id = Le32At(b, at);
    const size_t size = Le32At(b, at + 4);
    if (at + 8 + size > end) return false;
    if (id == FourCC("LIST") && (size < 4 || !ChunksFill(b, at + 12, at + 8 + size, depth + 1))) {
      return false;
    }
    at += 8 + size;
  }
  return at == end;
}

inline bool WellFormed(const std::string& b) {
  return b.size() >= 12 && Le32At(b, 0) == FourCC("RIFF") && Le32At(b, 4) + 8 == b.size() &&
         ChunksFill(b, 12, b.size());
}

}  // namespace riff_test
