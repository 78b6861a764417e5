#include <sonark/load/id3_tag.h>
#include <sonark/load/id3_text.h>
#include <sonark/load/music_info.h>
#include <sonark/strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Copies the text of `count` characters up to its first zero byte, without trailing spaces.
void Field(char* out, const char* in, int count) {
  std::memcpy(out, in, static_cast<size_t>(count));
  out[count] = 0;
  for (int i = static_cast<int>(std::strlen(out)) - 1; i >= 0 && out[i] == ' '; --i) out[i] = 0;
}

// Keeps at most `count` characters of `text` in `field` (which holds kFieldSize bytes).
void SetField(char* field, const char* text, size_t count) {
  std::memset(field, 0, CId3Tag::kFieldSize);
  if (text != nullptr) std::memcpy(field, text, std::min(std::strlen(text), count));
}

// The first `count` bytes of a field's text; the block is zero-filled, so no terminator is needed.
void PutField(char* out, const char* field, size_t count) {
  std::memcpy(out, field, std::min(std::strlen(field), count));
}

void ToUtf8(char (&out)[TMusicInfo::kTextSize], const char* latin1) {
  sonark::SetMusicInfoText(out, sonark::text::Latin1ToUtf8(latin1, std::strlen(latin1)).c_str());
}

}  // namespace

int CId3Tag::loadTag(const char* block) {
  *this = CId3Tag{};
  if (std::memcmp(block, "TAG", 3) != 0) return 0;
  Field(title_, block + 3, 30);
  Field(artist_, block + 33, 30);
  Field(album_, block + 63, 30);
  char year[5];
  Field(year, block + 93, 4);
  year_ = static_cast<int>(sonark::YearFromText(year));
  if (block[125] == 0 && block[126] != 0) {
    version_ = 1.1f;
    track_ = static_cast<unsigned char>(block[126]);
    Field(comment_, block + 97, 28);
  } else {
    Field(comment_, block + 97, 30);
  }
  genre_ = static_cast<unsigned char>(block[127]);
  return 1;
}

void CId3Tag::saveTag(char* block) const {
  std::memset(block, 0, 128);
  std::memcpy(block, "TAG", 3);
  PutField(block + 3, title_, 30);
  PutField(block + 33, artist_, 30);
  PutField(block + 63, album_, 30);
  char year[8];
  if (year_ == 0) {
    std::memcpy(year, "    ", 5);
  } else {
    std::snprintf(year, sizeof(year), "%04d", year_);
  }
  std::memcpy(block + 93, year, 4);
  if (version_ > 1.05f) {
    PutField(block + 97, comment_, 28);
    block[125] = 0;
    block[126] = static_cast<char>(track_);
  } else {
    PutField(block + 97, comment_, 30);
  }
  block[127] = static_cast<char>(genre_);
}

void CId3Tag::getTitle(char* text) const { std::strcpy(text, title_); }
void CId3Tag::getArtist(char* text) const { std::strcpy(text, artist_); }
void CId3Tag::getAlbum(char* text) const { std::strcpy(text, album_); }
void CId3Tag::getComment(char* text) const { std::strcpy(text, comment_); }

void CId3Tag::setTitle(const char* text) { SetField(title_, text, 30); }
void CId3Tag::setArtist(const char* text) { SetField(artist_, text, 30); }
void CId3Tag::setAlbum(const char* text) { SetField(album_, text, 30); }
void CId3Tag::setComment(const char* text) { SetField(comment_, text, version_ > 1.05f ? 28 : 30); }

void CId3Tag::genreString(char* text, int /*flag*/) const {
  SonarkLoadString(sonark::Id3GenreKey(genre_), text, 256);
}

void CId3Tag::setGenreIndex(int index) { genre_ = static_cast<unsigned char>(index & 0xFF); }

void CId3Tag::setTrackNumber(int track) {
  if (track >= 0 && track <= 99) {
    track_ = track;
    version_ = 1.1f;
    comment_[28] = comment_[29] = 0;
  } else {
    track_ = -1;
    version_ = 1.0f;
  }
}

void CId3Tag::setYear(int year) { year_ = year >= 1000 && year <= 3000 ? year : 0; }

void CId3Tag::ToMusicInfo(TMusicInfo* info) const {
  if (info == nullptr) return;
  ToUtf8(info->title, title_);
  ToUtf8(info->artist, artist_);
  ToUtf8(info->album, album_);
  ToUtf8(info->comment, comment_);
  // Without a genre the text stays empty, so that no "unknown" genre is written back.
  if (genre_ != TMusicInfo::kNoGenre) {
    char genre[257];
    genreString(genre, 0);
    sonark::SetMusicInfoText(info->genre, genre);
  }
  info->genreIndex = genre_;
  info->track = track_ >= 1 && track_ <= 99 ? track_ : -1;
  info->year = year_;
}

void CId3Tag::FromMusicInfo(const TMusicInfo& info) {
  using sonark::text::Utf8ToLatin1;
  setTitle(Utf8ToLatin1(info.title).c_str());
  setArtist(Utf8ToLatin1(info.artist).c_str());
  setAlbum(Utf8ToLatin1(info.album).c_str());
  setTrackNumber(info.track >= 1 && info.track <= 99 ? info.track : -1);
  setComment(Utf8ToLatin1(info.comment).c_str());
  setGenreIndex(info.genreIndex);
  setYear(static_cast<int>(info.year));
}
