#include <gtest/gtest.h>
#include <platform/profile.h>
#include <unistd.h>
#include <utilities/string_table.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

class StringTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("string_table_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override {
    SetStringFile(nullptr);
    fs::remove_all(dir_);
  }

  std::string Write(const std::string& name, const std::string& text) {
    std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    return path;
  }

  fs::path dir_;
};

TEST_F(StringTableTest, LooksUpKeysInTheGivenOrDefaultFile) {
  std::string program = Write("program.ini", "[Strings]\nIDS_PLAY=Play\nIDS_STOP = Stop \n");
  std::string engine = Write("engine.ini", "[strings]\nIDS_PLAY=Engine play\n");
  SetStringFile(program.c_str());
  char out[64];
  EXPECT_EQ(MyLoadString("ids_play", out, sizeof out), 1);
  EXPECT_STREQ(out, "Play");
  EXPECT_EQ(MyLoadString("IDS_STOP", out, sizeof out), 1);
  EXPECT_STREQ(out, "Stop");
  EXPECT_EQ(MyLoadString("IDS_PLAY", out, sizeof out, engine.c_str()), 1);
  EXPECT_STREQ(out, "Engine play");
}

TEST_F(StringTableTest, AbsentKeyOrFileGivesTheKeyItself) {
  std::string path = Write("s.ini", "[Strings]\nIDS_EMPTY=\n[Other]\nIDS_ELSEWHERE=x\n");
  char out[64];
  EXPECT_EQ(MyLoadString("IDS_MISSING", out, sizeof out, path.c_str()), 1);
  EXPECT_STREQ(out, "IDS_MISSING");
  EXPECT_EQ(MyLoadString("IDS_ELSEWHERE", out, sizeof out, path.c_str()), 1);
  EXPECT_STREQ(out, "IDS_ELSEWHERE");
  // No default file set yet, and a file that does not exist.
  EXPECT_EQ(MyLoadString("IDS_PLAY", out, sizeof out), 1);
  EXPECT_STREQ(out, "IDS_PLAY");
  EXPECT_EQ(MyLoadString("IDS_PLAY", out, sizeof out, (dir_ / "none.ini").c_str()), 1);
  EXPECT_STREQ(out, "IDS_PLAY");
  // A key that is present with an empty text is the one case that yields nothing.
  EXPECT_EQ(MyLoadString("IDS_EMPTY", out, sizeof out, path.c_str()), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(MyLoadString("", out, sizeof out, path.c_str()), 0);
}

TEST_F(StringTableTest, OutputIsCutToItsSizeAndTheDefaultPathIsCopied) {
  std::string path = Write("s.ini", "[Strings]\nLONG=abcdefghij\n");
  char caller[512];
  snprintf(caller, sizeof caller, "%s", path.c_str());
  SetStringFile(caller);
  memset(caller, 'x', sizeof caller - 1);  // the caller reuses its buffer

  char out[8];
  memset(out, '#', sizeof out);
  EXPECT_EQ(MyLoadString("LONG", out, 5), 1);
  EXPECT_STREQ(out, "abcd");
  EXPECT_EQ(out[5], '#');
  EXPECT_EQ(MyLoadString("NO_SUCH_KEY", out, 4), 1);
  EXPECT_STREQ(out, "NO_");
  EXPECT_EQ(MyLoadString("LONG", out, 0), 0);
  EXPECT_EQ(out[0], 'N');
}

TEST(ParseCarriageReturnsTest, TurnsEscapesIntoCarriageReturns) {
  char out[64];
  EXPECT_EQ(ParseCarriageReturns("one\\rtwo\\nthree", out, sizeof out), 1);
  EXPECT_STREQ(out, "one\rtwo\rthree");
  EXPECT_EQ(ParseCarriageReturns("a\\tb\\\\c\\R", out, sizeof out), 1);
  EXPECT_STREQ(out, "a\\tb\\\\c\\R");
  EXPECT_EQ(ParseCarriageReturns("ends in\\", out, sizeof out), 1);
  EXPECT_STREQ(out, "ends in\\");
  EXPECT_EQ(ParseCarriageReturns("", out, sizeof out), 1);
  EXPECT_STREQ(out, "");
}

TEST(ParseCarriageReturnsTest, HonoursTheSizeAndWorksInPlace) {
  char out[8];
  memset(out, '#', sizeof out);
  EXPECT_EQ(ParseCarriageReturns("abc\\ndefgh", out, 6), 0);
  EXPECT_STREQ(out, "abc\rd");
  EXPECT_EQ(out[6], '#');
  EXPECT_EQ(ParseCarriageReturns("abc", out, 4), 1);
  EXPECT_STREQ(out, "abc");
  EXPECT_EQ(ParseCarriageReturns("abc", out, 0), 0);

  char text[] = "x\\ny\\rz";
  EXPECT_EQ(ParseCarriageReturns(text, text, sizeof text), 1);
  EXPECT_STREQ(text, "x\ry\rz");
}

// The build copies both strings files beside the executables, where the program and the
// engine look for them.
TEST(ShippedStringsFilesTest, LieBesideTheExecutablesWithAStringsSection) {
  fs::path bin = fs::read_symlink("/proc/self/exe").parent_path();
  for (const char* name : {"sonark-strings.ini", "quarl-strings.ini"}) {
    fs::path path = bin / name;
    ASSERT_TRUE(fs::is_regular_file(path)) << path;
    char sections[256];
    size_t n =
        platform::profile_string(path.c_str(), nullptr, nullptr, "", sections, sizeof sections);
    bool found = false;
    for (size_t at = 0; at < n; at += strlen(sections + at) + 1)
      found = found || strcasecmp(sections + at, "Strings") == 0;
    EXPECT_TRUE(found) << path;
  }
}

}  // namespace
