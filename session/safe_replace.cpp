#include <session/safe_replace.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// Longer names are refused by the common Linux file systems.
constexpr size_t kNameMax = 255;
constexpr const char kTempMark[] = ".tmp-";
// Symbolic links followed before giving up, as the kernel does.
constexpr int kMaxLinks = 40;

bool SyncPath(const std::string& path, int flags) {
  int fd = open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0;
  int saved = errno;
  close(fd);
  errno = saved;
  return ok;
}

std::string NameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// ".NAME.tmp-PID" in the target's folder, with NAME cut (on a character boundary) so that the
// whole name still fits where the target's own name does.
std::string TempNameFor(const std::string& path) {
  const std::string suffix = kTempMark + std::to_string(getpid());
  std::string name = NameOf(path);
  const size_t room = kNameMax - 1 - suffix.size();
  if (name.size() > room) {
    size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name.resize(cut);
  }
  const std::string folder = FolderOf(path);
  return (folder == "/" ? "" : folder) + "/." + name + suffix;
}

// Follows symbolic links to the path that will really be written; false (errno set) for a
// loop or an unreadable link. A dangling link resolves to the file it would create.
bool ResolveLinks(const std::string& path, std::string* out) {
  std::string current = path;
  for (int hops = 0; hops <= kMaxLinks; ++hops) {
    struct stat info {};
    if (lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      *out = current;
      return true;
    }
    char link[PATH_MAX];
    ssize_t length = readlink(current.c_str(), link, sizeof link - 1);
    if (length < 0) return false;
    link[length] = '\0';
    current = link[0] == '/' ? std::string(link) : FolderOf(current) + "/" + link;
  }
  errno = ELOOP;
  return false;
}

// The process number of a leftover's name ".NAME.tmp-PID", or 0 when the name is not one.
pid_t LeftoverPid(const char* name) {
  if (name[0] != '.') return 0;
  const char* mark = strstr(name, kTempMark);
  if (mark == nullptr) return 0;
  // The last mark counts: NAME may hold one of its own.
  for (const char* next; (next = strstr(mark + 1, kTempMark)) != nullptr;) mark = next;
  const char* digits = mark + strlen(kTempMark);
  if (mark == name || *digits == '\0' || strspn(digits, "0123456789") != strlen(digits) ||
      strlen(digits) > 9)
    return 0;
  return static_cast<pid_t>(atol(digits));
}

// What our outputs begin with: a RIFF form (sessions, waves), an ID3v2 tag or an MPEG audio
// frame (MP3 files).
bool LooksLikeOurOutput(const unsigned char* head) {
  return memcmp(head, "RIFF", 4) == 0 || (memcmp(head, "ID3", 3) == 0 && head[3] >= 2 &&
                                          head[3] <= 4) ||
         (head[0] == 0xFF && (head[1] & 0xE0) == 0xE0);
}

bool HoldsOurOutputOrNothing(int folder_fd, const char* name) {
  int fd = openat(folder_fd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info {};
  unsigned char head[4] = {};
  bool ours = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
              (info.st_size == 0 || (read(fd, head, 4) == 4 && LooksLikeOurOutput(head)));
  close(fd);
  return ours;
}

}  // namespace

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

SafeReplace::SafeReplace(std::string target) : target_(std::move(target)) {
  struct stat info {};
  // What is not a regular file is opened by its own name: links such as /dev/stdout lead
  // through /proc to pipes that have no name to resolve.
  if (stat(target_.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    exists_ = true;
    resolved_ = temp_ = target_;
    if (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode)) {
      direct_ = true;
    } else if (S_ISDIR(info.st_mode)) {
      refusal_ = "is a folder";
    } else if (S_ISBLK(info.st_mode)) {
      refusal_ = "is a block device; a whole disk is never written over";
    } else {
      refusal_ = "is not a file that can be written";
    }
    return;
  }
  if (!ResolveLinks(target_, &resolved_)) {
    refusal_ = std::strerror(errno);
    resolved_ = target_;
  }
  temp_ = TempNameFor(resolved_);
  if (!refusal_.empty() || stat(resolved_.c_str(), &info) != 0) return;
  exists_ = true;
  // Write permission alone would let root replace a file its owner made read-only.
  if ((info.st_mode & 0222) == 0 || access(resolved_.c_str(), W_OK) != 0)
    refusal_ = "the file is read-only";
  mode_ = info.st_mode & 07777;
  owner_ = info.st_uid;
  group_ = info.st_gid;
}

SafeReplace::~SafeReplace() { Discard(); }

bool SafeReplace::Usable(std::string* reason) const {
  if (refusal_.empty()) return true;
  if (reason != nullptr) *reason = refusal_;
  return false;
}

void SafeReplace::Discard() {
  if (!committed_ && !direct_) unlink(temp_.c_str());
}

bool SafeReplace::Commit() {
  if (!refusal_.empty()) {
    errno = EACCES;
    return false;
  }
  if (direct_) {
    committed_ = true;
    return true;
  }
  if (!SyncPath(temp_, O_RDONLY)) return false;
  if (exists_) {
    // The replacement is the same file to its users: same permissions and, where we may, owner.
    if (geteuid() == 0) (void)!chown(temp_.c_str(), owner_, group_);
    if (chmod(temp_.c_str(), mode_) != 0) return false;
  }
  if (rename(temp_.c_str(), resolved_.c_str()) != 0) return false;
  committed_ = true;
  // The rename is durable only once the folder itself is on the disk.
  SyncPath(FolderOf(resolved_), O_RDONLY | O_DIRECTORY);
  return true;
}

int SweepLeftovers(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return 0;
  int swept = 0;
  while (dirent* entry = readdir(dir)) {
    const pid_t pid = LeftoverPid(entry->d_name);
    if (pid <= 0 || pid == getpid()) continue;
    // A live process, or one we may not signal, may still be writing it.
    if (kill(pid, 0) == 0 || errno != ESRCH) continue;
    if (!HoldsOurOutputOrNothing(dirfd(dir), entry->d_name)) continue;
    if (unlinkat(dirfd(dir), entry->d_name, 0) == 0) ++swept;
  }
  closedir(dir);
  return swept;
}
