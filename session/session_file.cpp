#include <platform/last_error.h>
#include <session/safe_replace.h>
#include <session/session_atoms.h>
#include <session/session_file.h>
#include <sonark/error_messages.h>
#include <sonark/errors.h>
#include <tarnell/file_obj.h>
#include <tarnell/ref_ptr.h>
#include <tarnell/riff.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr unsigned long kSessionForm = tarnell::FourCC("sess");

// The session file as the save writes it: every write is counted for the watcher, and a
// cancelled save fails its next write.
class WatchedFile : public CFileObj {
 public:
  explicit WatchedFile(SaveWatch* watch) : watch_(watch) {}
  long Write(const char* buf, long count) override {
    if (watch_ != nullptr && watch_->cancel.load()) {
      platform::set_last_error(sonark::kErrLoadCancelled);
      return -1;
    }
    const long wrote = CFileObj::Write(buf, count);
    if (watch_ != nullptr && wrote > 0) watch_->written.fetch_add(wrote);
    return wrote;
  }

 private:
  SaveWatch* watch_;
};

}  // namespace

bool SaveSessionFile(CSoundGroup* root, const std::string& path, std::string* error,
                     SaveWatch* watch) {
  SafeReplace target(path);
  std::string refusal;
  if (!target.Usable(&refusal)) {
    *error = refusal;
    return false;
  }
  RefPtr<CFileObj> file(new WatchedFile(watch));
  if (!file->Create(target.TempPath().c_str())) {
    *error = sonark::DescribeErrorCode(platform::last_error());
    return false;
  }
  CRIFF riff;
  bool ok = riff.Create(file.get(), kSessionForm) != 0 && root->Save(&riff, 1) != 0;
  unsigned long code = platform::last_error();
  // The user has to know which sound keeps the session from being saved.
  std::string culprit;
  if (!ok && (code == sonark::kErrSoundPathTooLong || code == sonark::kErrSoundHasNoFile)) {
    if (CPCMSound* sound = FindSoundThatCannotBeStored(root, &riff)) {
      char sound_path[CFileObj::kPathCapacity] = "";
      if (auto* data = dynamic_cast<CFileObj*>(sound->GetRefObj())) data->GetFilePath(sound_path);
      culprit = "sound \"" + std::string(sound->GetInfo()->name) + "\" (" +
                (sound_path[0] != '\0' ? sound_path : "no file") + "): ";
    }
  }
  riff.Close();
  file->Close();
  file.reset();
  if (ok && watch != nullptr && watch->cancel.load()) {
    code = sonark::kErrLoadCancelled;
    ok = false;
  }
  if (!ok) {
    *error =
        culprit + sonark::DescribeErrorCode(code != 0 ? code : static_cast<unsigned long>(EIO));
    return false;
  }
  if (!target.Commit()) {
    *error = std::strerror(errno);
    return false;
  }
  return true;
}
