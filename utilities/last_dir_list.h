#pragma once

#include <utilities/visibility.h>
#include <utilities/file_time.h>

class CRegKey;

#include <list>
#include <memory>

// Room for a path in an entry: PATH_MAX, like every path buffer in memory.
constexpr int kLastDirPathSize = 4096;

// Value given to a directory that MoveOrAddToTop sees for the first time.
constexpr int kLastDirNewValue = 1000;

struct _lastDirList {
  char path[kLastDirPathSize];
  FILETIME time;
  int value;
};

// Recently used directories, newest first. The list owns its entries. Paths are compared
// exactly: on this platform /Music and /music are different directories.
class UTILITIES_API CLastDirList {
 public:
  CLastDirList();
  CLastDirList(const CLastDirList& other);
  CLastDirList& operator=(const CLastDirList& other);
  ~CLastDirList();

  // Inserts before the first entry whose time is earlier. The fourth argument is not used.
  // Returns 0 for a null or empty path or one that does not fit an entry.
  int Add(const char* path, FILETIME time, int value, int unused = 0);
  // Takes ownership of `entry` (allocated with new): placed by time when `sorted` is set,
  // appended otherwise. A null entry gives 0.
  int AddPtr(_lastDirList* entry, int sorted);
  // Moves `path` to the front with the current time, keeping its value (kLastDirNewValue for
  // a path not in the list yet).
  int MoveOrAddToTop(const char* path);
  // Gives an existing entry the time and value (and moves it to its place by time when
  // `resort` is set), or adds a new one.
  int UpdateOrAdd(const char* path, FILETIME time, int value, int resort);
  // Newest first; entries with equal times keep their order.
  void Sort();

  int ContainsDir(const char* path) const;
  int DeletePath(const char* path);
  int DeleteIndex(int index);
  void DeleteAll();
  // The entry at `index` (owned by the list), or null when out of range.
  _lastDirList* Index(int index) const;
  int Count() const;

  // The list is kept between runs as values of one registry key: "Count", and per entry
  // "Dir<i>" (the path), "Time<i>" (8 bytes, low half first) and "Value<i>", newest first.
  // ReadFromKey replaces the entries with those kept under `key`, skipping damaged ones;
  // WriteToKey replaces what was kept there, in one save of the settings file. Each returns 1,
  // or 0 when the key is null or a value cannot be stored.
  int ReadFromKey(CRegKey* key);
  int WriteToKey(CRegKey* key) const;

 private:
  using Entries = std::list<std::unique_ptr<_lastDirList>>;

  Entries::iterator Find(const char* path);
  Entries::const_iterator Find(const char* path) const;
  void InsertByTime(std::unique_ptr<_lastDirList> entry);

  Entries entries_;
};
