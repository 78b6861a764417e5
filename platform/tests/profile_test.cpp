#include <platform/profile.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("profile_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "strings.ini").string();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void Write(const std::string& text) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out << text;
  }

  std::string Get(const char* section, const char* key, const char* fallback = "dflt",
                  size_t size = 256) {
    char buf[256];
    size_t n = platform::profile_string(path_.c_str(), section, key, fallback, buf, size);
    EXPECT_EQ(n, strlen(buf));
    return buf;
  }

  std::filesystem::path dir_;
  std::string path_;
};

TEST_F(ProfileTest, FindsSectionAndKeyWithoutRegardToCaseAndTrimsValues) {
  Write("\xEF\xBB\xBF; comment\r\n[Strings]\r\n  IDS_PLAY =  Play now  \r\nIDS_QUOTED=\"  spaced \"\r\n"
        "[Other]\nIDS_PLAY=other\n");
  EXPECT_EQ(Get("strings", "ids_play"), "Play now");
  EXPECT_EQ(Get("STRINGS", "IDS_QUOTED"), "  spaced ");
  EXPECT_EQ(Get("other", "IDS_PLAY"), "other");
}

TEST_F(ProfileTest, MissingFileSectionOrKeyGivesTheFallback) {
  EXPECT_EQ(Get("Strings", "IDS_PLAY"), "dflt");
  Write("[Strings]\nA=1\n");
  EXPECT_EQ(Get("Nope", "A"), "dflt");
  EXPECT_EQ(Get("Strings", "B", nullptr), "");
  EXPECT_EQ(platform::profile_int(path_.c_str(), "Strings", "A", 7), 1);
  EXPECT_EQ(platform::profile_int(path_.c_str(), "Strings", "B", 7), 7);
}

TEST_F(ProfileTest, FirstOccurrenceWinsAndLongValuesAreCut) {
  Write("[s]\nk=first\nk=second\n[s]\nk=third\n");
  EXPECT_EQ(Get("s", "k"), "first");
  EXPECT_EQ(Get("s", "k", "", 4), "fir");
}

TEST_F(ProfileTest, ListsSectionAndKeyNamesWithDoubleTerminator) {
  Write("[one]\na=1\nb=2\n[two]\n");
  char buf[64];
  size_t n = platform::profile_string(path_.c_str(), nullptr, nullptr, "", buf, sizeof buf);
  EXPECT_EQ(std::string(buf, n + 1), std::string("one\0two\0\0", 9));
  n = platform::profile_string(path_.c_str(), "ONE", nullptr, "", buf, sizeof buf);
  EXPECT_EQ(std::string(buf, n + 1), std::string("a\0b\0\0", 5));
}

TEST_F(ProfileTest, RereadsAFileChangedOnDisk) {
  Write("[s]\nk=old\n");
  EXPECT_EQ(Get("s", "k"), "old");
  Write("[s]\nk=a newer and longer value\n");
  EXPECT_EQ(Get("s", "k"), "a newer and longer value");
}

}  // namespace
