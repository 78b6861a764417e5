#include <cli/session_io.h>
#include <platform/last_error.h>
#include <session/session_atoms.h>
#include <session/session_file.h>
#include <sonark/error_messages.h>
#include <sonark/errors.h>
#include <sonark/model/atom_ref.h>
#include <sonark/model/session_report.h>
#include <sonark/temp_paths.h>
#include <sys/stat.h>
#include <tarnell/errors.h>
#include <tarnell/file_obj.h>
#include <tarnell/ref_ptr.h>
#include <tarnell/riff.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace {

constexpr unsigned long kSessionForm = tarnell::FourCC("sess");

// What the command line asks of every load: the length, peaks (with their side file) and
// seek maps, so a second look at the same file is fast.
constexpr int kDetermineLength = 1;
constexpr int kBuildPeaks = 1;
constexpr int kBuildSeekMap = 1;

// "group \"Drums\" (item 2), item 3: sound \"kick\"" and why.
LoadProblem Describe(const sonark::SessionSkip& skip) {
  std::string where = skip.group.empty() ? "top level" : "group " + skip.group;
  if (skip.record > 0) where += ", item " + std::to_string(skip.record);
  if (!skip.kind.empty()) where += ": " + skip.kind;
  if (!skip.name.empty()) where += " \"" + skip.name + "\"";
  std::string reason = skip.detail.empty() ? DescribeError(skip.code) : skip.detail;
  if (skip.record > 0) reason += "; left out";
  return {where, reason};
}

LoadProblem Describe(const sonark::SoundFileChange& change) {
  std::string what = "sound \"" + change.name + "\"";
  if (!change.path.empty()) what += " (" + change.path + ")";
  std::string reason = "file changed since the session was saved: ";
  if (change.dataBytes != change.savedDataBytes) {
    reason += std::to_string(change.dataBytes) + " bytes of sound, the session recorded " +
              std::to_string(change.savedDataBytes);
  } else {
    reason += "the file has " + std::to_string(change.fileBytes) + " bytes, the session recorded " +
              std::to_string(change.savedFileBytes);
  }
  return {what, reason};
}

}  // namespace

std::string DescribeError(unsigned long code) { return sonark::DescribeErrorCode(code); }

BarSound* LoadSound(const std::string& given, LoadProblem* problem) {
  problem->what = given;
  // Sessions store where a sound really is, so a path relative to the current folder is made
  // absolute first.
  char resolved[PATH_MAX];
  std::string path = realpath(given.c_str(), resolved) ? resolved : given;
  // A pipe with no writer would hold the open for ever; a device is no sound file.
  struct stat info {};
  if (stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    problem->reason = DescribeError(sonark::kErrNotRegularFile);
    return nullptr;
  }
  RefPtr<CFileObj> file(new CFileObj());
  if (!file->Open(path.c_str(), 0, 0)) {
    unsigned long code = platform::last_error();
    problem->reason = DescribeError(code != 0 ? code : static_cast<unsigned long>(ENOENT));
    return nullptr;
  }
  AtomRef<BarSound> sound(new BarSound());
  int ok = sound->InitialLoad(file.get(), 2000, kDetermineLength, kBuildPeaks, kBuildPeaks,
                              kBuildSeekMap, kCliMsPerPeak, nullptr, nullptr);
  unsigned long code = platform::last_error();
  file.reset();
  if (!ok) {
    problem->reason = DescribeError(code);
    return nullptr;
  }
  const char* slash = strrchr(given.c_str(), '/');
  sound->SetAtomName(const_cast<char*>(slash ? slash + 1 : given.c_str()));
  sound->GetSrcMap()->SetDefaultMap(sound->Length(0), kMapAll);
  return sound.release();
}

bool IsSessionFile(const std::string& path) {
  // Reading a pipe to look at its first bytes could wait for ever.
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  unsigned char head[12] = {};
  size_t n = fread(head, 1, sizeof head, f);
  fclose(f);
  return n == sizeof head && memcmp(head, "RIFF", 4) == 0 && memcmp(head + 8, "sess", 4) == 0;
}

bool OpenSession(const std::string& path, SessionRootGroup* root, SessionReport* report,
                 std::string* error) {
  RefPtr<CFileObj> file(new CFileObj());
  if (!file->Open(path.c_str(), 0, 0)) {
    *error = DescribeError(platform::last_error());
    return false;
  }
  std::vector<LoadProblem>* missing = &report->missing;
  SetLoadProblemHandler([missing](const char* path, const char* name, unsigned long code) {
    missing->push_back({path[0] != '\0' ? path : name, DescribeError(code)});
  });
  CRIFF riff;
  _chunkInfo form{};
  bool ok = riff.Open(file.get(), &form) != 0;
  if (ok && form.type != kSessionForm) {
    platform::set_last_error(tarnell::kErrNotRiff);
    ok = false;
  }
  sonark::SessionLoadReport found;
  {
    MapCombiningPause pause;
    sonark::SessionLoadScope salvage(&found);
    ok = ok && root->Load(&riff, kDetermineLength, kBuildPeaks, kBuildSeekMap, kCliMsPerPeak,
                          nullptr, nullptr) != 0;
  }
  unsigned long code = platform::last_error();
  SetLoadProblemHandler(nullptr);
  riff.Close();
  file.reset();
  if (!ok) {
    *error = DescribeError(code != 0 ? code : sonark::kErrSessionDamaged);
    return false;
  }
  for (const sonark::SessionSkip& skip : found.skipped) report->skipped.push_back(Describe(skip));
  for (const sonark::SoundFileChange& change : found.changed)
    report->changed.push_back(Describe(change));
  // Maps were combined once for the whole tree rather than after every sound.
  root->CombineWithSubMaps(kMapAll, 1);
  return true;
}

bool OpenSession(const std::string& path, SessionRootGroup* root,
                 std::vector<LoadProblem>* problems, std::string* error) {
  SessionReport report;
  if (!OpenSession(path, root, &report, error)) return false;
  *problems = std::move(report.missing);
  if (report.Damaged()) {
    const LoadProblem& first = report.skipped.front();
    *error = "the session file is damaged: " + first.what + ": " + first.reason;
    return false;
  }
  return true;
}

bool SaveSession(SessionRootGroup* root, const std::string& path, std::string* error) {
  return SaveSessionFile(root, path, error);
}

long SessionEnd(SessionRootGroup* root) {
  long end = 0;
  long offset = 0;
  for (int i = 0; CAudioAtom* atom = root->GetAtom(i, &offset); ++i)
    end = std::max(end, offset + atom->Length(0));
  return end;
}
