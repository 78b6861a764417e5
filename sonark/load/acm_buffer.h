#pragma once

#include <sonark/render/pcm_buffer.h>
#include <sonark/visibility.h>

#include <cstddef>
#include <cstdint>
#include <vector>

class ACMObject;
class CSeekMap;

// The streaming buffer of a sound with compressed data: the ring logic of CPCMBuffer over
// PCM that its decoder makes from the source while the sound plays. Positions are bytes of
// that PCM; a seek restarts the decoder where the seek map (or the codec's fixed blocks)
// says and drops what comes before the position, so a read after any seek gives exactly the
// bytes of a decode from the start.
//
// The decoder belongs to the sound (not owned here); the seek map is shared by reference.
class SONARK_API CACMBuffer : public CPCMBuffer {
 public:
  // Holds a reference on `seekMap` (which may be null).
  explicit CACMBuffer(CSeekMap* seekMap);
  // The same decoder and seek map, with an empty ring (see CPCMBuffer's copy).
  CACMBuffer(const CACMBuffer& other);
  CACMBuffer& operator=(const CACMBuffer&) = delete;
  ~CACMBuffer() override;

  CPCMBuffer* Copy() override;
  // Lets go of the source block too.
  void LowActivityMode() override;

  void SetACMObject(ACMObject* decoder);
  ACMObject* GetACMObject() const { return decoder_; }
  CSeekMap* GetSeekMap() const { return seek_map_; }
  // Releases the old map and takes a reference on the new one.
  void SetSeekMap(CSeekMap* seekMap);
  // The source bytes (into srcBytes) to read for about `pcmBytes` of PCM, whole blocks, at
  // least the decoder's minimum, and never so much that more than 600000 bytes come out.
  // Returns the PCM bytes they make.
  long BufferSanityAdjust(unsigned long pcmBytes, unsigned long& srcBytes);
  // The whole decoded size, 0 when not known.
  uint64_t PcmSize() const;
  // 1 once the source has been read to its data's end and everything decoded from it has gone
  // into the ring (the ring itself may still hold some).
  int Drained() const;

 protected:
  long ReadData(unsigned char* destination, unsigned long count) override;
  int Seek(unsigned long pcmPosition) override;

 private:
  // Hands out carried bytes; returns how many.
  unsigned long TakeCarry(unsigned char* destination, unsigned long count);
  // Places decoded bytes: into the destination as far as it goes, the rest carried.
  void Place(const unsigned char* data, unsigned long bytes, unsigned char* destination,
             unsigned long count, unsigned long& got);

  ACMObject* decoder_ = nullptr;
  unsigned long restart_offset_ = 0;
  std::vector<unsigned char> carry_;
  size_t carry_read_ = 0;
  uint64_t decoded_position_ = 0;
  std::vector<unsigned char> source_block_;
  std::vector<unsigned char> decoded_block_;
  int restart_ = 1;
  CSeekMap* seek_map_ = nullptr;
  bool flushed_ = false;
  bool ended_ = false;
};
