#include <gtest/gtest.h>
#include <tarnell/log.h>
#include <tarnell/tests/temp_dir.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

void FixedTime(LogTime* now) { *now = LogTime{9, 5, 7, 42}; }

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// The text after a well-formed "HH:MM:SS [N mils] : " prefix.
bool TextOf(const std::string& line, std::string* text) {
  int h, m, s, ms, end = -1;
  if (sscanf(line.c_str(), "%2d:%2d:%2d [%d mils] : %n", &h, &m, &s, &ms, &end) != 4 || end < 0 ||
      line.size() < 9 || line[2] != ':' || line[5] != ':' || line[8] != ' ' || h > 23 || m > 59 ||
      s > 60 || ms < 0 || ms > 999) {
    return false;
  }
  *text = line.substr(end);
  return true;
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }
  void TearDown() override {
    LogOn(0);
    LogDeinit();
    LogSetTimeSource(nullptr);
  }
  std::string path() const { return dir_.File("quarl.log"); }

  TempDir dir_;
};

TEST_F(LogTest, LinesCarryTheTimeAndMilliseconds) {
  LogSetTimeSource(FixedTime);
  LogInit(path().c_str());
  LogOn(1);
  Log("started");
  Log(nullptr);
  std::ifstream in(path(), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "09:05:07 [42 mils] : started\n09:05:07 [42 mils] : \n");
}

TEST_F(LogTest, WritesOnlyWhenInitialisedAndOnAndStartsAFreshFile) {
  { std::ofstream(path()) << "an older log\n"; }
  Log("before anything");
  LogOn(1);
  EXPECT_EQ(LoggingNow(), 0);
  Log("on but not initialised");
  LogOn(0);
  LogInit(path().c_str());
  EXPECT_EQ(LoggingNow(), 0);
  Log("initialised but off");
  EXPECT_EQ(Lines(path()), std::vector<std::string>{"an older log"});

  LogOn(1);
  EXPECT_EQ(LoggingNow(), 1);
  Log("first");
  std::vector<std::string> lines = Lines(path());
  ASSERT_EQ(lines.size(), 1u);
  std::string text;
  EXPECT_TRUE(TextOf(lines[0], &text)) << lines[0];
  EXPECT_EQ(text, "first");

  // A second life of the log starts yet another fresh file.
  LogDeinit();
  EXPECT_EQ(LoggingNow(), 0);
  Log("after deinit");
  LogInit(path().c_str());
  Log("second");
  lines = Lines(path());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("second"), std::string::npos);
}

TEST_F(LogTest, MemoryReportHasItsFiveLines) {
  LogInit(path().c_str());
  LogOn(1);
  LogCurrentMemory();
  std::vector<std::string> lines = Lines(path());
  ASSERT_EQ(lines.size(), 5u);
  std::string text[5];
  for (size_t i = 0; i < 5; ++i) ASSERT_TRUE(TextOf(lines[i], &text[i])) << lines[i];
  int percent = -1;
  double free_mb = -1, total_mb = -1;
  EXPECT_EQ(sscanf(text[0].c_str(), "Mem in use percentage = %d %%", &percent), 1) << text[0];
  EXPECT_TRUE(percent >= 0 && percent <= 100);
  const char* formats[] = {
      "Free physical : %lf MB, Total physical : %lf MB",
      "Free paging file : %lf MB, Total paging file : %lf MB",
      "Free virtual : %lf MB, Total virtual : %lf MB",
      "Process resident : %lf MB, Peak resident : %lf MB",
  };
  for (size_t i = 0; i < 4; ++i) {
    ASSERT_EQ(sscanf(text[i + 1].c_str(), formats[i], &free_mb, &total_mb), 2) << text[i + 1];
    EXPECT_GT(total_mb, 0) << text[i + 1];
    EXPECT_GE(free_mb, 0) << text[i + 1];
    EXPECT_LE(free_mb, total_mb) << text[i + 1];
  }
}

TEST_F(LogTest, ManyThreadsLoggingAtOnceKeepEveryLineWhole) {
  LogInit(path().c_str());
  LogOn(1);
  constexpr int kThreads = 8, kLines = 400;
  const std::string padding(150, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &padding] {
      for (int i = 0; i < kLines; ++i) {
        std::string text =
            "thread " + std::to_string(t) + " line " + std::to_string(i) + " " + padding;
        Log(text.c_str());
      }
    });
  }
  // Asking for the state while others log must be safe too.
  for (int i = 0; i < 100; ++i) LoggingNow();
  for (std::thread& t : threads) t.join();

  std::set<std::pair<int, int>> seen;
  std::vector<std::string> lines = Lines(path());
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  for (const std::string& line : lines) {
    std::string text;
    int t = -1, i = -1, end = -1;
    ASSERT_TRUE(TextOf(line, &text)) << line;
    ASSERT_EQ(sscanf(text.c_str(), "thread %d line %d %n", &t, &i, &end), 2) << line;
    ASSERT_EQ(text.substr(end), padding) << line;
    seen.emplace(t, i);
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
}

}  // namespace
