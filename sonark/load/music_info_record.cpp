#include <platform/byte_order.h>
#include <sonark/load/id3_text.h>
#include <sonark/load/music_info_record.h>
#include <tarnell/riff.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

template <typename T>
int ReadNumber(CRIFF& riff, T* value) {
  unsigned char bytes[sizeof(T)];
  if (riff.Read(reinterpret_cast<char*>(bytes), sizeof(T)) != static_cast<long>(sizeof(T))) {
    return 0;
  }
  uint64_t v = 0;
  for (size_t i = 0; i < sizeof(T); ++i) v |= static_cast<uint64_t>(bytes[i]) << (8 * i);
  *value = static_cast<T>(v);
  return 1;
}

template <typename T>
int WriteNumber(CRIFF& riff, T value) {
  unsigned char bytes[sizeof(T)];
  const auto v = static_cast<uint64_t>(value);
  for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<unsigned char>(v >> (8 * i));
  return riff.WriteStreamData(bytes, sizeof(T)) == static_cast<long>(sizeof(T));
}

int ReadFlag(CRIFF& riff, bool* value) {
  uint8_t byte = 0;
  if (!ReadNumber(riff, &byte)) return 0;
  *value = byte != 0;
  return 1;
}

int ReadFormat(CRIFF& riff, tWAVEFORMATEX* format) {
  return riff.Read(reinterpret_cast<char*>(format), sizeof(*format)) ==
         static_cast<long>(sizeof(*format));
}

int WriteFormat(CRIFF& riff, const tWAVEFORMATEX& format) {
  tWAVEFORMATEX copy = format;
  return riff.WriteStreamData(&copy, sizeof(copy)) == static_cast<long>(sizeof(copy));
}

// An older layout's text block, bigger than the member it goes into.
int ReadWideString(CRIFF& riff, char* text, long textSize, long blockSize) {
  std::string block(static_cast<size_t>(blockSize), '\0');
  if (riff.Read(block.data(), blockSize) != blockSize) return 0;
  block.resize(strnlen(block.data(), static_cast<size_t>(blockSize)));
  std::string engine(static_cast<size_t>(blockSize) * 2 + 1, '\0');
  SONARK_CMusicInfo::_ansiToUnicode(block.c_str(), engine.data(), static_cast<long>(engine.size()));
  sonark::text::CopyUtf8(text, static_cast<size_t>(textSize), engine.c_str());
  return 1;
}

}  // namespace

SONARK_CMusicInfo::SONARK_CMusicInfo() { Initialize(); }
SONARK_CMusicInfo::SONARK_CMusicInfo(const SONARK_CMusicInfo& other) = default;
SONARK_CMusicInfo::~SONARK_CMusicInfo() = default;
SONARK_CMusicInfo& SONARK_CMusicInfo::operator=(const SONARK_CMusicInfo& other) = default;

void SONARK_CMusicInfo::Initialize() {
  std::memset(title, 0, sizeof(title));
  std::memset(secondText, 0, sizeof(secondText));
  std::memset(artist, 0, sizeof(artist));
  std::memset(album, 0, sizeof(album));
  std::memset(genre, 0, sizeof(genre));
  genreIndex = 0;
  std::memset(comment, 0, sizeof(comment));
  std::memset(copyright, 0, sizeof(copyright));
  year = 0;
  tagSize = 0;
  tagType = 0;
  numberA = 0;
  std::memset(cdIdentifier, 0, sizeof(cdIdentifier));
  cdIdentifierLength = 0;
  track = -1;
  totalTracks = -1;
  copyrighted = false;
  std::fill(std::begin(flags), std::end(flags), false);
  original = false;
  std::memset(filePath, 0, sizeof(filePath));
  numberB = 0;
  numberC = 0;
  std::memset(shortText, 0, sizeof(shortText));
  std::memset(encoder, 0, sizeof(encoder));
  std::memset(&waveFormat, 0, sizeof(waveFormat));
  numberD = 0;
  numberE = numberF = numberG = numberH = numberI = 0;
  numberJ = 0;
  numberK = numberL = numberM = numberN = 0;
}

SONARK_CMusicInfo& SONARK_CMusicInfo::operator=(const TMusicInfo& info) {
  _unicodeToAnsi(info.title, title, sizeof(title));
  _unicodeToAnsi(info.artist, artist, sizeof(artist));
  _unicodeToAnsi(info.album, album, sizeof(album));
  _unicodeToAnsi(info.genre, genre, sizeof(genre));
  _unicodeToAnsi(info.comment, comment, sizeof(comment));
  _unicodeToAnsi(info.encoder, encoder, sizeof(encoder));
  _unicodeToAnsi(info.copyright, copyright, sizeof(copyright));
  const long length = std::clamp<long>(info.cdIdentifierLength, 0, sizeof(cdIdentifier));
  std::memset(cdIdentifier, 0, sizeof(cdIdentifier));
  std::memcpy(cdIdentifier, info.cdIdentifier, static_cast<size_t>(length));
  cdIdentifierLength = static_cast<int32_t>(length);
  year = static_cast<int32_t>(info.year);
  copyrighted = info.copyrighted != 0;
  original = info.original != 0;
  genreIndex = info.genreIndex;
  track = info.track;
  totalTracks = info.totalTracks;
  tagSize = static_cast<uint32_t>(info.tagSize);
  tagType = info.tagType;
  return *this;
}

void SONARK_CMusicInfo::CopySlim(SONARK_CMusicInfo& from) {
  if (&from == this) return;
  std::memcpy(title, from.title, sizeof(title));
  std::memcpy(artist, from.artist, sizeof(artist));
  std::memcpy(album, from.album, sizeof(album));
  std::memcpy(genre, from.genre, sizeof(genre));
  std::memcpy(comment, from.comment, sizeof(comment));
  std::memcpy(encoder, from.encoder, sizeof(encoder));
  std::memcpy(copyright, from.copyright, sizeof(copyright));
  std::memcpy(cdIdentifier, from.cdIdentifier, sizeof(cdIdentifier));
  cdIdentifierLength = from.cdIdentifierLength;
  year = from.year;
  copyrighted = from.copyrighted;
  original = from.original;
  genreIndex = from.genreIndex;
  track = from.track;
  totalTracks = from.totalTracks;
  tagSize = from.tagSize;
  tagType = from.tagType;
}

void SONARK_CMusicInfo::ToMusicInfo(TMusicInfo* info) const {
  if (info == nullptr) return;
  sonark::SetMusicInfoText(info->title, title);
  sonark::SetMusicInfoText(info->artist, artist);
  sonark::SetMusicInfoText(info->album, album);
  sonark::SetMusicInfoText(info->genre, genre);
  sonark::SetMusicInfoText(info->comment, comment);
  sonark::SetMusicInfoText(info->encoder, encoder);
  sonark::SetMusicInfoText(info->copyright, copyright);
  const long length = std::clamp<long>(cdIdentifierLength, 0, sizeof(cdIdentifier));
  std::memcpy(info->cdIdentifier, cdIdentifier, static_cast<size_t>(length));
  info->cdIdentifierLength = length;
  info->year = year;
  info->copyrighted = copyrighted ? 1 : 0;
  info->original = original ? 1 : 0;
  info->genreIndex = genreIndex;
  info->track = track;
  info->totalTracks = totalTracks;
  info->tagSize = tagSize;
  info->tagType = static_cast<_tTagTypedef>(tagType);
}

void SONARK_CMusicInfo::_ansiToUnicode(const char* block, char* text, long size) {
  if (size <= 0) return;
  const size_t length = std::strlen(block);
  const std::string sane = sonark::text::SanitizeUtf8(block, length);
  // Valid UTF-8 passes unchanged; other bytes are an older writer's code page.
  const std::string engine = sane.size() == length && sane.compare(0, length, block) == 0
                                 ? sane
                                 : sonark::text::Latin1ToUtf8(block, length);
  sonark::text::CopyUtf8(text, static_cast<size_t>(size), engine.c_str());
}

void SONARK_CMusicInfo::_unicodeToAnsi(const char* text, char* block, long size) {
  if (size <= 0) return;
  std::memset(block, 0, static_cast<size_t>(size));
  sonark::text::CopyUtf8(block, static_cast<size_t>(size), text);
}

int SONARK_CMusicInfo::_readString(CRIFF& riff, char* text, long size) {
  std::string block(static_cast<size_t>(size), '\0');
  if (riff.Read(block.data(), size) != size) return 0;
  block.resize(strnlen(block.data(), static_cast<size_t>(size)));
  std::memset(text, 0, static_cast<size_t>(size));
  _ansiToUnicode(block.c_str(), text, size);
  return 1;
}

int SONARK_CMusicInfo::_writeString(CRIFF& riff, const char* text, long size) {
  std::string block(static_cast<size_t>(size), '\0');
  _unicodeToAnsi(text, block.data(), size);
  return riff.WriteStreamData(block.data(), size) == size;
}

int SONARK_CMusicInfo::_readOldBool(CRIFF& riff, bool* value) {
  int32_t number = 0;
  if (!ReadNumber(riff, &number)) return 0;
  *value = number != 0;
  return 1;
}

int SONARK_CMusicInfo::_wasteBytes(CRIFF& riff, long count) {
  std::string skipped(static_cast<size_t>(count), '\0');
  return riff.Read(skipped.data(), count) == count;
}

int SONARK_CMusicInfo::Read(CRIFF& riff, TCBSVersion version) {
  return version == kCBSVersion3 ? ReadVersion3(riff) : ReadOld(riff);
}

int SONARK_CMusicInfo::Write(CRIFF& riff, TCBSVersion version) {
  if (numberG == 0) numberG = numberI = numberE;
  return version == kCBSVersion3 ? WriteVersion3(riff) : WriteOld(riff);
}

int SONARK_CMusicInfo::ReadVersion3(CRIFF& riff) {
  bool flagBytes[9] = {};
  int ok = _readString(riff, title, sizeof(title)) &&
           _readString(riff, secondText, sizeof(secondText)) &&
           _readString(riff, artist, sizeof(artist)) && _readString(riff, album, sizeof(album)) &&
           _readString(riff, genre, sizeof(genre)) && ReadNumber(riff, &genreIndex) &&
           _readString(riff, comment, sizeof(comment)) &&
           _readString(riff, copyright, sizeof(copyright)) && ReadNumber(riff, &year) &&
           ReadNumber(riff, &tagSize) && ReadNumber(riff, &tagType) && ReadNumber(riff, &numberA) &&
           riff.Read(reinterpret_cast<char*>(cdIdentifier), sizeof(cdIdentifier)) ==
               static_cast<long>(sizeof(cdIdentifier)) &&
           ReadNumber(riff, &cdIdentifierLength) && ReadNumber(riff, &track) &&
           ReadNumber(riff, &totalTracks);
  for (bool& flag : flagBytes) ok = ok && ReadFlag(riff, &flag);
  if (ok) {
    copyrighted = flagBytes[0];
    std::copy(flagBytes + 1, flagBytes + 8, flags);
    original = flagBytes[8];
  }
  ok = ok && _readString(riff, filePath, sizeof(filePath)) && ReadNumber(riff, &numberB) &&
       ReadNumber(riff, &numberC) && _readString(riff, shortText, sizeof(shortText)) &&
       _readString(riff, encoder, sizeof(encoder)) && ReadFormat(riff, &waveFormat) &&
       ReadNumber(riff, &numberD) && ReadNumber(riff, &numberE) && ReadNumber(riff, &numberF) &&
       ReadNumber(riff, &numberG) && ReadNumber(riff, &numberH) && ReadNumber(riff, &numberI) &&
       ReadNumber(riff, &numberJ) && ReadNumber(riff, &numberK) && ReadNumber(riff, &numberL) &&
       ReadNumber(riff, &numberM) && ReadNumber(riff, &numberN);
  cdIdentifierLength = std::clamp<int32_t>(cdIdentifierLength, 0, sizeof(cdIdentifier));
  return ok ? 1 : 0;
}

int SONARK_CMusicInfo::WriteVersion3(CRIFF& riff) {
  const bool flagBytes[9] = {copyrighted, flags[0], flags[1], flags[2], flags[3],
                             flags[4],    flags[5], flags[6], original};
  int ok = _writeString(riff, title, sizeof(title)) &&
           _writeString(riff, secondText, sizeof(secondText)) &&
           _writeString(riff, artist, sizeof(artist)) && _writeString(riff, album, sizeof(album)) &&
           _writeString(riff, genre, sizeof(genre)) && WriteNumber(riff, genreIndex) &&
           _writeString(riff, comment, sizeof(comment)) &&
           _writeString(riff, copyright, sizeof(copyright)) && WriteNumber(riff, year) &&
           WriteNumber(riff, tagSize) && WriteNumber(riff, tagType) && WriteNumber(riff, numberA) &&
           riff.WriteStreamData(cdIdentifier, sizeof(cdIdentifier)) ==
               static_cast<long>(sizeof(cdIdentifier)) &&
           WriteNumber(riff, cdIdentifierLength) && WriteNumber(riff, track) &&
           WriteNumber(riff, totalTracks);
  for (bool flag : flagBytes) ok = ok && WriteNumber<uint8_t>(riff, flag ? 1 : 0);
  ok = ok && _writeString(riff, filePath, sizeof(filePath)) && WriteNumber(riff, numberB) &&
       WriteNumber(riff, numberC) && _writeString(riff, shortText, sizeof(shortText)) &&
       _writeString(riff, encoder, sizeof(encoder)) && WriteFormat(riff, waveFormat) &&
       WriteNumber(riff, numberD) && WriteNumber(riff, numberE) && WriteNumber(riff, numberF) &&
       WriteNumber(riff, numberG) && WriteNumber(riff, numberH) && WriteNumber(riff, numberI) &&
       WriteNumber(riff, numberJ) && WriteNumber(riff, numberK) && WriteNumber(riff, numberL) &&
       WriteNumber(riff, numberM) && WriteNumber(riff, numberN);
  return ok ? 1 : 0;
}

int SONARK_CMusicInfo::ReadOld(CRIFF& riff) {
  // What the older layout does not hold.
  std::memset(encoder, 0, sizeof(encoder));
  std::memset(copyright, 0, sizeof(copyright));
  std::memset(cdIdentifier, 0, sizeof(cdIdentifier));
  cdIdentifierLength = 0;
  flags[1] = false;
  original = false;
  tagSize = 0;
  tagType = 0;
  numberA = 0;
  numberN = 0;
  track = -1;
  totalTracks = -1;
  const int ok =
      _readString(riff, filePath, sizeof(filePath)) &&
      _readString(riff, shortText, sizeof(shortText)) && ReadNumber(riff, &numberC) &&
      ReadWideString(riff, title, sizeof(title), 1024) &&
      ReadWideString(riff, artist, sizeof(artist), 1024) &&
      ReadWideString(riff, album, sizeof(album), 1024) &&
      ReadWideString(riff, genre, sizeof(genre), 1024) &&
      ReadWideString(riff, comment, sizeof(comment), 1024) && ReadNumber(riff, &year) &&
      _readOldBool(riff, &copyrighted) && ReadNumber(riff, &genreIndex) &&
      ReadFormat(riff, &waveFormat) && _wasteBytes(riff, 2) && _readOldBool(riff, &flags[0]) &&
      ReadNumber(riff, &numberE) && ReadNumber(riff, &numberB) &&
      _readString(riff, secondText, sizeof(secondText)) && ReadNumber(riff, &numberD) &&
      ReadNumber(riff, &numberF) && ReadNumber(riff, &numberG) && ReadNumber(riff, &numberH) &&
      ReadNumber(riff, &numberI) && ReadNumber(riff, &numberJ) && ReadNumber(riff, &numberK) &&
      ReadNumber(riff, &numberL) && ReadNumber(riff, &numberM) && _readOldBool(riff, &flags[2]) &&
      _readOldBool(riff, &flags[3]) && _readOldBool(riff, &flags[4]) &&
      _readOldBool(riff, &flags[5]) && _readOldBool(riff, &flags[6]);
  return ok ? 1 : 0;
}

int SONARK_CMusicInfo::WriteOld(CRIFF& riff) {
  auto oldBool = [&riff](bool value) { return WriteNumber<int32_t>(riff, value ? 1 : 0); };
  const uint16_t ignored = 0;
  const int ok = _writeString(riff, filePath, sizeof(filePath)) &&
                 _writeString(riff, shortText, sizeof(shortText)) && WriteNumber(riff, numberC) &&
                 _writeString(riff, title, 1024) && _writeString(riff, artist, 1024) &&
                 _writeString(riff, album, 1024) && _writeString(riff, genre, 1024) &&
                 _writeString(riff, comment, 1024) && WriteNumber(riff, year) &&
                 oldBool(copyrighted) && WriteNumber(riff, genreIndex) &&
                 WriteFormat(riff, waveFormat) && WriteNumber(riff, ignored) && oldBool(flags[0]) &&
                 WriteNumber(riff, numberE) && WriteNumber(riff, numberB) &&
                 _writeString(riff, secondText, sizeof(secondText)) && WriteNumber(riff, numberD) &&
                 WriteNumber(riff, numberF) && WriteNumber(riff, numberG) &&
                 WriteNumber(riff, numberH) && WriteNumber(riff, numberI) &&
                 WriteNumber(riff, numberJ) && WriteNumber(riff, numberK) &&
                 WriteNumber(riff, numberL) && WriteNumber(riff, numberM) && oldBool(flags[2]) &&
                 oldBool(flags[3]) && oldBool(flags[4]) && oldBool(flags[5]) && oldBool(flags[6]);
  return ok ? 1 : 0;
}
