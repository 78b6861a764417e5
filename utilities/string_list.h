#pragma once

#include <utilities/visibility.h>

#include <list>
#include <string>

// A list of texts that owns copies of them; lookups ignore case.
class UTILITIES_API CStringList {
 public:
  CStringList();
  CStringList(const CStringList& other);
  CStringList& operator=(const CStringList& other);
  ~CStringList();

  // Insert a copy at the front or at the back; 0 for a null text.
  int AddLatestString(const char* text);
  int PushBackList(const char* text);

  int ContainsString(const char* text) const;
  // Index of the first text equal to `text` without regard to case, or -1.
  int StringIndex(const char* text) const;

  // The text at `index` (valid until it is deleted), or null when out of range.
  const char* Index(int index) const;
  int DeleteIndex(int index);
  void DeleteStringList();
  int Count() const;

 private:
  std::list<std::string> strings_;
};
