#include <fuzzer/FuzzedDataProvider.h>
#include <tarnell/mem_obj.h>
#include <tarnell/riff.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

// The front of the input is the object the cursor reads; operations are drawn from its end.
// Reading must never crash, read outside a buffer or hang, whatever the bytes say; a writer
// driven by any sequence of its own operations must leave a well-formed form.

namespace {

using tarnell::FourCC;

constexpr uint32_t kIds[] = {FourCC("fmt "), FourCC("data"), FourCC("LIST"), FourCC("INFO"),
                             FourCC("sgrp"), FourCC("sndc"), FourCC("atom"), FourCC("junk")};
constexpr int kMaxOperations = 200;
constexpr long kMaxRead = 70000;

class MemHolder {
 public:
  MemHolder() : obj_(new CMemObj) {}
  MemHolder(const MemHolder&) = delete;
  MemHolder& operator=(const MemHolder&) = delete;
  ~MemHolder() {
    CRefObj* held = obj_;
    DeleteRefObject(&held);
  }
  CMemObj* operator->() const { return obj_; }
  CMemObj* get() const { return obj_; }

 private:
  CMemObj* obj_;
};

uint32_t Le32At(const std::string& b, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}

bool ChunksFill(const std::string& b, size_t begin, size_t end) {
  size_t at = begin;
  while (at < end) {
    if (at + 8 > end) return false;
    const size_t size = Le32At(b, at + 4);
    if (at + 8 + size > end) return false;
    if (Le32At(b, at) == FourCC("LIST") && (size < 4 || !ChunksFill(b, at + 12, at + 8 + size))) {
      return false;
    }
    at += 8 + size;
  }
  return at == end;
}

uint32_t PickId(FuzzedDataProvider& in) {
  if (in.ConsumeBool()) return in.ConsumeIntegral<uint32_t>();
  return kIds[in.ConsumeIntegralInRange<size_t>(0, std::size(kIds) - 1)];
}

void CheckCursor(CRIFF& riff) {
  if (riff.LevelsDown() < -1 || riff.LevelsDown() >= CRIFF::kMaxLevels) std::abort();
  _chunkInfo level{};
  _subChunk sub{};
  riff.GetCurrentChunkInfo(&level, &sub);
}

void ReadPhase(FuzzedDataProvider& in, const std::string& image) {
  MemHolder mem;
  if (!mem->Open(reinterpret_cast<unsigned char*>(const_cast<char*>(image.data())), image.size())) {
    return;
  }
  // Appends to an opened form are exercised too: they must refuse or stay inside the object.
  if (in.ConsumeBool()) mem->SetWriteMode(1);
  CRIFF riff;
  _chunkInfo form{};
  riff.Open(mem.get(), &form);
  std::vector<char> buf;
  for (int n = 0; n < kMaxOperations && in.remaining_bytes() > 0; ++n) {
    switch (in.ConsumeIntegralInRange<int>(0, 14)) {
      case 0:
        riff.Descend();
        break;
      case 1:
        riff.Ascend();
        break;
      case 2: {
        const uint32_t id = PickId(in);
        const int skip = in.ConsumeBool();
        riff.SeekToChunk(id, skip, in.ConsumeBool());
        break;
      }
      case 3:
        riff.SeekToNextChunk();
        break;
      case 4:
        riff.SeekToPreviousChunk();
        break;
      case 5:
        riff.SeekToLevelBeginning();
        break;
      case 6:
        riff.SeekToChunkAtOffset(in.ConsumeIntegralInRange<long>(-16, mem->Size() + 16));
        break;
      case 7: {
        // Exactly sized buffers, so that any overrun shows.
        buf.resize(static_cast<size_t>(in.ConsumeIntegralInRange<long>(0, kMaxRead)));
        const long got = riff.ReadCurrentSubChunk(buf.data(), static_cast<long>(buf.size()));
        if (got > static_cast<long>(buf.size())) std::abort();
        break;
      }
      case 8: {
        buf.resize(static_cast<size_t>(in.ConsumeIntegralInRange<long>(0, 4096)));
        const long got = riff.Read(buf.data(), static_cast<long>(buf.size()));
        if (got > static_cast<long>(buf.size())) std::abort();
        break;
      }
      case 9:
        mem->Seek(in.ConsumeIntegralInRange<long>(0, mem->Size()), 0);
        riff.Open(mem.get(), &form);
        break;
      case 10: {
        std::string data = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 64));
        riff.WriteSubChunk(PickId(in), data.data(), static_cast<long>(data.size()));
        break;
      }
      case 11:
        riff.WriteListChunkHeader(PickId(in));
        break;
      case 12:
        if (riff.StartWriteStream(PickId(in))) {
          std::string data = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 64));
          riff.WriteStreamData(data.data(), static_cast<long>(data.size()));
          riff.EndWriteStream();
        }
        break;
      case 13:
        riff.Close();
        break;
      default:
        mem->Seek(in.ConsumeIntegralInRange<long>(-4, mem->Size() + 4), 0);
        break;
    }
    CheckCursor(riff);
  }
}

// A writer that uses only its own operations, in any order, keeps the form well formed.
void WritePhase(FuzzedDataProvider& in) {
  MemHolder mem;
  mem->Create();
  CRIFF riff;
  if (!riff.Create(mem.get(), FourCC("WAVE"))) std::abort();
  constexpr uint32_t kPlainIds[] = {FourCC("fmt "), FourCC("data"), FourCC("atom"), FourCC("smap")};
  auto plainId = [&] {
    return kPlainIds[in.ConsumeIntegralInRange<size_t>(0, std::size(kPlainIds) - 1)];
  };
  for (int n = 0; n < kMaxOperations && in.remaining_bytes() > 0; ++n) {
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
      case 0: {
        std::string data = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 33));
        riff.WriteSubChunk(plainId(), data.data(), static_cast<long>(data.size()));
        break;
      }
      case 1:
        riff.WriteListChunkHeader(plainId());
        break;
      case 2:
        riff.Descend();
        break;
      case 3:
        riff.Ascend();
        break;
      case 4:
        riff.StartWriteStream(plainId());
        break;
      case 5: {
        std::string data = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 100));
        riff.WriteStreamData(data.data(), static_cast<long>(data.size()));
        break;
      }
      case 6:
        riff.EndWriteStream();
        break;
      default: {
        // A chunk built piecewise through raw writes.
        std::string data = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 20));
        std::string header(8, '\0');
        const uint32_t id = plainId();
        for (int i = 0; i < 4; ++i) {
          header[i] = static_cast<char>(id >> (8 * i));
          header[4 + i] = static_cast<char>(data.size() >> (8 * i));
        }
        if (riff.Write(header.data(), 8) == 8 && !data.empty()) {
          riff.Write(data.data(), static_cast<long>(data.size()));
        }
        break;
      }
    }
    CheckCursor(riff);
  }
  riff.EndWriteStream();
  std::string image(static_cast<size_t>(mem->Size()), '\0');
  mem->Seek(0, 0);
  if (mem->Read(image.data(), static_cast<long>(image.size())) != mem->Size()) std::abort();
  if (Le32At(image, 4) + 8 != image.size() || !ChunksFill(image, 12, image.size())) {
    std::abort();
  }
}

}  // namespace

// Layout: [image][operations][control]. The control byte's low bit picks the writer; the
// rest gives the length of the operations, two bytes per step, so that a seed made of a
// RIFF file with a short trailer is read as that file.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t control = data[size - 1];
  const size_t body = size - 1;
  if (control & 1) {
    FuzzedDataProvider in(data, body);
    WritePhase(in);
    return 0;
  }
  const size_t opBytes = std::min<size_t>(body, (control >> 1) * 2u);
  const std::string image(reinterpret_cast<const char*>(data), body - opBytes);
  FuzzedDataProvider ops(data + image.size(), opBytes);
  ReadPhase(ops, image);
  return 0;
}
