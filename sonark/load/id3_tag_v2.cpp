#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/fail.h>
#include <sonark/load/id3_tag_v2.h>
#include <sonark/load/id3_text.h>
#include <sonark/load/music_info.h>
#include <strings.h>
#include <tarnell/errors.h>
#include <tarnell/ref_obj.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

using sonark::Fail;

namespace {

constexpr const char* kFrameIds[CId3TagV2::kFrameCount] = {"TPE1", "TALB", "TIT2", "COMM", "TENC",
                                                           "TCOP", "MCDI", "TYER", "TCON", "TRCK"};

// The 7-bit size field can say no more.
constexpr unsigned long kLargestTag = 0x0FFFFFFF;
// The audio behind a growing tag moves in steps of this size.
constexpr long kMoveStep = 1L << 20;
constexpr char kCommentDescription[] = "Comments";

std::mutex g_lang_mutex;
char g_lang[4] = "eng";

unsigned long SevenBitSize(const unsigned char* p) {
  return ((p[0] * 128UL + p[1]) * 128UL + p[2]) * 128UL + p[3];
}

void PutSevenBitSize(unsigned char* p, unsigned long size) {
  for (int i = 3; i >= 0; --i, size >>= 7) p[i] = static_cast<unsigned char>(size & 0x7F);
}

unsigned long PlainSize(const unsigned char* p) {
  return static_cast<unsigned long>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

void PutPlainSize(unsigned char* p, unsigned long size) {
  for (int i = 3; i >= 0; --i, size >>= 8) p[i] = static_cast<unsigned char>(size & 0xFF);
}

bool IsIdByte(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

bool IsFrameId(const unsigned char* p) {
  return IsIdByte(p[0]) && IsIdByte(p[1]) && IsIdByte(p[2]) && IsIdByte(p[3]);
}

unsigned long RoundedBlock(unsigned long size) {
  if (size == 0) return CId3TagV2::kBlockStep;
  return (size + CId3TagV2::kBlockStep - 1) / CId3TagV2::kBlockStep * CId3TagV2::kBlockStep;
}

// Reverses a tag-wide unsynchronisation: every 0xFF 0x00 pair loses its 0x00.
void Resynchronise(std::vector<unsigned char>& bytes) {
  size_t out = 0;
  for (size_t in = 0; in < bytes.size(); ++in) {
    bytes[out++] = bytes[in];
    if (bytes[in] == 0xFF && in + 1 < bytes.size() && bytes[in + 1] == 0) ++in;
  }
  bytes.resize(out);
}

// One string of a frame in `encoding`, up to its terminator or `length`; `consumed` receives
// the bytes taken with the terminator. False for an encoding we do not know.
bool DecodeString(unsigned encoding, const unsigned char* p, size_t length, std::string* out,
                  size_t* consumed) {
  // Some writers put UTF-16 with its byte-order mark behind encoding 0.
  if (encoding == 0 && length >= 2 &&
      ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF))) {
    encoding = 1;
  }
  if (encoding == 0 || encoding == 3) {
    const auto* end = static_cast<const unsigned char*>(std::memchr(p, 0, length));
    const size_t text = end != nullptr ? static_cast<size_t>(end - p) : length;
    const char* chars = reinterpret_cast<const char*>(p);
    *out = encoding == 0 ? sonark::text::Latin1ToUtf8(chars, text)
                         : sonark::text::SanitizeUtf8(chars, text);
    *consumed = end != nullptr ? text + 1 : text;
    return true;
  }
  if (encoding == 1 || encoding == 2) {
    size_t start = 0;
    bool bigEndian = encoding == 2;
    if (length >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
      start = 2, bigEndian = false;
    } else if (length >= 2 && p[0] == 0xFE && p[1] == 0xFF) {
      start = 2, bigEndian = true;
    }
    size_t end = start;
    while (end + 1 < length && !(p[end] == 0 && p[end + 1] == 0)) end += 2;
    const size_t units = std::min(end, length) - start;
    *out = sonark::text::Utf16ToUtf8(p + start, units - units % 2, bigEndian);
    *consumed = end + 1 < length ? end + 2 : length;
    return true;
  }
  return false;
}

// The body of a text frame: the encoding byte and the first string.
bool DecodeText(const unsigned char* body, size_t size, std::string* out) {
  if (size < 1) return false;
  size_t consumed;
  return DecodeString(body[0], body + 1, size - 1, out, &consumed);
}

// ISO-8859-1 when every character fits it, else UTF-16 with a byte-order mark.
unsigned ChooseEncoding(const std::string& text) { return sonark::text::FitsLatin1(text) ? 0 : 1; }

void AppendString(std::vector<unsigned char>& body, unsigned encoding, const std::string& text,
                  bool terminate) {
  std::string bytes;
  if (encoding == 0) {
    bytes = sonark::text::Utf8ToLatin1(text);
  } else {
    bytes = "\xFF\xFE" + sonark::text::Utf8ToUtf16Le(text);
  }
  body.insert(body.end(), bytes.begin(), bytes.end());
  if (terminate) body.insert(body.end(), encoding == 0 ? 1 : 2, 0);
}

std::vector<unsigned char> TextBody(const std::string& text) {
  std::vector<unsigned char> body;
  if (text.empty()) return body;
  const unsigned encoding = ChooseEncoding(text);
  body.push_back(static_cast<unsigned char>(encoding));
  AppendString(body, encoding, text, false);
  return body;
}

// Comment frames: encoding, language, description, text. False when it cannot be read.
bool DecodeComment(const unsigned char* body, size_t size, std::string* description,
                   std::string* text) {
  if (size < 4) return false;
  size_t consumed = 0;
  if (!DecodeString(body[0], body + 4, size - 4, description, &consumed)) return false;
  size_t textConsumed;
  return DecodeString(body[0], body + 4 + consumed, size - 4 - consumed, text, &textConsumed);
}

void SetText(char (&field)[TMusicInfo::kTextSize], const std::string& text) {
  sonark::text::CopyUtf8(field, sizeof(field), text.c_str());
}

}  // namespace

CId3TagV2::CId3TagV2(unsigned long size) { Init(size); }

CId3TagV2::~CId3TagV2() = default;

int CId3TagV2::Init(unsigned long size) {
  const unsigned char header[kHeaderSize] = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 0};
  std::memcpy(header_, header, sizeof(header_));
  block_.clear();
  used_ = 0;
  read_ok_ = 0;
  moved_ = 0;
  previous_size_ = 0;
  if (size > kLargestTag) return Fail(sonark::kErrOutOfMemory);
  try {
    block_.assign(RoundedBlock(size), 0);
  } catch (const std::bad_alloc&) {
    return Fail(sonark::kErrOutOfMemory);
  }
  previous_size_ = BlockSize();
  SetSize(BlockSize());
  return 1;
}

void CId3TagV2::SetSize(unsigned long size) { PutSevenBitSize(header_ + 6, size); }

int CId3TagV2::Resize(unsigned long size) {
  if (size <= BlockSize()) return 1;
  if (size > kLargestTag) return Fail(sonark::kErrOutOfMemory);
  try {
    block_.resize(RoundedBlock(size), 0);
  } catch (const std::bad_alloc&) {
    return Fail(sonark::kErrOutOfMemory);
  }
  SetSize(BlockSize());
  moved_ = used_ > previous_size_ ? 1 : 0;
  return 1;
}

unsigned long CId3TagV2::ReadSize(CRefObj* file) {
  unsigned char header[kHeaderSize];
  if (file == nullptr || !file->Seek(0, 0) ||
      file->Read(reinterpret_cast<char*>(header), kHeaderSize) != kHeaderSize ||
      std::memcmp(header, "ID3", 3) != 0) {
    return 0;
  }
  return SevenBitSize(header + 6);
}

int CId3TagV2::WriteSize(CRefObj* file) {
  if (file == nullptr || !file->Seek(6, 0)) return 0;
  if (file->Write(reinterpret_cast<const char*>(header_ + 6), 4) != 4) {
    return Fail(tarnell::kErrWriteFailed);
  }
  return 1;
}

int CId3TagV2::WriteHeader(CRefObj* file) {
  if (file == nullptr || !file->Seek(0, 0)) return 0;
  if (file->Write(reinterpret_cast<const char*>(header_), kHeaderSize) != kHeaderSize) {
    return Fail(tarnell::kErrWriteFailed);
  }
  return 1;
}

unsigned long CId3TagV2::FrameSize(const unsigned char* p) const {
  return Version() == 4 ? SevenBitSize(p) : PlainSize(p);
}

void CId3TagV2::PutFrameSize(unsigned char* p, unsigned long size) const {
  if (Version() == 4) {
    PutSevenBitSize(p, size);
  } else {
    PutPlainSize(p, size);
  }
}

int CId3TagV2::Read(CRefObj* file, unsigned long size) {
  if (!Init(kBlockStep)) return 0;
  unsigned char header[kHeaderSize];
  if (file == nullptr || !file->Seek(0, 0) ||
      file->Read(reinterpret_cast<char*>(header), kHeaderSize) != kHeaderSize ||
      std::memcmp(header, "ID3", 3) != 0) {
    return Fail(sonark::kErrId3Malformed);
  }
  unsigned long declared = SevenBitSize(header + 6);
  if (size != 0 && size < declared) declared = size;
  if (declared == 0) return Fail(sonark::kErrId3Malformed);
  previous_size_ = declared;

  const int version = header[3];
  if (version != 3 && version != 4) {
    // Version 2.2 (three-letter frames) and unknown versions: nothing is read from them, and
    // a tag written over them starts afresh as version 2.3.
    read_ok_ = 1;
    return 1;
  }

  // Never past the end of the file, whatever the header claims.
  const long fileSize = file->Size();
  const unsigned long available =
      fileSize > kHeaderSize ? static_cast<unsigned long>(fileSize - kHeaderSize) : 0;
  const unsigned long wanted = std::min(declared, available);
  std::vector<unsigned char> raw;
  try {
    raw.resize(wanted);
  } catch (const std::bad_alloc&) {
    return Fail(sonark::kErrOutOfMemory);
  }
  const long got =
      wanted > 0 ? file->Read(reinterpret_cast<char*>(raw.data()), static_cast<long>(wanted)) : 0;
  raw.resize(got > 0 ? static_cast<size_t>(got) : 0);
  bool malformed = raw.size() < declared;

  const unsigned char flags = header[5];
  if (version == 3 && (flags & 0x80)) Resynchronise(raw);
  size_t start = 0;
  if ((flags & 0x40) && raw.size() >= 4) {
    // The extended header: its size excludes its size field in version 2.3, includes it in 2.4.
    start = version == 3 ? PlainSize(raw.data()) + 4UL : SevenBitSize(raw.data());
    if (start > raw.size()) start = raw.size(), malformed = true;
  }
  const size_t length = raw.size() - start;
  if (!Resize(length)) return 0;
  if (length > 0) std::memcpy(block_.data(), raw.data() + start, length);
  header_[3] = static_cast<unsigned char>(version);

  // A frame may end where the next frame, the padding or the tag begins.
  auto fitsNext = [&](size_t next) {
    return next == length ||
           (next < length &&
            (block_[next] == 0 || (next + 10 <= length && IsFrameId(block_.data() + next))));
  };
  size_t p = 0;
  while (p + 10 <= length && IsFrameId(block_.data() + p)) {
    unsigned char* sizeField = block_.data() + p + 4;
    unsigned long frameSize = FrameSize(sizeField);
    const bool sevenBits = !(sizeField[0] & 0x80) && !(sizeField[1] & 0x80) &&
                           !(sizeField[2] & 0x80) && !(sizeField[3] & 0x80);
    if (frameSize >= 128 && !fitsNext(p + 10 + frameSize)) {
      // Writers that took the other version's frame sizes: 7-bit sizes in version 2.3 (as this
      // engine once wrote them), plain ones in 2.4. Where only the other reading lands on a
      // frame, the size is stored again in the form the version asks for.
      const unsigned long other = version == 3 ? SevenBitSize(sizeField) : PlainSize(sizeField);
      if ((version == 4 || sevenBits) && fitsNext(p + 10 + other)) {
        frameSize = other;
        PutFrameSize(sizeField, frameSize);
      }
    }
    if (frameSize == 0) break;
    if (frameSize > length - p - 10) {
      malformed = true;
      break;
    }
    p += 10 + frameSize;
  }
  used_ = p;
  std::fill(block_.begin() + static_cast<long>(used_), block_.end(), 0);
  SetSize(BlockSize());
  moved_ = 0;
  if (malformed) return Fail(sonark::kErrId3Malformed);
  read_ok_ = 1;
  return 1;
}

int CId3TagV2::MoveForward(CRefObj* file, long from, long delta) {
  const long end = file->Size();
  if (end < from || delta <= 0) return 1;
  std::vector<char> buffer;
  try {
    buffer.assign(static_cast<size_t>(std::min(kMoveStep, std::max(delta, end - from))), 0);
  } catch (const std::bad_alloc&) {
    return Fail(sonark::kErrOutOfMemory);
  }
  // The file grows first (it cannot be sought past its end), then the audio moves from its
  // end backwards so that no byte is overwritten before it was copied.
  if (!file->Seek(end, 0)) return 0;
  for (long left = delta; left > 0;) {
    const long n = std::min(left, static_cast<long>(buffer.size()));
    if (file->Write(buffer.data(), n) != n) return Fail(tarnell::kErrWriteFailed);
    left -= n;
  }
  for (long position = end; position > from;) {
    const long n = std::min(position - from, static_cast<long>(buffer.size()));
    position -= n;
    if (!file->Seek(position, 0) || file->Read(buffer.data(), n) != n) {
      return Fail(sonark::kErrId3Malformed);
    }
    if (!file->Seek(position + delta, 0)) return 0;
    if (file->Write(buffer.data(), n) != n) return Fail(tarnell::kErrWriteFailed);
  }
  return 1;
}

int CId3TagV2::Write(CRefObj* file) {
  if (file == nullptr || !file->IsOpen()) return Fail(tarnell::kErrNotOpen);
  // What the file holds now decides whether the audio has to move.
  const long fileSize = file->Size();
  unsigned char old[kHeaderSize] = {};
  const bool hasTag = file->Seek(0, 0) &&
                      file->Read(reinterpret_cast<char*>(old), kHeaderSize) == kHeaderSize &&
                      std::memcmp(old, "ID3", 3) == 0 && SevenBitSize(old + 6) > 0;
  const unsigned long oldSize =
      hasTag ? std::min<unsigned long>(SevenBitSize(old + 6),
                                       static_cast<unsigned long>(fileSize - kHeaderSize))
             : 0;
  unsigned long newSize = BlockSize();
  if (hasTag && oldSize > 0 && used_ <= oldSize) {
    newSize = oldSize;
  } else {
    const long from = hasTag ? kHeaderSize + static_cast<long>(oldSize) : 0;
    const long to = kHeaderSize + static_cast<long>(newSize);
    if (!MoveForward(file, from, to - from)) return 0;
  }
  SetSize(newSize);
  if (!WriteHeader(file)) return 0;
  const unsigned long fromBlock = std::min(newSize, BlockSize());
  if (file->Write(reinterpret_cast<const char*>(block_.data()), static_cast<long>(fromBlock)) !=
      static_cast<long>(fromBlock)) {
    return Fail(tarnell::kErrWriteFailed);
  }
  const std::vector<char> zeros(newSize - fromBlock, 0);
  if (!zeros.empty() && file->Write(zeros.data(), static_cast<long>(zeros.size())) !=
                            static_cast<long>(zeros.size())) {
    return Fail(tarnell::kErrWriteFailed);
  }
  previous_size_ = newSize;
  moved_ = 0;
  SetSize(BlockSize());
  return 1;
}

int CId3TagV2::CreateInitialTagV2(CRefObj* file) {
  if (file == nullptr || !file->IsOpen()) return Fail(tarnell::kErrNotOpen);
  SetSize(BlockSize());
  if (!WriteHeader(file)) return 0;
  if (file->Write(reinterpret_cast<const char*>(block_.data()), static_cast<long>(BlockSize())) !=
      static_cast<long>(BlockSize())) {
    return Fail(tarnell::kErrWriteFailed);
  }
  previous_size_ = BlockSize();
  moved_ = 0;
  return 1;
}

std::vector<CId3TagV2::FrameRef> CId3TagV2::Frames() const {
  std::vector<FrameRef> frames;
  unsigned long p = 0;
  while (p + 10 <= used_) {
    const unsigned long size = FrameSize(block_.data() + p + 4);
    if (size == 0 || size > used_ - p - 10) break;
    frames.push_back({p, size});
    p += 10 + size;
  }
  return frames;
}

const char* CId3TagV2::FrameId(unsigned frame) const {
  if (frame == kYear && Version() == 4) return "TDRC";
  return frame < kFrameCount ? kFrameIds[frame] : "";
}

int CId3TagV2::FindFrame(const char* id, unsigned long* offset, unsigned long* size) {
  if (id == nullptr || std::strlen(id) != 4) return 0;
  for (const FrameRef& frame : Frames()) {
    if (std::memcmp(block_.data() + frame.offset, id, 4) != 0) continue;
    if (offset != nullptr) *offset = frame.offset;
    if (size != nullptr) *size = frame.size;
    return 1;
  }
  return 0;
}

bool CId3TagV2::Interpretable(const FrameRef& frame) const {
  const unsigned char format = block_[frame.offset + 9];
  // 2.3: compression, encryption, grouping; 2.4: grouping, compression, encryption,
  // unsynchronisation, data length indicator.
  return (format & (Version() == 4 ? 0x4F : 0xE0)) == 0;
}

bool CId3TagV2::DecodeFrame(unsigned frame, const FrameRef& ref, TMusicInfo* info) const {
  const unsigned char* body = block_.data() + ref.offset + 10;
  const size_t size = ref.size;
  std::string text;
  switch (frame) {
    case kArtist:
    case kAlbum:
    case kTitle:
    case kEncoder:
    case kCopyright: {
      if (!DecodeText(body, size, &text)) return false;
      char(&field)[TMusicInfo::kTextSize] = frame == kArtist    ? info->artist
                                            : frame == kAlbum   ? info->album
                                            : frame == kTitle   ? info->title
                                            : frame == kEncoder ? info->encoder
                                                                : info->copyright;
      SetText(field, text);
      return true;
    }
    case kComments: {
      std::string description;
      if (!DecodeComment(body, size, &description, &text)) return false;
      SetText(info->comment, text);
      return true;
    }
    case kMcdi: {
      const size_t length = std::min<size_t>(size, TMusicInfo::kCdIdentifierSize);
      std::memcpy(info->cdIdentifier, body, length);
      info->cdIdentifierLength = static_cast<long>(length);
      return true;
    }
    case kYear:
      if (!DecodeText(body, size, &text)) return false;
      info->year = sonark::YearFromText(text.c_str());
      return true;
    case kGenre: {
      if (!DecodeText(body, size, &text)) return false;
      // Version 2.4 writes a genre number without brackets.
      const bool number =
          !text.empty() && text.size() <= 3 &&
          std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
      if (number && std::stoi(text) < TMusicInfo::kNoGenre) text = "(" + text + ")";
      sonark::SetGenreFromText(info, text.c_str());
      return true;
    }
    case kTrack:
      if (!DecodeText(body, size, &text)) return false;
      sonark::SetTrackFromText(info, text.c_str());
      return true;
    default:
      return false;
  }
}

int CId3TagV2::GetFrame(unsigned frame, TMusicInfo* info) {
  if (info == nullptr || frame >= kFrameCount) return 0;
  const std::vector<FrameRef> frames = Frames();
  auto isId = [&](const FrameRef& ref, const char* id) {
    return std::memcmp(block_.data() + ref.offset, id, 4) == 0;
  };
  if (frame == kComments) {
    int found = 0;
    for (const FrameRef& ref : frames) {
      if (!isId(ref, "COMM") || !Interpretable(ref)) continue;
      std::string description;
      std::string text;
      if (!DecodeComment(block_.data() + ref.offset + 10, ref.size, &description, &text)) {
        continue;
      }
      if ((found == 0 && info->comment[0] == '\0') ||
          strcasecmp(description.c_str(), kCommentDescription) == 0) {
        SetText(info->comment, text);
      }
      found = 1;
    }
    if (found) return 1;
    // ffmpeg and others keep the comment in a user text frame described "comment".
    for (const FrameRef& ref : frames) {
      if (!isId(ref, "TXXX") || !Interpretable(ref) || ref.size < 1) continue;
      const unsigned char* body = block_.data() + ref.offset + 10;
      std::string description;
      std::string text;
      size_t consumed = 0;
      size_t ignored = 0;
      if (DecodeString(body[0], body + 1, ref.size - 1, &description, &consumed) &&
          strcasecmp(description.c_str(), "comment") == 0 &&
          DecodeString(body[0], body + 1 + consumed, ref.size - 1 - consumed, &text, &ignored)) {
        if (info->comment[0] == '\0') SetText(info->comment, text);
        return 1;
      }
    }
    return 0;
  }
  // The year also comes from the frame the other version uses.
  const char* ids[2] = {FrameId(frame), nullptr};
  if (frame == kYear) ids[1] = Version() == 4 ? "TYER" : "TDRC";
  for (const char* id : ids) {
    if (id == nullptr) continue;
    for (const FrameRef& ref : frames) {
      if (isId(ref, id) && Interpretable(ref) && DecodeFrame(frame, ref, info)) return 1;
    }
  }
  return 0;
}

int CId3TagV2::GetMusicInfo(TMusicInfo* info) {
  if (info == nullptr) return 0;
  for (unsigned frame = 0; frame < kFrameCount; ++frame) GetFrame(frame, info);
  return 1;
}

int CId3TagV2::FindFrameOf(unsigned frame, FrameRef* found) const {
  const char* id = FrameId(frame);
  for (const FrameRef& ref : Frames()) {
    if (std::memcmp(block_.data() + ref.offset, id, 4) != 0 || !Interpretable(ref)) continue;
    if (frame == kComments) {
      std::string description;
      std::string text;
      if (!DecodeComment(block_.data() + ref.offset + 10, ref.size, &description, &text) ||
          (!description.empty() && strcasecmp(description.c_str(), kCommentDescription) != 0)) {
        continue;
      }
    }
    *found = ref;
    return 1;
  }
  return 0;
}

std::vector<unsigned char> CId3TagV2::BuildBody(unsigned frame, const TMusicInfo& info) const {
  char text[32];
  switch (frame) {
    case kArtist:
      return TextBody(info.artist);
    case kAlbum:
      return TextBody(info.album);
    case kTitle:
      return TextBody(info.title);
    case kEncoder:
      return TextBody(info.encoder);
    case kCopyright:
      return TextBody(info.copyright);
    case kComments: {
      std::vector<unsigned char> body;
      if (info.comment[0] == '\0') return body;
      const unsigned encoding = ChooseEncoding(info.comment);
      body.push_back(static_cast<unsigned char>(encoding));
      char lang[4];
      GetLangCode(lang);
      body.insert(body.end(), lang, lang + 3);
      AppendString(body, encoding, kCommentDescription, true);
      AppendString(body, encoding, info.comment, false);
      return body;
    }
    case kMcdi:
      if (info.cdIdentifierLength <= 0 || info.totalTracks < 1) return {};
      return std::vector<unsigned char>(
          info.cdIdentifier, info.cdIdentifier + std::min<long>(info.cdIdentifierLength,
                                                                TMusicInfo::kCdIdentifierSize));
    case kYear:
      if (info.year < 1000 || info.year > 3000) return {};
      std::snprintf(text, sizeof(text), "%04ld", info.year);
      return TextBody(text);
    case kGenre:
      if (info.genreIndex >= 0 && info.genreIndex < TMusicInfo::kNoGenre) {
        std::snprintf(text, sizeof(text), "(%d)", info.genreIndex);
        return TextBody(text);
      }
      return TextBody(info.genre);
    case kTrack: {
      auto valid = [](int n) { return n >= 1 && n <= 99; };
      if (!valid(info.track)) return {};
      if (valid(info.totalTracks)) {
        std::snprintf(text, sizeof(text), "%d/%d", info.track, info.totalTracks);
      } else {
        std::snprintf(text, sizeof(text), "%d", info.track);
      }
      return TextBody(text);
    }
    default:
      return {};
  }
}

int CId3TagV2::Splice(const FrameRef* at, const char* id, const std::vector<unsigned char>& body) {
  const unsigned long oldLength = at != nullptr ? 10 + at->size : 0;
  const unsigned long newLength = body.empty() ? 0 : 10 + static_cast<unsigned long>(body.size());
  const unsigned long used = used_ - oldLength + newLength;
  if (!Resize(used)) return 0;
  const unsigned long position = at != nullptr ? at->offset : used_;
  unsigned char* base = block_.data();
  std::memmove(base + position + newLength, base + position + oldLength,
               used_ - position - oldLength);
  if (newLength > 0) {
    std::memcpy(base + position, id, 4);
    PutFrameSize(base + position + 4, static_cast<unsigned long>(body.size()));
    base[position + 8] = base[position + 9] = 0;
    std::memcpy(base + position + 10, body.data(), body.size());
  }
  if (used < used_) std::memset(base + used, 0, used_ - used);
  used_ = used;
  moved_ = used_ > previous_size_ ? 1 : 0;
  return 1;
}

int CId3TagV2::UpdateFrame(unsigned frame, TMusicInfo* info, bool replace) {
  if (info == nullptr || frame >= kFrameCount) return 0;
  FrameRef ref{};
  const bool exists = FindFrameOf(frame, &ref) != 0;
  if (exists && !replace) return 1;
  if (exists) {
    // A frame that already says the same keeps its own form (its encoding, a full date).
    auto* current = new (std::nothrow) TMusicInfo;
    if (current == nullptr) return Fail(sonark::kErrOutOfMemory);
    bool same = false;
    if (DecodeFrame(frame, ref, current)) {
      switch (frame) {
        case kArtist:
          same = std::strcmp(current->artist, info->artist) == 0;
          break;
        case kAlbum:
          same = std::strcmp(current->album, info->album) == 0;
          break;
        case kTitle:
          same = std::strcmp(current->title, info->title) == 0;
          break;
        case kComments:
          same = std::strcmp(current->comment, info->comment) == 0;
          break;
        case kEncoder:
          same = std::strcmp(current->encoder, info->encoder) == 0;
          break;
        case kCopyright:
          same = std::strcmp(current->copyright, info->copyright) == 0;
          break;
        case kMcdi:
          same = current->cdIdentifierLength == info->cdIdentifierLength &&
                 std::memcmp(current->cdIdentifier, info->cdIdentifier,
                             static_cast<size_t>(current->cdIdentifierLength)) == 0;
          break;
        case kYear:
          same = current->year == info->year;
          break;
        case kGenre:
          same = current->genreIndex == info->genreIndex &&
                 (info->genreIndex != TMusicInfo::kNoGenre ||
                  std::strcmp(current->genre, info->genre) == 0);
          break;
        case kTrack:
          same = current->track == info->track && current->totalTracks == info->totalTracks;
          break;
        default:
          break;
      }
    }
    delete current;
    if (same) return 1;
  }
  const std::vector<unsigned char> body = BuildBody(frame, *info);
  if (body.empty() && !exists) return 1;
  return Splice(exists ? &ref : nullptr, FrameId(frame), body);
}

int CId3TagV2::UpdateFromMusicInfo(TMusicInfo* info) {
  if (info == nullptr) return 0;
  for (unsigned frame = 0; frame < kFrameCount; ++frame) {
    if (!UpdateFrame(frame, info, true)) return 0;
  }
  return 1;
}

void CId3TagV2::GetLangCode(char* const code) {
  if (code == nullptr) return;
  std::lock_guard<std::mutex> lock(g_lang_mutex);
  std::memcpy(code, g_lang, 4);
}

void CId3TagV2::SetLangCode(char* const code) {
  if (code == nullptr || std::strlen(code) < 3) return;
  std::lock_guard<std::mutex> lock(g_lang_mutex);
  std::memcpy(g_lang, code, 3);
  g_lang[3] = '\0';
}
