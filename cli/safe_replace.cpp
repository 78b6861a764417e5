#include <cli/safe_replace.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

bool SyncPath(const std::string& path, int flags) {
  int fd = open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0;
  int saved = errno;
  close(fd);
  errno = saved;
  return ok;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

SafeReplace::SafeReplace(std::string target)
    : target_(std::move(target)),
      temp_(FolderOf(target_) + "/." + target_.substr(target_.rfind('/') + 1) + ".tmp-" +
            std::to_string(getpid())) {}

SafeReplace::~SafeReplace() {
  if (!committed_) unlink(temp_.c_str());
}

bool SafeReplace::Commit() {
  if (!SyncPath(temp_, O_RDONLY)) return false;
  if (rename(temp_.c_str(), target_.c_str()) != 0) return false;
  committed_ = true;
  // The rename is durable only once the folder itself is on the disk.
  SyncPath(FolderOf(target_), O_RDONLY | O_DIRECTORY);
  return true;
}
