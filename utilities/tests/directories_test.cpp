#include <gtest/gtest.h>
#include <unistd.h>
#include <utilities/directories.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

class DirectoriesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("directories_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    base_ = dir_.string() + "/";
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
  std::string base_;
};

TEST(GetExeDirectoryTest, GivesTheExecutablesDirectoryWithATrailingSlash) {
  std::string expected = fs::read_symlink("/proc/self/exe").parent_path().string() + "/";
  char out[4096];
  ASSERT_EQ(GetExeDirectory(out, sizeof out), 1);
  EXPECT_EQ(out, expected);

  // Too small: refused with an empty answer rather than a cut path.
  memset(out, '#', sizeof out);
  EXPECT_EQ(GetExeDirectory(out, static_cast<int>(expected.size())), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(GetExeDirectory(out, static_cast<int>(expected.size()) + 1), 1);
  EXPECT_EQ(out, expected);
}

TEST_F(DirectoriesTest, ValidDirectoryIsOneThatCanBeListed) {
  std::ofstream(base_ + "file") << "x";
  EXPECT_EQ(IsValidDirectory(dir_.c_str()), 1);
  EXPECT_EQ(IsValidDirectory(base_.c_str()), 1);
  EXPECT_EQ(IsValidDirectory((base_ + "file").c_str()), 0);
  EXPECT_EQ(IsValidDirectory((base_ + "missing/").c_str()), 0);
  EXPECT_EQ(IsValidDirectory(""), 0);
  EXPECT_EQ(IsValidDirectory(nullptr), 0);
}

TEST_F(DirectoriesTest, CreatesEveryLevelFollowedByASlash) {
  EXPECT_EQ(CreateMultiLevelDir((base_ + "a/b/c/").c_str()), 1);
  EXPECT_TRUE(fs::is_directory(dir_ / "a/b/c"));

  EXPECT_EQ(CreateMultiLevelDir((base_ + "x/y/z").c_str()), 1);
  EXPECT_TRUE(fs::is_directory(dir_ / "x/y"));
  EXPECT_FALSE(fs::exists(dir_ / "x/y/z"));

  EXPECT_EQ(CreateMultiLevelDir((base_ + "a/b/c/").c_str()), 1);  // all there already
  EXPECT_EQ(CreateMultiLevelDir("/"), 1);
}

TEST_F(DirectoriesTest, RefusesRelativePathsAndStopsAtALevelThatCannotBeMade) {
  fs::path previous = fs::current_path();
  fs::current_path(dir_);
  EXPECT_EQ(CreateMultiLevelDir("rel/dir/"), 0);
  fs::current_path(previous);
  EXPECT_FALSE(fs::exists(dir_ / "rel"));
  EXPECT_EQ(CreateMultiLevelDir(""), 0);
  EXPECT_EQ(CreateMultiLevelDir(nullptr), 0);

  std::ofstream(base_ + "blocker") << "x";
  EXPECT_EQ(CreateMultiLevelDir((base_ + "blocker/sub/deeper/").c_str()), 0);
  EXPECT_FALSE(fs::exists(dir_ / "blocker/sub"));
}

TEST_F(DirectoriesTest, FindsTheFirstSubDirectoryNotBeginningWithADot) {
  char name[kSubDirNameSize];
  EXPECT_EQ(HasSubDir(base_.c_str(), name), 0);

  fs::create_directory(dir_ / ".hidden");
  std::ofstream(base_ + "a file") << "x";
  EXPECT_EQ(HasSubDir(base_.c_str(), name), 0);

  fs::create_directory(dir_ / "zeta");
  fs::create_directory(dir_ / "beta");
  fs::create_directory_symlink(dir_ / "zeta", dir_ / "alpha link");
  ASSERT_EQ(HasSubDir(base_.c_str(), name), 1);
  EXPECT_STREQ(name, "alpha link");
  ASSERT_EQ(HasSubDir(dir_.c_str(), name), 1);  // without the trailing slash too

  EXPECT_EQ(HasSubDir((base_ + "missing/").c_str(), name), 0);
}

}  // namespace
