#pragma once

#include <sonark/visibility.h>

struct TMusicInfo;

// The 128-byte ID3v1 tag at the end of an MPEG audio file ("TAG", then 30-character title,
// artist, album, a 4-character year, the comment and the genre byte; version 1.1 keeps the
// track in the comment's last byte).
//
// The record holds the texts as the tag stores them, in ISO-8859-1, and its getters and
// setters work on those bytes. ToMusicInfo and FromMusicInfo convert to and from the
// engine's UTF-8 texts.
class SONARK_API CId3Tag {
 public:
  static constexpr int kFieldSize = 31;  // 30 characters and a terminator

  // Returns 1 and fills the record when `block` (128 bytes) holds a tag, else 0 with the
  // record cleared.
  int loadTag(const char* block);
  // Writes the tag into `block` (128 bytes): title, artist and album of at most 30
  // characters, the year (4 spaces when 0), the comment (28 characters and the track for
  // version 1.1, else 30) and the genre byte.
  void saveTag(char* block) const;

  const char* TitleString() const { return title_; }
  const char* ArtistString() const { return artist_; }
  const char* AlbumString() const { return album_; }
  const char* CommentString() const { return comment_; }
  // Each copies the text into `text`, which holds kFieldSize bytes.
  void getTitle(char* text) const;
  void getArtist(char* text) const;
  void getAlbum(char* text) const;
  void getComment(char* text) const;
  // Each keeps at most 30 characters (the comment 28 for version 1.1).
  void setTitle(const char* text);
  void setArtist(const char* text);
  void setAlbum(const char* text);
  void setComment(const char* text);
  // The genre's name from the strings file, at most 256 bytes with the terminator. Both
  // values of `flag` give the same text.
  void genreString(char* text, int flag) const;
  // Keeps the low 8 bits; 255 means no genre.
  void setGenreIndex(int index);
  // 0-99 makes the tag version 1.1 (the comment then keeps 28 characters); any other value
  // makes it version 1.0 without a track (-1).
  void setTrackNumber(int track);
  // Years from 1000 to 3000; 0 for any other.
  void setYear(int year);
  int getGenreIndex() const { return genre_; }
  int getYear() const { return year_; }
  int getTrackNumber() const { return track_; }
  float getVersion() const { return version_; }

  // Title, artist, album and comment (as UTF-8), the genre's name (none for genre 255), the
  // genre index, track and year into `info`; the other fields stay.
  void ToMusicInfo(TMusicInfo* info) const;
  // The record from `info`: texts in ISO-8859-1 (a character outside it becomes '?'), track
  // (which decides the version), genre index and year.
  void FromMusicInfo(const TMusicInfo& info);

 private:
  char title_[kFieldSize] = {};
  char artist_[kFieldSize] = {};
  char album_[kFieldSize] = {};
  char comment_[kFieldSize] = {};
  int year_ = 0;
  int track_ = -1;
  float version_ = 1.0f;
  unsigned char genre_ = 255;
};
