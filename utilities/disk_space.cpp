#include <platform/clock.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <tarnell/log.h>
#include <utilities/disk_space.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

// What a network share that cannot be asked is assumed to hold: large enough not to stop a
// recording or an export before it starts.
constexpr double kUnknownNetworkShareKB = 2048000.0;

constexpr uint64_t kDriveWalkLimitMs = 20000;

bool is_separator(char c) { return c == '/' || c == '\\'; }

// Length of the "//server/share" head of a network-form path, or 0 when it has none.
size_t network_share_length(std::string_view path) {
  if (path.size() < 2 || !is_separator(path[0]) || !is_separator(path[1])) return 0;
  size_t i = 2;
  size_t server = i;
  while (i < path.size() && !is_separator(path[i])) ++i;
  if (i == server || i == path.size()) return 0;
  size_t share = ++i;
  while (i < path.size() && !is_separator(path[i])) ++i;
  return i == share ? 0 : i;
}

// The path itself or its nearest ancestor that exists, never shorter than `floor` characters;
// "" when there is none.
std::string existing_ancestor(std::string path, size_t floor) {
  for (;;) {
    struct stat st {};
    if (!path.empty() && stat(path.c_str(), &st) == 0) return path;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (path.empty() || path == "." || path == "/") return "";
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
      path.assign(1, '.');  // a relative name lies in the working directory
    else
      path.resize(slash == 0 ? 1 : slash);
    if (path.size() < floor) return "";
  }
}

struct Mount {
  std::string device;
  std::string directory;
  std::string type;
};

// Mount tables write blanks and backslashes in names as three-digit octal escapes.
std::string unescape_mount_field(std::string_view field) {
  std::string result;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '7' &&
        field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' && field[i + 3] <= '7') {
      result += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                  (field[i + 3] - '0'));
      i += 3;
    } else {
      result += field[i];
    }
  }
  return result;
}

std::vector<Mount> read_mounts() {
  std::vector<Mount> mounts;
  std::ifstream in("/proc/self/mounts");
  std::string device, directory, type, rest;
  while (in >> device >> directory >> type) {
    std::getline(in, rest);
    mounts.push_back({unescape_mount_field(device), unescape_mount_field(directory), type});
  }
  return mounts;
}

bool is_network_type(std::string_view type) {
  static constexpr std::string_view kNetworkTypes[] = {
      "nfs",       "nfs4",        "cifs",        "smb3",           "smbfs",          "ncpfs",
      "ncp",       "9p",          "afs",         "ceph",           "coda",           "glusterfs",
      "lustre",    "davfs",       "fuse.sshfs",  "sshfs",          "fuse.glusterfs", "fuse.ceph",
      "fuse.s3fs", "fuse.rclone", "fuse.davfs2", "fuse.curlftpfs", "fuse.gvfsd-fuse"};
  for (std::string_view t : kNetworkTypes)
    if (type == t) return true;
  return false;
}

// The mount whose directory is the longest prefix of the canonical `path`; later entries
// win a tie, as the later mount hides the earlier.
const Mount* mount_of(const std::vector<Mount>& mounts, const std::string& path) {
  const Mount* best = nullptr;
  for (const Mount& m : mounts) {
    const std::string& dir = m.directory;
    bool inside = path.compare(0, dir.size(), dir) == 0 &&
                  (dir == "/" || path.size() == dir.size() || path[dir.size()] == '/');
    if (inside && (best == nullptr || dir.size() >= best->directory.size())) best = &m;
  }
  return best;
}

constexpr long kNfsMagic = 0x6969;
constexpr long kSmbMagic = 0x517B;
constexpr long kCifsMagic = 0xFF534D42;
constexpr long kSmb2Magic = 0xFE534D42;
constexpr long kV9fsMagic = 0x01021997;
constexpr long kAfsMagic = 0x5346414F;
constexpr long kCephMagic = 0x00C36400;
constexpr long kCodaMagic = 0x73757245;
constexpr long kNcpMagic = 0x564C;
constexpr long kFuseMagic = 0x65735546;

bool is_network_magic(long type) {
  switch (type) {
    case kNfsMagic:
    case kSmbMagic:
    case kCifsMagic:
    case kSmb2Magic:
    case kV9fsMagic:
    case kAfsMagic:
    case kCephMagic:
    case kCodaMagic:
    case kNcpMagic:
      return true;
    default:
      return false;
  }
}

}  // namespace

int IsOnLocalHardDrive(const char* path) {
  if (path == nullptr || path[0] != '/' || network_share_length(path) != 0) return 0;
  std::string existing = existing_ancestor(path, 1);
  struct statfs fs {};
  if (existing.empty() || statfs(existing.c_str(), &fs) != 0) return 0;
  long type = static_cast<long>(static_cast<unsigned long>(fs.f_type) & 0xFFFFFFFFul);
  if (is_network_magic(type)) return 0;
  if (type != kFuseMagic) return 1;
  // Every user-space file system has the same magic; only the mount table says which it is.
  char* canonical = realpath(existing.c_str(), nullptr);
  if (canonical == nullptr) return 0;
  std::vector<Mount> mounts = read_mounts();
  const Mount* mount = mount_of(mounts, canonical);
  free(canonical);
  return mount != nullptr && is_network_type(mount->type) ? 0 : 1;
}

double GetKBFree(const char* path) {
  if (path == nullptr || path[0] == '\0') return 0.0;
  size_t share = network_share_length(path);
  // A share is its own drive: the walk towards an existing ancestor must not leave it.
  std::string existing = existing_ancestor(path, share != 0 ? share : 1);
  struct statvfs vfs {};
  if (!existing.empty() && statvfs(existing.c_str(), &vfs) == 0)
    return static_cast<double>(vfs.f_bavail) * static_cast<double>(vfs.f_frsize) / 1000.0;
  return share != 0 ? kUnknownNetworkShareKB : 0.0;
}

void LogCurrentHardDriveSpace() {
  if (!LoggingNow()) return;
  uint64_t start = platform::monotonic_ms();
  std::set<dev_t> seen;
  for (const Mount& mount : read_mounts()) {
    if (platform::monotonic_ms() - start > kDriveWalkLimitMs) break;
    if (mount.device.compare(0, 5, "/dev/") != 0 || is_network_type(mount.type)) continue;
    struct stat st {};
    if (stat(mount.directory.c_str(), &st) != 0 || !seen.insert(st.st_dev).second) continue;
    char line[PATH_MAX + 64];
    snprintf(line, sizeof line, "%s has %0.2f MB free.", mount.directory.c_str(),
             GetKBFree(mount.directory.c_str()) / 1000.0);
    Log(line);
  }
}
