#include <sonark/load/acm_buffer.h>
#include <sonark/load/acm_object.h>
#include <sonark/load/seek_map.h>
#include <sonark/load/xam_object.h>
#include <tarnell/ref_obj.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr long kMaxDecodedRead = 600000;
constexpr int kMaxRounds = 1000;

}  // namespace

CACMBuffer::CACMBuffer(CSeekMap* seekMap) { SetSeekMap(seekMap); }

CACMBuffer::CACMBuffer(const CACMBuffer& other) : CPCMBuffer(other), decoder_(other.decoder_) {
  SetSeekMap(other.seek_map_);
}

CACMBuffer::~CACMBuffer() { DeleteSeekMap(&seek_map_); }

CPCMBuffer* CACMBuffer::Copy() {
  auto* copy = new (std::nothrow) CACMBuffer(*this);
  if (copy != nullptr && copy->Streaming() && copy->BufferSize() > 0 &&
      copy->Initialized() == 0) {
    delete copy;
    copy = nullptr;
  }
  return copy;
}

void CACMBuffer::LowActivityMode() {
  std::vector<unsigned char>().swap(source_block_);
  std::vector<unsigned char>().swap(decoded_block_);
  CPCMBuffer::LowActivityMode();
}

void CACMBuffer::SetACMObject(ACMObject* decoder) {
  decoder_ = decoder;
  if (auto* mpeg = dynamic_cast<XAMObject*>(decoder)) mpeg->UseSeekMap(seek_map_);
  // Until a seek says otherwise the data is decoded from its start.
  if (decoder_ != nullptr) decoder_->RestartAt(0, 0);
  restart_ = 1;
  flushed_ = ended_ = false;
}

void CACMBuffer::SetSeekMap(CSeekMap* seekMap) {
  if (seekMap != nullptr) seekMap->AddReference();
  DeleteSeekMap(&seek_map_);
  seek_map_ = seekMap;
  if (auto* mpeg = dynamic_cast<XAMObject*>(decoder_)) mpeg->UseSeekMap(seek_map_);
}

uint64_t CACMBuffer::PcmSize() const {
  if (decoder_ != nullptr && decoder_->PcmSize() > 0) {
    return static_cast<uint64_t>(decoder_->PcmSize());
  }
  if (seek_map_ != nullptr && seek_map_->Count() > 0) {
    return static_cast<uint64_t>(std::max(seek_map_->SortValueAt(seek_map_->Count() - 1), 0));
  }
  return 0;
}

int CACMBuffer::Drained() const {
  CRefObj* source = GetReferenceObject();
  if (source == nullptr) return 1;
  return source->Tell() >= source->GetDataEnd() && flushed_ && carry_read_ == carry_.size() &&
                 (decoder_ == nullptr || decoder_->PendingBytes() == 0)
             ? 1
             : 0;
}

long CACMBuffer::BufferSanityAdjust(unsigned long pcmBytes, unsigned long& srcBytes) {
  srcBytes = 0;
  if (decoder_ == nullptr) return 0;
  const long block = std::max(decoder_->BlockSize(decoder_->GetSourceFormat()), 1L);
  unsigned long source = static_cast<unsigned long>(
      decoder_->GetSourceBufferSize(static_cast<long>(pcmBytes)) / block * block);
  decoder_->CheckMinimumSrcSize(&source);
  source = std::max<unsigned long>(source / block * block, static_cast<unsigned long>(block));
  unsigned long step = std::max<unsigned long>(1, source / static_cast<unsigned long>(block));
  double converted = decoder_->GetConvertedBufferSize(static_cast<long>(source));
  for (int i = 0; i < 64 && converted < pcmBytes; ++i) {
    const unsigned long before = source;
    source += block == 1 ? 512 : step * static_cast<unsigned long>(block);
    if (source <= before) step *= 2;
    converted = decoder_->GetConvertedBufferSize(static_cast<long>(source));
  }
  if (converted > kMaxDecodedRead) {
    source = static_cast<unsigned long>(static_cast<double>(source) * kMaxDecodedRead / converted);
    source = std::max<unsigned long>(source / block * block, static_cast<unsigned long>(block));
    converted = decoder_->GetConvertedBufferSize(static_cast<long>(source));
  }
  srcBytes = source;
  return static_cast<long>(converted);
}

unsigned long CACMBuffer::TakeCarry(unsigned char* destination, unsigned long count) {
  const unsigned long n =
      std::min<unsigned long>(count, static_cast<unsigned long>(carry_.size() - carry_read_));
  if (n > 0) std::memcpy(destination, carry_.data() + carry_read_, n);
  carry_read_ += n;
  if (carry_read_ == carry_.size()) {
    carry_.clear();
    carry_read_ = 0;
  }
  return n;
}

void CACMBuffer::Place(const unsigned char* data, unsigned long bytes, unsigned char* destination,
                       unsigned long count, unsigned long& got) {
  const unsigned long n = std::min(bytes, count - got);
  std::memcpy(destination + got, data, n);
  got += n;
  if (n < bytes) carry_.insert(carry_.end(), data + n, data + bytes);
}

long CACMBuffer::ReadData(unsigned char* destination, unsigned long count) {
  CRefObj* source = GetReferenceObject();
  if (destination == nullptr || count == 0 || decoder_ == nullptr || source == nullptr) return 0;
  unsigned long got = TakeCarry(destination, count);
  if (!decoder_->EnableStream(1)) return static_cast<long>(got);

  for (int round = 0; round < kMaxRounds && got < count; ++round) {
    const TConversionFlag flag = restart_ ? kConvertRestart : kConvertContinue;
    // Output the decoder holds from before comes first.
    if (!restart_ && decoder_->PendingBytes() > 0) {
      decoded_block_.resize(static_cast<size_t>(decoder_->PendingBytes()));
      long none = 0;
      const long made = decoder_->Convert(nullptr, none, reinterpret_cast<char*>(decoded_block_.data()),
                                          static_cast<long>(decoded_block_.size()), flag, 0);
      if (made > 0) Place(decoded_block_.data(), static_cast<unsigned long>(made), destination, count, got);
      continue;
    }
    if (ended_) break;
    const long dataStart = source->GetDataStart();
    const long dataEnd = source->GetDataEnd();
    const long left = dataEnd - source->Tell();
    if (left <= 0) {
      if (!flushed_) {
        // The data has ended: what the decoder still holds comes out.
        flushed_ = true;
        restart_ = 0;
        long none = 0;
        decoded_block_.resize(1 << 16);
        const long made = decoder_->Convert(nullptr, none, reinterpret_cast<char*>(decoded_block_.data()),
                                            static_cast<long>(decoded_block_.size()), flag, 1);
        if (made > 0) Place(decoded_block_.data(), static_cast<unsigned long>(made), destination, count, got);
        continue;
      }
      if (source->DataMode() != 0 && dataStart >= 0 && source->Seek(dataStart, 0)) {
        // A looping read goes on with the data's start.
        decoder_->RestartAt(0, 0);
        restart_ = 1;
        flushed_ = false;
        continue;
      }
      ended_ = true;
      break;
    }

    unsigned long wanted = 0;
    BufferSanityAdjust(count - got, wanted);
    wanted = std::min<unsigned long>(wanted, static_cast<unsigned long>(left));
    source_block_.resize(wanted);
    const int mode = source->DataMode();
    source->SetDataMode(0);
    const long read = source->Read(reinterpret_cast<char*>(source_block_.data()),
                                   static_cast<long>(wanted));
    source->SetDataMode(mode);
    if (read <= 0) {
      // A file that ends before its data does: as at the data's end.
      source->Seek(dataEnd, 0);
      continue;
    }
    const int last = source->Tell() >= dataEnd || static_cast<unsigned long>(read) < wanted;
    long used = read;
    const double estimate = decoder_->GetConvertedBufferSize(read);
    decoded_block_.resize(static_cast<size_t>(std::max(estimate, 0.0)) + (1 << 16));
    const long made = decoder_->Convert(reinterpret_cast<const char*>(source_block_.data()), used,
                                        reinterpret_cast<char*>(decoded_block_.data()),
                                        static_cast<long>(decoded_block_.size()), flag, last);
    if (made < 0) break;
    restart_ = 0;
    if (last) flushed_ = true;
    // What the decoder did not take is read again next time.
    if (used < read) source->Seek(source->Tell() - (read - used), 0);
    if (made > 0) Place(decoded_block_.data(), static_cast<unsigned long>(made), destination, count, got);
    if (used == 0 && made == 0 && !last) break;  // nothing moves: let the caller see the end
  }
  return static_cast<long>(got);
}

int CACMBuffer::Seek(unsigned long pcmPosition) {
  CRefObj* source = GetReferenceObject();
  carry_.clear();
  carry_read_ = 0;
  restart_ = 1;
  flushed_ = ended_ = false;
  if (source == nullptr || decoder_ == nullptr || !decoder_->EnableStream(1)) return 0;
  const long dataStart = source->GetDataStart();
  const long dataSize = source->DataSize();
  if (dataStart < 0 || dataSize <= 0) return 0;

  // Positions past the end wrap round the data, as they do for PCM.
  uint64_t position = pcmPosition;
  const uint64_t total = PcmSize();
  if (total > 0) position %= total;

  long offset = 0;
  long unit = 0;
  auto* mpeg = dynamic_cast<XAMObject*>(decoder_);
  if (mpeg != nullptr) {
    if (seek_map_ != nullptr && seek_map_->Count() > 1) {
      uint32_t element = 0;
      int32_t at = 0;
      const int index = seek_map_->FindBySortValue(static_cast<long>(position), 0, &element, &at);
      unit = mpeg->RestartEntry(seek_map_, std::min(index, seek_map_->Count() - 2));
      offset = unit > 0 ? static_cast<long>(seek_map_->ElementAt(static_cast<int>(unit))) : 0;
    }
  } else {
    const long block = std::max(decoder_->BlockSize(decoder_->GetSourceFormat()), 1L);
    const auto perBlock = static_cast<uint64_t>(decoder_->GetConvertedBufferSize(block) + 0.5);
    if (perBlock > 0) {
      unit = static_cast<long>(position / perBlock);
      offset = unit * block;
      if (offset >= dataSize) {
        unit = 0;
        offset = 0;
        position = 0;
      }
    }
  }
  restart_offset_ = static_cast<unsigned long>(offset);
  decoded_position_ = position;
  decoder_->RestartAt(unit, position);
  return source->Seek(dataStart + offset, 0);
}
