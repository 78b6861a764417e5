#include <sonark/load/id3_tag.h>
#include <sonark/load/music_info.h>
#include <sonark/load/wave_info.h>
#include <sonark/strings.h>

#include <cstring>

namespace {

// Copies `count` characters without the trailing spaces and zero bytes.
void Field(char* out, const char* in, int count) {
  std::memcpy(out, in, static_cast<size_t>(count));
  out[count] = 0;
  for (int i = count - 1; i >= 0 && (out[i] == ' ' || out[i] == 0); --i) out[i] = 0;
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

void CId3Tag::getTitle(char* text) const { std::strcpy(text, title_); }
void CId3Tag::getArtist(char* text) const { std::strcpy(text, artist_); }
void CId3Tag::getAlbum(char* text) const { std::strcpy(text, album_); }
void CId3Tag::getComment(char* text) const { std::strcpy(text, comment_); }

void CId3Tag::genreString(char* text, int /*flag*/) const {
  SonarkLoadString(sonark::Id3GenreKey(genre_), text, 256);
}
