#pragma once

#include <sonark/visibility.h>

#include <cstdint>
#include <vector>

class CRefObj;
struct TMusicInfo;

// An ID3v2 tag at the start of an MPEG audio file: the 10-byte header ("ID3", version,
// revision, flags, the tag size as four 7-bit bytes) and the frame block behind it.
//
// Tags of versions 2.3 and 2.4 are read; their frames stay in the block as they were (an
// extended header is dropped, a tag-wide unsynchronisation of version 2.3 undone) and frames
// this class does not know are written back untouched. A tag keeps its version when
// written: version 2.3 frame sizes are plain 32-bit numbers, version 2.4 ones 7-bit. New tags
// are version 2.3. A version 2.2 tag is not interpreted: reading it gives no frames.
//
// Texts come out as UTF-8 (from ISO-8859-1, UTF-16 with a byte-order mark, UTF-16BE or UTF-8)
// and go in as ISO-8859-1 where every character fits it, else as UTF-16 with a byte-order
// mark.
//
// The block is at least 2048 bytes and grows in steps of 2048. Size() is the block size plus
// the header. File operations use the object's plain stream positions; the tag lies at 0.
//
// Results are 1/0 with the detail in the thread's last error: kErrOutOfMemory when a block
// cannot be allocated, kErrId3Malformed for a tag that cannot be read whole.
class SONARK_API CId3TagV2 {
 public:
  static constexpr unsigned long kBlockStep = 2048;
  static constexpr int kHeaderSize = 10;

  // The supported frames, in the order UpdateFromMusicInfo builds them.
  enum Frame : unsigned {
    kArtist,     // "TPE1"
    kAlbum,      // "TALB"
    kTitle,      // "TIT2"
    kComments,   // "COMM"
    kEncoder,    // "TENC"
    kCopyright,  // "TCOP"
    kMcdi,       // "MCDI", the binary music CD identifier
    kYear,       // "TYER" ("TDRC" in a version 2.4 tag)
    kGenre,      // "TCON"
    kTrack,      // "TRCK"
    kFrameCount
  };

  explicit CId3TagV2(unsigned long size = kBlockStep);
  CId3TagV2(const CId3TagV2&) = delete;
  CId3TagV2& operator=(const CId3TagV2&) = delete;
  virtual ~CId3TagV2();

  // An empty version 2.3 tag with a block of at least `size` bytes.
  int Init(unsigned long size);
  // Writes `size` into the header's size field.
  void SetSize(unsigned long size);
  // The frame block (Size() - 10 bytes).
  unsigned char* Data() { return block_.data(); }
  // Grows the block to hold at least `size` bytes (never shrinks it); the frames stay.
  int Resize(unsigned long size);
  unsigned long GetBytesUsed() const { return used_; }
  unsigned long Size() const { return static_cast<unsigned long>(block_.size()) + kHeaderSize; }
  unsigned long BlockSize() const { return static_cast<unsigned long>(block_.size()); }
  // 3 or 4.
  int Version() const { return header_[3]; }
  // 1 after a Read that took the whole tag.
  int ReadSucceeded() const { return read_ok_; }
  // The block grew beyond the size the tag had in its file, so the audio behind must move.
  int Moved() const { return moved_; }

  // The size field of the tag at the start of `file`, or 0 when the file holds no tag there.
  unsigned long ReadSize(CRefObj* file);
  // Writes this tag's size field into the tag at the start of `file`.
  int WriteSize(CRefObj* file);
  // Writes the 10-byte header at the start of `file`.
  int WriteHeader(CRefObj* file);

  // Reads the tag at the start of `file`; `size` (the tag size found by the MPEG inspection,
  // 0 to take the header's) may only shorten what the header declares. Never reads past the
  // declared size or the end of the file. A frame running past the tag, a size of 0 or a
  // short read give kErrId3Malformed and 0; the frames before the fault stay readable.
  int Read(CRefObj* file, unsigned long size);
  // Writes the tag at the start of `file`. When the frames no longer fit the tag the file
  // holds there (or it holds none), the audio behind is first moved forward in 1 MiB steps;
  // a tag that still fits is written in its old size, padded with zero bytes.
  int Write(CRefObj* file);
  // Writes the header and the empty block at the start of a new file.
  int CreateInitialTagV2(CRefObj* file);

  // Fills `info` from every supported frame found (the other fields stay).
  int GetMusicInfo(TMusicInfo* info);
  // Brings every supported frame in line with `info`: replaced in place, added behind the
  // last frame, or removed when the field is empty. A frame that already says the same is left
  // as it is.
  int UpdateFromMusicInfo(TMusicInfo* info);

  // The first frame `id` (4 characters): the offset of its header in the block and the size
  // of its body. 0 when there is none.
  int FindFrame(const char* id, unsigned long* offset, unsigned long* size);
  // Fills the field of frame `frame` from the tag; 1 when the frame was there.
  int GetFrame(unsigned frame, TMusicInfo* info);
  // Writes the field of frame `frame` into the tag; with `replace` false an existing frame is
  // left alone.
  int UpdateFrame(unsigned frame, TMusicInfo* info, bool replace);

  int GetArtist(TMusicInfo* info) { return GetFrame(kArtist, info); }
  int GetAlbum(TMusicInfo* info) { return GetFrame(kAlbum, info); }
  int GetTitle(TMusicInfo* info) { return GetFrame(kTitle, info); }
  int GetComments(TMusicInfo* info) { return GetFrame(kComments, info); }
  int GetEncoder(TMusicInfo* info) { return GetFrame(kEncoder, info); }
  int GetCopyright(TMusicInfo* info) { return GetFrame(kCopyright, info); }
  int GetMCDI(TMusicInfo* info) { return GetFrame(kMcdi, info); }
  int GetYear(TMusicInfo* info) { return GetFrame(kYear, info); }
  int GetGenre(TMusicInfo* info) { return GetFrame(kGenre, info); }
  int GetGenreIndex(TMusicInfo* info) { return GetFrame(kGenre, info); }
  int GetTrack(TMusicInfo* info) { return GetFrame(kTrack, info); }
  int UpdateArtist(TMusicInfo* info, bool replace = true) {
    return UpdateFrame(kArtist, info, replace);
  }
  int UpdateAlbum(TMusicInfo* info, bool replace = true) {
    return UpdateFrame(kAlbum, info, replace);
  }
  int UpdateTitle(TMusicInfo* info, bool replace = true) {
    return UpdateFrame(kTitle, info, replace);
  }
  int UpdateComments(TMusicInfo* info, bool replace = true) {
    return UpdateFrame(kComments, info, replace);
  }
  int UpdateEncoder(TMusicInfo* info, bool replace = true) {
    return UpdateFrame(kEncoder, info, replace);
  }
  int UpdateCopyright(TMusicInfo* info, bool replace = true) {
    return UpdateFrame(kCopyright, info, replace);
  }
  int UpdateMCDI(TMusicInfo* info, bool replace = true) {
    return UpdateFrame(kMcdi, info, replace);
  }
  int UpdateYear(TMusicInfo* info, bool replace = true) {
    return UpdateFrame(kYear, info, replace);
  }
  int UpdateGenre(TMusicInfo* info, bool replace = true) {
    return UpdateFrame(kGenre, info, replace);
  }
  int UpdateGenreIndex(TMusicInfo* info, bool replace = true) {
    return UpdateFrame(kGenre, info, replace);
  }
  int UpdateTrack(TMusicInfo* info, bool replace = true) {
    return UpdateFrame(kTrack, info, replace);
  }

  // The 3-letter language of the comment frames written, for the whole engine; "eng" at start.
  // `code` holds 4 bytes.
  static void GetLangCode(char* const code);
  static void SetLangCode(char* const code);

 private:
  struct FrameRef {
    unsigned long offset;  // of the frame header in the block
    unsigned long size;    // of the body
  };
  // Every frame of the block in order.
  std::vector<FrameRef> Frames() const;
  // Frames whose flags say compressed, encrypted, unsynchronised or grouped are kept but not
  // read.
  bool Interpretable(const FrameRef& frame) const;
  // The frame UpdateFrame replaces: the first readable one of the id (for comments, the one
  // described "Comments" or not described).
  int FindFrameOf(unsigned frame, FrameRef* found) const;
  // Fills the field of `frame` from the body of `ref`; false when it cannot be read.
  bool DecodeFrame(unsigned frame, const FrameRef& ref, TMusicInfo* info) const;
  // The body of the frame `frame` would have for `info`; empty when nothing is to be written.
  std::vector<unsigned char> BuildBody(unsigned frame, const TMusicInfo& info) const;
  // Replaces the frame at `at` (or inserts at the end of the frames when null) with `body`,
  // or removes it when `body` is empty.
  int Splice(const FrameRef* at, const char* id, const std::vector<unsigned char>& body);
  const char* FrameId(unsigned frame) const;
  unsigned long FrameSize(const unsigned char* p) const;
  void PutFrameSize(unsigned char* p, unsigned long size) const;
  // Moves the bytes from `from` to the end of `file` forward by `delta` bytes.
  static int MoveForward(CRefObj* file, long from, long delta);

  unsigned char header_[kHeaderSize] = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 0};
  std::vector<unsigned char> block_;
  unsigned long used_ = 0;
  int read_ok_ = 0;
  unsigned long previous_size_ = 0;  // the tag's size in its file when read or created
  int moved_ = 0;
};
