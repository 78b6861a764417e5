#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <platform/visibility.h>

// Reading of INI ("private profile") files: the strings files and ".pls" playlists.
// Sections and keys are found without regard to case; values are trimmed of surrounding
// blanks and of one pair of matching quotes; the first occurrence of a section or key wins;
// lines that begin with ';' are comments.
namespace platform {

class PLATFORM_API ProfileFile {
 public:
  struct Entry {
    std::string key;
    std::string value;
  };
  struct Section {
    std::string name;
    std::vector<Entry> entries;
  };

  // Parses the text of a whole file. Never fails: lines it cannot read are skipped.
  static ProfileFile Parse(std::string_view text);

  // The value of `key` in `section`, or null when either is missing.
  const std::string* Find(std::string_view section, std::string_view key) const;
  const Section* FindSection(std::string_view section) const;
  const std::vector<Section>& Sections() const { return sections_; }

 private:
  std::vector<Section> sections_;
};

// Copies the value of `key` in `section` of the file at `path` into `out` (at most size - 1
// characters and a terminating NUL), or `fallback` (null counts as "") when the file, section
// or key is missing. A null `section` copies the names of all sections, a null `key` those of
// all keys in the section, each NUL-terminated, with one more NUL at the end. Returns the
// number of characters stored before the terminator. Parsed files are cached and re-read when
// the file changes on disk.
PLATFORM_API size_t profile_string(const char* path, const char* section, const char* key,
                                   const char* fallback, char* out, size_t size);

// The value as a number (leading decimal digits, optional sign), or `fallback` when missing.
PLATFORM_API long profile_int(const char* path, const char* section, const char* key,
                              long fallback);

}  // namespace platform
