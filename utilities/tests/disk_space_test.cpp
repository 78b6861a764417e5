#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <tarnell/log.h>
#include <unistd.h>
#include <utilities/disk_space.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

double statvfs_kb(const char* path) {
  struct statvfs vfs {};
  if (statvfs(path, &vfs) != 0) return -1;
  return static_cast<double>(vfs.f_bavail) * static_cast<double>(vfs.f_frsize) / 1000.0;
}

// Free space moves while other programs write; a few hundred megabytes either way is the
// same answer.
constexpr double kToleranceKB = 300000;

TEST(GetKBFreeTest, AnswersForThePathOrItsNearestExistingAncestor) {
  std::string tmp = fs::temp_directory_path().string();
  double expected = statvfs_kb(tmp.c_str());
  ASSERT_GT(expected, 0);
  EXPECT_NEAR(GetKBFree(tmp.c_str()), expected, kToleranceKB);
  EXPECT_NEAR(GetKBFree((tmp + "/not/made/yet/file.wav").c_str()), expected, kToleranceKB);
  EXPECT_NEAR(GetKBFree("/"), statvfs_kb("/"), kToleranceKB);
  EXPECT_NEAR(GetKBFree("relative/path"), statvfs_kb("."), kToleranceKB);
  EXPECT_EQ(GetKBFree(""), 0.0);
  EXPECT_EQ(GetKBFree(nullptr), 0.0);
}

TEST(GetKBFreeTest, ANetworkShareThatCannotBeAskedCountsAsTwoGigabytes) {
  EXPECT_EQ(GetKBFree("//no-such-server-7f3a/share/dir/"), 2048000.0);
  EXPECT_EQ(GetKBFree("\\\\no-such-server-7f3a\\share\\"), 2048000.0);
  // Not of the network form: the walk may climb to the root as for any path.
  EXPECT_GT(GetKBFree("/no-such-dir-7f3a/share/"), 0.0);
}

TEST(IsOnLocalHardDriveTest, LocalAbsolutePathsOnly) {
  std::string tmp = fs::temp_directory_path().string();
  EXPECT_EQ(IsOnLocalHardDrive("/"), 1);
  EXPECT_EQ(IsOnLocalHardDrive((tmp + "/not/made/yet/").c_str()), IsOnLocalHardDrive(tmp.c_str()));
  EXPECT_EQ(IsOnLocalHardDrive("relative/dir/"), 0);
  EXPECT_EQ(IsOnLocalHardDrive("//server/share/a.wav"), 0);
  EXPECT_EQ(IsOnLocalHardDrive("\\\\server\\share\\a.wav"), 0);
  EXPECT_EQ(IsOnLocalHardDrive(""), 0);
  EXPECT_EQ(IsOnLocalHardDrive(nullptr), 0);
}

// Whatever network file systems this machine has mounted must not count as local.
TEST(IsOnLocalHardDriveTest, NetworkMountsOfThisMachineAreNotLocal) {
  const std::set<std::string> network = {"nfs", "nfs4", "cifs", "smb3", "9p", "fuse.sshfs"};
  std::ifstream mounts("/proc/self/mounts");
  std::string device, directory, type, rest;
  int checked = 0;
  while (mounts >> device >> directory >> type) {
    std::getline(mounts, rest);
    if (network.count(type) == 0 || directory.find('\\') != std::string::npos) continue;
    EXPECT_EQ(IsOnLocalHardDrive(directory.c_str()), 0) << directory << " " << type;
    ++checked;
  }
  if (checked == 0) GTEST_SKIP() << "no network file system mounted here";
}

TEST(LogCurrentHardDriveSpaceTest, LogsEachLocalDiskOnceAndOnlyWhenLoggingIsOn) {
  fs::path dir = fs::temp_directory_path() / ("disk_space_log_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::string path = (dir / "tessel.log").string();
  LogInit(path.c_str());
  LogCurrentHardDriveSpace();
  EXPECT_FALSE(fs::exists(path));  // initialised but not on

  LogOn(1);
  Log("start");
  LogCurrentHardDriveSpace();
  LogDeinit();

  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::string line;
  std::getline(text, line);  // "start"
  std::set<dev_t> devices;
  while (std::getline(text, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    int h, m, sec, ms, prefix = 0;
    ASSERT_EQ(sscanf(line.c_str(), "%2d:%2d:%2d [%d mils] : %n", &h, &m, &sec, &ms, &prefix), 4)
        << line;
    std::string body = line.substr(static_cast<size_t>(prefix));
    const std::string tail = " MB free.";
    size_t has = body.rfind(" has ");
    ASSERT_TRUE(has != std::string::npos && body.size() > tail.size() &&
                body.compare(body.size() - tail.size(), tail.size(), tail) == 0)
        << line;
    std::string mount = body.substr(0, has);
    std::string megabytes = body.substr(has + 5, body.size() - tail.size() - has - 5);
    ASSERT_EQ(megabytes.find('.'), megabytes.size() - 3) << line;  // two decimals
    struct stat st {};
    ASSERT_EQ(stat(mount.c_str(), &st), 0) << line;
    EXPECT_TRUE(devices.insert(st.st_dev).second) << "named twice: " << line;
    EXPECT_NEAR(std::stod(megabytes) * 1000, statvfs_kb(mount.c_str()), kToleranceKB);
  }
  fs::remove_all(dir);
}

}  // namespace
