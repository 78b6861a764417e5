#pragma once

#include <sonark/visibility.h>

// The 128-byte ID3v1 tag at the end of an MPEG audio file ("TAG", then 30-character title,
// artist, album, a 4-character year, the comment and the genre byte; version 1.1 keeps the
// track in the comment's last byte).
class SONARK_API CId3Tag {
 public:
  // Returns 1 and fills the record when `block` (128 bytes) holds a tag, else 0 with the
  // record cleared.
  int loadTag(const char* block);

  const char* TitleString() const { return title_; }
  const char* ArtistString() const { return artist_; }
  const char* AlbumString() const { return album_; }
  const char* CommentString() const { return comment_; }
  // Each copies the text into `text`, which holds 31 bytes.
  void getTitle(char* text) const;
  void getArtist(char* text) const;
  void getAlbum(char* text) const;
  void getComment(char* text) const;
  // The genre's name from the strings file, at most 256 bytes with the terminator.
  void genreString(char* text, int flag) const;
  int getGenreIndex() const { return genre_; }
  int getYear() const { return year_; }
  int getTrackNumber() const { return track_; }
  float getVersion() const { return version_; }

 private:
  char title_[31] = {};
  char artist_[31] = {};
  char album_[31] = {};
  char comment_[31] = {};
  int year_ = 0;
  int track_ = -1;
  float version_ = 1.0f;
  unsigned char genre_ = 255;
};
