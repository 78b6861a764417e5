#pragma once

#include <sys/types.h>

#include <string>

// Where a file being written (a command's output, a saved session, a rendered wave) goes,
// decided before anything is written.
//
// A regular file (or a new one) is never left half-written: the new content goes to a
// temporary file in the same folder, which is flushed to the disk and then renamed over the
// target, keeping the old file's permission bits. A symbolic link is followed to the file it
// names, which is replaced while the link stays. A FIFO or a character device (/dev/null, a
// terminal) cannot be replaced: it is written directly. A read-only file, a folder and a
// block device are refused.
class SafeReplace {
 public:
  explicit SafeReplace(std::string target);
  ~SafeReplace();
  SafeReplace(const SafeReplace&) = delete;
  SafeReplace& operator=(const SafeReplace&) = delete;

  // False with the reason ("is read-only", ...) when the target cannot be written.
  bool Usable(std::string* reason) const;
  // The path to write the new content to: the temporary file, or the device or FIFO itself.
  const std::string& TempPath() const { return temp_; }
  // Whether the output goes straight to a device or FIFO.
  bool Direct() const { return direct_; }
  // Whether the target exists (after following links).
  bool Exists() const { return exists_; }
  // The file that will be replaced or written: the target after following links.
  const std::string& Resolved() const { return resolved_; }
  // Flushes the temporary file to the disk and renames it over the target; false (with errno
  // set) when any step fails, or when the target was not usable, in which case the target is
  // unchanged. Nothing to do for a direct target.
  bool Commit();
  // Deletes the temporary file now (the destructor does it too when there was no Commit).
  void Discard();

 private:
  std::string target_;
  std::string resolved_;
  std::string temp_;
  std::string refusal_;
  bool exists_ = false;
  bool direct_ = false;
  bool committed_ = false;
  mode_t mode_ = 0;
  uid_t owner_ = 0;
  gid_t group_ = 0;
};

// The folder part of `path` ("." when it has none).
std::string FolderOf(const std::string& path);

// Deletes temporary files that SafeReplace left in `folder` when its process was killed:
// names of the form ".NAME.tmp-PID" whose process no longer exists, regular files of this
// user holding a RIFF file, an MP3 file (an ID3v2 tag or an MPEG frame first) or nothing.
// Returns how many went.
int SweepLeftovers(const std::string& folder);
