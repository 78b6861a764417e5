#pragma once

#include <string>

// Writing a file so that an existing one is never left half-written: the new content goes to
// a temporary file in the same folder, which is flushed to the disk and then renamed over the
// target. Until Commit the target is untouched; an uncommitted temporary file is deleted.
class SafeReplace {
 public:
  explicit SafeReplace(std::string target);
  ~SafeReplace();
  SafeReplace(const SafeReplace&) = delete;
  SafeReplace& operator=(const SafeReplace&) = delete;

  // The path to write the new content to.
  const std::string& TempPath() const { return temp_; }
  // Flushes the temporary file to the disk and renames it over the target; false (with errno
  // set) when any step fails, in which case the target is unchanged.
  bool Commit();

 private:
  std::string target_;
  std::string temp_;
  bool committed_ = false;
};
