#pragma once

#include <sonark/visibility.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sonark {

// A damaged record of a session file that a salvaging load left out.
struct SessionSkip {
  // The group whose list held the record, from the top down: "" for the session's top level,
  // else "\"Drums\" (item 2)" with " > " between nesting levels (items counted from 1).
  std::string group;
  // Which sub-atom list of that group (from 1); 0 for the group's own records (its count, its
  // information block, or the end of its list).
  int record = 0;
  // "sound", "group" or "" when the list's kind could not be read; the stored name of the
  // skipped atom when its record could be read.
  std::string kind;
  std::string name;
  uint32_t code = 0;
  // Why, in words, where the code alone would not tell ("the file ends here: 3 of 5 ...").
  std::string detail;
};

// A sound whose file is not the one the session was saved with: its size or the length of its
// sound data differs from what the session recorded (-1: not recorded).
struct SoundFileChange {
  std::string name;
  std::string path;
  int64_t savedFileBytes = -1;
  int64_t fileBytes = -1;
  int64_t savedDataBytes = -1;
  int64_t dataBytes = -1;
};

// What loading a session left out or found changed. A caller that opens a session with a
// report must look at it: a damaged session loads only in part.
struct SessionLoadReport {
  std::vector<SessionSkip> skipped;
  std::vector<SoundFileChange> changed;

  // Records were skipped: the loaded tree is a recovered copy, not the session itself.
  bool Damaged() const { return !skipped.empty(); }
};

// While it lives, session loads on this thread salvage: a damaged sub-atom list, a count that
// does not match the lists and a list cut short by the end of the file are left out and
// listed in `report` instead of failing the load, and sounds whose files changed since the
// session was saved are listed too. Without one, a damaged session fails whole.
class SONARK_API SessionLoadScope {
 public:
  explicit SessionLoadScope(SessionLoadReport* report);
  ~SessionLoadScope();
  SessionLoadScope(const SessionLoadScope&) = delete;
  SessionLoadScope& operator=(const SessionLoadScope&) = delete;

  // The innermost scope of this thread, or null.
  static SessionLoadScope* Current();

  SessionLoadReport* Report() { return report_; }

  // Groups note themselves while they load, so that a skip can say where it was.
  void EnterGroup(const char* name);
  void LeaveGroup();
  // The item (from 1) of the innermost group that is loading now.
  void SetItem(int item);
  void Skip(int record, const char* kind, const char* name, uint32_t code,
            const std::string& detail);
  // The end of the file was reported once; the groups around it need not say it again.
  bool FileEndReported() const { return file_end_reported_; }
  void SetFileEndReported() { file_end_reported_ = true; }

 private:
  struct Level {
    std::string name;
    int place = 0;  // its item in the group around it
    int item = 0;   // the item of its own loading now
  };

  SessionLoadReport* report_;
  SessionLoadScope* previous_;
  std::vector<Level> levels_;
  bool file_end_reported_ = false;
};

}  // namespace sonark
