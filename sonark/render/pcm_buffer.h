#pragma once

#include <platform/wave_format.h>
#include <sonark/visibility.h>

#include <cstdint>

class CRefObj;
struct _pcmStorage;

// The streaming ring of linear PCM bytes that every loaded sound reads from. It delivers one
// stretch of its source (a start offset and a byte count) at a time, refills itself from the
// source when the consumer has drained it to the fill percent, can release its memory while
// the sound is idle, and can hold a short sound whole ("loaded once") so that the source is
// read only once and replayed from memory.
//
// Consumers: Lock (at most two regions of unread bytes), take bytes, UpdateReadOffset, Unlock,
// and then Fill unless the read is finished. Nothing on that path allocates.
//
// The buffer takes no lock of its own: its owner serialises every call. Derived buffers that
// decode compressed sources replace ReadData and Seek and keep the ring logic.
class SONARK_API CPCMBuffer {
 public:
  CPCMBuffer();
  // A copy with the same capacity, fill percent, virtual start and mode, but no source: a
  // loaded-once copy shares the ring memory (it is never written again), a streaming copy gets
  // an empty ring of its own. Check Initialized() and BufferSize() for the outcome.
  CPCMBuffer(const CPCMBuffer& other);
  CPCMBuffer& operator=(const CPCMBuffer& other);

  virtual ~CPCMBuffer();
  // A copy as above on the heap, or null when its ring cannot be allocated.
  virtual CPCMBuffer* Copy();
  // Starts over with a ring of `size` bytes over `source` (not owned). A loaded-once buffer
  // reads the whole source from its current position at once. 0 when out of memory.
  virtual int Init(CRefObj* source, unsigned long size, int loadedOnce, int fillPercent = 50);
  virtual void SetRefObj(CRefObj* source);
  // Tops the ring up from the source once it has drained to the fill percent. Returns 0 when
  // the ring was full enough to need nothing, 1 otherwise.
  virtual int Fill();
  // Releases the ring memory of a streaming buffer until the next Fill.
  virtual void LowActivityMode();
  // Starts a read of `bytesToRead` bytes at virtual start + `offset` in the source; positions
  // past the source's data wrap round to its start. 0 when the source cannot be positioned.
  virtual int SetReadVariables(unsigned long offset, unsigned long bytesToRead);
  // Lengthens or shortens the current read; never below nothing.
  virtual int AdjustBytesToRead(long delta);
  // The unread bytes as at most two regions in ring order; an absent region has length 0.
  virtual int Lock(unsigned char*& first, unsigned long& firstLength, unsigned char*& second,
                   unsigned long& secondLength);
  virtual int Unlock();
  // The consumer has taken `count` bytes.
  virtual void UpdateReadOffset(unsigned long count);
  // Passes over `count` bytes of the read as if the consumer had taken them, without reading
  // from the source what the ring does not hold yet. 0 when the source cannot be positioned.
  int SkipBytes(unsigned long count);
  // Copies the `count` bytes just before the read position (the last ones handed out or
  // passed over) into `out`. 0 when they cannot be read.
  int ReadBehind(unsigned char* out, unsigned long count);
  // Stores the bytes of the current read not yet handed out; returns 1 while there are any.
  virtual int BytesLeftToRead(unsigned long& left);
  virtual int BufferFinished();
  virtual void MarkAsFinished();

  // Allocates a fresh ring for a streaming buffer and forgets what the old one held.
  int PrepareStreamingBuffer();
  // A hook for derived buffers; nothing to do for plain PCM.
  int PreFilterData(const tWAVEFORMATEX* sourceFormat, const tWAVEFORMATEX* destinationFormat);

  CRefObj* GetReferenceObject() const { return ref_obj_; }
  uint32_t BufferSize() const { return buffer_size_; }
  int FillPercent() const { return fill_percent_; }
  uint32_t StartOffset() const { return start_offset_; }
  uint32_t ReadOrigin() const { return read_origin_; }
  uint32_t TotalBytesRead() const { return bytes_read_; }
  uint32_t TotalBytesToRead() const { return bytes_to_read_; }
  int IsLoadedOnce() const { return loaded_once_; }
  int Streaming() const { return loaded_once_ ? 0 : 1; }
  int Initialized() const { return initialized_; }
  void SetInitialized(int initialized) { initialized_ = initialized; }
  int InLowActivityMode() const { return low_activity_; }
  uint32_t NewDataInBuffer() const { return unread_; }
  uint32_t GetVirtualStart() const { return virtual_start_; }
  // The byte a loaded-once ring is padded with where its source came up short: the silence of
  // the samples it holds (SilenceByte of their size). Set before Init; copies keep it.
  void SetSilence(unsigned char silence) { silence_ = silence; }
  unsigned char Silence() const { return silence_; }
  void SetVirtualStart(uint32_t start) { virtual_start_ = start; }

 protected:
  // Moves up to `count` bytes from the source into the free part of the ring.
  virtual void FillData(unsigned long count);
  // Bytes from the source into `destination`; fewer than asked only at its end.
  virtual long ReadData(unsigned char* destination, unsigned long count);
  // Positions the source at `position` bytes into its data, wrapped into the data's length.
  virtual int Seek(unsigned long position);

  // 1 once the source can deliver no more bytes for the current read.
  int SourceExhausted() const { return exhausted_; }

 private:
  void ReleaseStorage();
  void AssignFrom(const CPCMBuffer& other);
  int AllocateStorage(uint32_t size);
  void PointAtStorage();
  // Reads `count` bytes at `at` with as many source reads as it takes; returns the bytes that
  // arrived.
  unsigned long ReadRepeatedly(unsigned char* at, unsigned long count);
  void Advance(unsigned char*& pointer, unsigned long count) const;

  CRefObj* ref_obj_ = nullptr;
  uint32_t buffer_size_ = 0;
  int fill_percent_ = 50;
  uint32_t start_offset_ = 0;
  uint32_t bytes_read_ = 0;
  uint32_t bytes_to_read_ = 0;
  int loaded_once_ = 0;
  int initialized_ = 0;
  int low_activity_ = 0;
  _pcmStorage* storage_ = nullptr;
  unsigned char* ring_begin_ = nullptr;
  unsigned char* ring_end_ = nullptr;
  unsigned char* read_ = nullptr;
  unsigned char* write_ = nullptr;
  int finished_ = 0;
  int exhausted_ = 0;
  int reading_ = 0;
  uint32_t unread_ = 0;
  uint32_t virtual_start_ = 0;
  unsigned char silence_ = 0;
  // Where the current read began in the source; unlike the start offset, kept when the ring
  // is allocated again after low activity.
  uint32_t read_origin_ = 0;
};
