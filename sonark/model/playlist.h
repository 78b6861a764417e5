#pragma once

#include <sonark/visibility.h>
#include <sonark/containers/my_array_list.h>

#include <cstddef>
#include <string>
#include <string_view>

// Why the last operation of a CPlaylist failed.
enum TPlaylistErrorCode : int {
  kPlaylistNoError = 0,
  kPlaylistCannotOpen = 1,   // not readable, or larger than CPlaylist::kMaxFileSize
  kPlaylistBadEntry = 2,     // out of memory, or an entry of unacceptable length or form
  kPlaylistNoEntries = 3,    // nothing usable in the file
  kPlaylistUnknownKind = 4,  // the extension is none of m3u, pls, pl
};

// The sound paths listed by another player's playlist, for the import wizard. The kind is
// chosen by extension: ".m3u" text lists, ".pls" INI lists (section "playlist") and ".pl" INI
// lists (section "Files"). Entries are owned copies, kept in a CMyArrayList keyed by their
// position in the playlist.
//
// Entries are resolved on native paths: a local file URI ("file:///home/a/My%20Song.mp3",
// "file://localhost/...") becomes its decoded path; an absolute entry, any other URL
// ("http://...", a file URI of another host) and a Windows path ("C:\...", "\\server\...")
// stand as written; a relative entry, with either separator, lies in the playlist's folder. A
// URL or a Windows path names no file here, so `mustExist` drops it.
class SONARK_API CPlaylist {
 public:
  static constexpr long kMaxFileSize = 200000;
  // Entries of this length or more are refused: no player writes them, and they would not
  // fit the path fields they end up in.
  static constexpr size_t kMaxEntryLength = 3000;

  CPlaylist();
  // Copies every entry; when memory runs out the copy holds fewer, with kPlaylistBadEntry.
  CPlaylist(const CPlaylist& other);
  CPlaylist& operator=(const CPlaylist& other);
  ~CPlaylist();

  // Reads the playlist at `path` and appends its entries after those already held, keyed by
  // the count held before plus their position. With `mustExist` an entry is kept only when
  // it can be opened for reading. Returns 1 when at least one entry is held afterwards, else
  // 0 with the error code set. An entry refused on the way (too long) leaves
  // kPlaylistBadEntry in ErrorCode even when the result is 1.
  int LoadFromFile(const char* path, bool mustExist);
  // Writes the entries as an extended m3u list ("#EXTM3U", one path a line, LF endings).
  // Refused with kPlaylistBadEntry, writing nothing, when an entry would not read back as
  // itself (a line break, leading blanks or a comment mark at its start); with
  // kPlaylistCannotOpen when the file cannot be created or written.
  int SaveToFile(const char* path);

  int NumEntries() const { return entries_.Count(); }
  // The entry at `index`, null outside 0 ... NumEntries() - 1. Owned by the playlist.
  char* Index(int index) const;
  // Adds a copy of `path` with the key `position` (a sorted insert). A path that is empty or
  // kMaxEntryLength characters long or longer is refused with kPlaylistBadEntry. Returns 1
  // on success.
  int Insert(int position, const char* path);
  // Indexes outside the list change nothing.
  void Delete(int index);
  void DeleteAll();
  // Shuffles the entries; keys become their new positions.
  void Randomize();

  TPlaylistErrorCode ErrorCode() const { return error_; }

 private:
  int LoadM3u(const char* path, const char* text, size_t size, bool mustExist, long base);
  int LoadPls(const char* path, const char* text, size_t size, bool mustExist, long base);
  int LoadPl(const char* text, size_t size, bool mustExist, long base);
  // A local "file:" URI entry decoded into `path`; `path` is left empty for an entry of any
  // other form. False (kPlaylistBadEntry) for a file URI that names no file.
  bool LocalEntry(std::string_view entry, std::string* path);
  // Inserts `entry` with the key `key` unless `mustExist` rules it out; 1 when kept.
  int Keep(const char* entry, bool mustExist, long key);
  void CopyEntriesFrom(const CPlaylist& other);

  CMyArrayList entries_;
  TPlaylistErrorCode error_ = kPlaylistNoError;
};
