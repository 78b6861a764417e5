#include <dirent.h>
#include <fcntl.h>
#include <platform/fd_io.h>
#include <platform/settings_store.h>
#include <platform/settings_text.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace platform {

namespace {

using settings::Key;
using Status = SettingsStatus;
using Change = std::function<Status(Key*)>;

// What identifies one version of the file on disk: a save always makes a new inode, and an
// edit in place changes the size or the modification time.
struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;  // -1: no file
  int64_t mtime_ns = 0;
  bool operator==(const FileId&) const = default;
};

FileId IdOf(const struct stat& st) {
  return FileId{st.st_dev, st.st_ino, st.st_size,
                static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

struct CachedFile {
  FileId id;
  std::shared_ptr<const Key> root;
};

std::mutex g_cache_mutex;
std::map<std::string, CachedFile> g_cache;
std::atomic<SettingsSaveHook> g_save_hook{nullptr};
thread_local std::string t_damaged_copy;
std::mutex g_damaged_mutex;
std::vector<std::string> g_damaged_copies;  // set aside since the last TakeDamagedCopies

// What one thread holds back for one settings file while a batch is open on it.
struct PendingBatch {
  int depth = 0;
  // The file as first read inside the batch, with the held changes applied; null until then.
  std::shared_ptr<Key> tree;
  std::vector<Change> changes;  // to be applied again to the file as it is at the save
};
thread_local std::map<std::string, PendingBatch> t_batches;

PendingBatch* OpenBatch(const std::string& file) {
  auto it = t_batches.find(file);
  return it == t_batches.end() ? nullptr : &it->second;
}

void NoteDamagedCopy(const std::string& aside) {
  t_damaged_copy = aside;
  std::lock_guard<std::mutex> guard(g_damaged_mutex);
  g_damaged_copies.push_back(aside);
}

const std::shared_ptr<const Key>& EmptyTree() {
  static const std::shared_ptr<const Key> empty = std::make_shared<const Key>();
  return empty;
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

std::string DirectoryOf(const std::string& file) {
  size_t slash = file.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return file.substr(0, slash);
}

std::string BaseNameOf(const std::string& file) {
  size_t slash = file.rfind('/');
  return slash == std::string::npos ? file : file.substr(slash + 1);
}

bool ReadAll(int fd, std::string* text) {
  text->clear();
  char buf[65536];
  while (true) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    text->append(buf, static_cast<size_t>(n));
  }
}

// Makes the settings folder and the folders above it, private to the user as configuration
// folders are.
bool MakeDirectories(const std::string& dir) {
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  size_t pos = 0;
  while (true) {
    pos = dir.find('/', pos + 1);
    std::string prefix = dir.substr(0, pos);
    if (!prefix.empty() && ::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (pos == std::string::npos) return true;
  }
}

bool SyncDirectory(const std::string& dir) {
  Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  // Some file systems cannot sync a folder; the rename is as durable as they make it.
  return ::fsync(fd.get()) == 0 || errno == EINVAL || errno == EROFS;
}

// The lock that orders every change of one settings file between threads and processes. It is
// held on a file of its own so that the settings file itself can be replaced while locked.
class FileLock {
 public:
  bool Acquire(const std::string& file) {
    fd_ = Fd(::open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)).release();
    if (fd_ < 0) return false;
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) return false;
    }
    return true;
  }
  ~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }

 private:
  int fd_ = -1;
};

// Reads and parses the file; a missing file is an empty store.
Status Load(const std::string& file, std::shared_ptr<const Key>* root, FileId* id) {
  Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno != ENOENT) return Status::kIoError;
    *root = EmptyTree();
    *id = FileId{};
    return Status::kOk;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return Status::kIoError;
  *id = IdOf(st);
  {
    std::lock_guard<std::mutex> guard(g_cache_mutex);
    auto it = g_cache.find(file);
    if (it != g_cache.end() && it->second.id == *id) {
      *root = it->second.root;
      return Status::kOk;
    }
  }
  std::string text;
  if (!ReadAll(fd.get(), &text)) return Status::kIoError;
  auto tree = std::make_shared<Key>();
  std::string error;
  if (!settings::Parse(text, tree.get(), &error)) return Status::kDamaged;
  *root = tree;
  std::lock_guard<std::mutex> guard(g_cache_mutex);
  g_cache[file] = CachedFile{*id, tree};
  return Status::kOk;
}

// Renames a damaged file aside, under the lock, unless another process already did so or
// replaced it.
void SetAsideLocked(const std::string& file, const FileId& damaged) {
  t_damaged_copy.clear();
  struct stat st;
  if (::stat(file.c_str(), &st) != 0 || !(IdOf(st) == damaged)) return;
  char stamp[32];
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  std::string aside = file + ".damaged-" + stamp;
  for (int n = 2; n < 1000; ++n) {
    if (::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) {
      NoteDamagedCopy(aside);
      SyncDirectory(DirectoryOf(file));
      break;
    }
    if (errno == EINVAL) {
      // No RENAME_NOREPLACE on this file system: check by hand, the lock keeps us alone.
      if (::access(aside.c_str(), F_OK) != 0 && ::rename(file.c_str(), aside.c_str()) == 0) {
        NoteDamagedCopy(aside);
        SyncDirectory(DirectoryOf(file));
        break;
      }
    } else if (errno != EEXIST) {
      break;
    }
    aside = file + ".damaged-" + stamp + "-" + std::to_string(n);
  }
  std::lock_guard<std::mutex> guard(g_cache_mutex);
  g_cache.erase(file);
}

// The file a link points to, followed link by link, even when it does not exist (yet): a
// save replaces that file and a damaged one is set aside there, and the user's link stays in
// place. Any other path stays as it is.
std::string ResolveLink(const std::string& file) {
  std::string path = file;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char target[PATH_MAX];
    ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) return path;
    std::string next(target, static_cast<size_t>(n));
    path = next.front() == '/' ? next : DirectoryOf(path) + '/' + next;
  }
  return path;  // a loop of links: opening it fails as it should
}

// Loads for reading (the thread's open batch answers from memory); a damaged file is set aside
// before the failure is reported.
Status Snapshot(const std::string& linked, std::shared_ptr<const Key>* root) {
  if (PendingBatch* batch = OpenBatch(linked); batch && batch->tree) {
    *root = batch->tree;
    return Status::kOk;
  }
  const std::string file = ResolveLink(linked);
  FileId id;
  Status status = Load(file, root, &id);
  if (status == Status::kDamaged) {
    FileLock lock;
    if (lock.Acquire(file)) {
      SetAsideLocked(file, id);
    } else {
      t_damaged_copy.clear();
    }
  }
  return status;
}

// Temporary files left by a save that died: any that exist while we hold the lock are such.
void RemoveStaleTemporaries(const std::string& file) {
  std::string dir = DirectoryOf(file);
  std::string prefix = BaseNameOf(file) + ".tmp-";
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  while (struct dirent* entry = ::readdir(d)) {
    if (std::string_view(entry->d_name).starts_with(prefix)) {
      ::unlinkat(::dirfd(d), entry->d_name, 0);
    }
  }
  ::closedir(d);
}

// Writes `text` to a temporary file beside `file` and renames it over `file`.
Status Save(const std::string& file, const std::string& text, const FileId& old_id, FileId* id) {
  std::string temp = file + ".tmp-XXXXXX";
  Fd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (fd.get() < 0) return Status::kIoError;
  struct stat st;
  bool ok = true;
  if (old_id.size >= 0 && ::stat(file.c_str(), &st) == 0) {
    ok = ::fchmod(fd.get(), st.st_mode & 07777) == 0;  // keep the mode the user gave it
  }
  ok = ok && platform::write_all(fd.get(), text) && ::fsync(fd.get()) == 0 &&
       ::fstat(fd.get(), &st) == 0;
  if (ok) {
    *id = IdOf(st);
    ok = ::close(fd.release()) == 0;
  }
  if (ok) {
    if (SettingsSaveHook hook = g_save_hook.load()) hook(temp.c_str());
    ok = ::rename(temp.c_str(), file.c_str()) == 0;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    return Status::kIoError;
  }
  return SyncDirectory(DirectoryOf(file)) ? Status::kOk : Status::kIoError;
}

// Applies one change to the current file under the lock and saves the result; inside the
// thread's open batch, to the batch's tree instead.
Status Mutate(const std::string& linked, const Change& change) {
  if (PendingBatch* batch = OpenBatch(linked)) {
    if (!batch->tree) {
      std::shared_ptr<const Key> current;
      if (Status s = Snapshot(linked, &current); s != Status::kOk) return s;
      batch->tree = std::make_shared<Key>(*current);
    }
    Status status = change(batch->tree.get());
    if (status == Status::kOk) batch->changes.push_back(change);
    return status;
  }
  const std::string file = ResolveLink(linked);
  if (!MakeDirectories(DirectoryOf(file))) return Status::kIoError;
  FileLock lock;
  if (!lock.Acquire(file)) return Status::kIoError;
  RemoveStaleTemporaries(file);
  std::shared_ptr<const Key> current;
  FileId old_id;
  Status status = Load(file, &current, &old_id);
  if (status == Status::kDamaged) SetAsideLocked(file, old_id);
  if (status != Status::kOk) return status;

  auto next = std::make_shared<Key>(*current);
  status = change(next.get());
  if (status != Status::kOk) return status;
  std::string text = settings::Write(*next);
  if (text == settings::Write(*current)) return Status::kOk;

  FileId new_id;
  status = Save(file, text, old_id, &new_id);
  std::lock_guard<std::mutex> guard(g_cache_mutex);
  if (status == Status::kOk) {
    g_cache[file] = CachedFile{new_id, next};
  } else {
    g_cache.erase(file);
  }
  return status;
}

// The key at `parts`, or null. A root that the file does not mention is an empty key.
const Key* FindKey(const Key& root, const std::vector<std::string>& parts) {
  static const Key kEmptyRoot;
  const Key* key = root.FindSubkey(parts[0]);
  if (!key) return parts.size() == 1 ? &kEmptyRoot : nullptr;
  for (size_t i = 1; key && i < parts.size(); ++i) key = key->FindSubkey(parts[i]);
  return key;
}

Key* FindKeyToChange(Key* root, const std::vector<std::string>& parts) {
  Key* key = root->AddSubkey(parts[0]);
  for (size_t i = 1; key && i < parts.size(); ++i) key = key->FindSubkey(parts[i]);
  return key;
}

std::string HomeDirectory() {
  if (const char* home = getenv("HOME"); home && *home) return home;
  struct passwd pw, *found = nullptr;
  char buf[4096];
  if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found) return found->pw_dir;
  return "/tmp";
}

}  // namespace

void set_settings_save_hook(SettingsSaveHook hook) { g_save_hook.store(hook); }

SettingsBatch::SettingsBatch(const std::string& file) : file_(file) { ++t_batches[file_].depth; }

SettingsBatch::~SettingsBatch() { Commit(); }

SettingsStatus SettingsBatch::Commit() {
  if (!open_) return Status::kOk;
  open_ = false;
  auto it = t_batches.find(file_);
  if (it == t_batches.end() || --it->second.depth > 0) return Status::kOk;
  std::vector<Change> changes = std::move(it->second.changes);
  t_batches.erase(it);
  if (changes.empty()) return Status::kOk;
  return Mutate(file_, [&changes](Key* root) {
    for (const Change& change : changes) {
      if (Status status = change(root); status != Status::kOk) return status;
    }
    return Status::kOk;
  });
}

SettingsStore::SettingsStore(std::string file) : file_(std::move(file)) {}

std::string SettingsStore::DefaultFile() {
  if (const char* path = getenv("QUARL_REGISTRY"); path && *path) return path;
  std::string config;
  // Relative values of XDG_CONFIG_HOME are to be ignored.
  if (const char* xdg = getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
    config = xdg;
  } else {
    config = HomeDirectory() + "/.config";
  }
  return config + "/tessel/registry.reg";
}

std::string SettingsStore::LastDamagedCopy() { return t_damaged_copy; }

std::vector<std::string> SettingsStore::TakeDamagedCopies() {
  std::lock_guard<std::mutex> guard(g_damaged_mutex);
  std::vector<std::string> copies;
  copies.swap(g_damaged_copies);
  return copies;
}

SettingsStatus SettingsStore::OpenKey(std::string_view key) const {
  std::vector<std::string> parts;
  if (!settings::SplitKeyPath(key, &parts)) return Status::kInvalid;
  std::shared_ptr<const Key> root;
  if (Status s = Snapshot(file_, &root); s != Status::kOk) return s;
  return FindKey(*root, parts) ? Status::kOk : Status::kNotFound;
}

SettingsStatus SettingsStore::CreateKey(std::string_view key) {
  std::vector<std::string> parts;
  if (!settings::SplitKeyPath(key, &parts)) return Status::kInvalid;
  return Mutate(file_, [parts](Key* root) {
    Key* walk = root;
    for (const std::string& part : parts) walk = walk->AddSubkey(part);
    return Status::kOk;
  });
}

SettingsStatus SettingsStore::DeleteKey(std::string_view key) {
  std::vector<std::string> parts;
  if (!settings::SplitKeyPath(key, &parts) || parts.size() < 2) return Status::kInvalid;
  std::string leaf = parts.back();
  parts.pop_back();
  return Mutate(file_, [parts, leaf](Key* root) {
    Key* parent = FindKeyToChange(root, parts);
    return parent && parent->RemoveSubkey(leaf) ? Status::kOk : Status::kNotFound;
  });
}

SettingsStatus SettingsStore::DeleteSubKeys(std::string_view key) {
  std::vector<std::string> parts;
  if (!settings::SplitKeyPath(key, &parts)) return Status::kInvalid;
  return Mutate(file_, [parts](Key* root) {
    Key* found = FindKeyToChange(root, parts);
    if (!found) return Status::kNotFound;
    found->subkeys.clear();
    return Status::kOk;
  });
}

SettingsStatus SettingsStore::QueryValue(std::string_view key, std::string_view name,
                                         SettingValue* out) const {
  std::vector<std::string> parts;
  if (!settings::SplitKeyPath(key, &parts)) return Status::kInvalid;
  std::shared_ptr<const Key> root;
  if (Status s = Snapshot(file_, &root); s != Status::kOk) return s;
  const Key* found = FindKey(*root, parts);
  const settings::Value* value = found ? found->FindValue(name) : nullptr;
  if (!value) return Status::kNotFound;
  out->type = value->type;
  out->data = value->data;
  return Status::kOk;
}

SettingsStatus SettingsStore::SetValue(std::string_view key, std::string_view name, uint32_t type,
                                       std::span<const uint8_t> data) {
  std::vector<std::string> parts;
  if (!settings::SplitKeyPath(key, &parts) || name.size() > settings::kMaxValueNameLength) {
    return Status::kInvalid;
  }
  return Mutate(file_, [parts, name = std::string(name), type,
                        bytes = std::vector<uint8_t>(data.begin(), data.end())](Key* root) {
    Key* found = FindKeyToChange(root, parts);
    if (!found) return Status::kNotFound;
    found->SetValue(name, type, bytes);
    return Status::kOk;
  });
}

SettingsStatus SettingsStore::DeleteValue(std::string_view key, std::string_view name) {
  std::vector<std::string> parts;
  if (!settings::SplitKeyPath(key, &parts)) return Status::kInvalid;
  return Mutate(file_, [parts, name = std::string(name)](Key* root) {
    Key* found = FindKeyToChange(root, parts);
    return found && found->RemoveValue(name) ? Status::kOk : Status::kNotFound;
  });
}

SettingsStatus SettingsStore::EnumSubKey(std::string_view key, size_t index,
                                         std::string* name) const {
  std::vector<std::string> parts;
  if (!settings::SplitKeyPath(key, &parts)) return Status::kInvalid;
  std::shared_ptr<const Key> root;
  if (Status s = Snapshot(file_, &root); s != Status::kOk) return s;
  const Key* found = FindKey(*root, parts);
  if (!found || index >= found->subkeys.size()) return Status::kNotFound;
  *name = found->subkeys[index].name;
  return Status::kOk;
}

SettingsStatus SettingsStore::EnumValue(std::string_view key, size_t index,
                                        std::string* name) const {
  std::vector<std::string> parts;
  if (!settings::SplitKeyPath(key, &parts)) return Status::kInvalid;
  std::shared_ptr<const Key> root;
  if (Status s = Snapshot(file_, &root); s != Status::kOk) return s;
  const Key* found = FindKey(*root, parts);
  if (!found || index >= found->values.size()) return Status::kNotFound;
  *name = found->values[index].name;
  return Status::kOk;
}

}  // namespace platform
