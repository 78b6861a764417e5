#include <cli/tests/cli_test_support.h>
#include <gtest/gtest.h>

namespace {

using namespace cli_test;

// The session keeps 260 bytes per path: the user must learn which sound does not fit.
TEST(SessionSave, ASoundWhosePathDoesNotFitIsNamed) {
  Folder folder;
  ASSERT_FALSE(folder.path().empty());
  const std::string part(100, 'd');
  const std::string deep = part + "/" + part + "/" + part;
  std::filesystem::create_directories(folder.File(deep));
  WriteWave16(folder.File(deep + "/long.wav"), 8000, 1, std::vector<int16_t>(800, 100));
  WriteWave16(folder.File("short.wav"), 8000, 1, std::vector<int16_t>(800, 100));

  Result made = folder.Run({"new", "s.sgp", "short.wav", deep + "/long.wav@100"});
  EXPECT_EQ(made.status, 1);
  EXPECT_EQ(CountLines(made.err), 1) << made.err;
  EXPECT_TRUE(Contains(made.err, "sound \"long.wav\" (" + folder.File(deep + "/long.wav") + ")"))
      << made.err;
  EXPECT_FALSE(folder.Exists("s.sgp"));
}

}  // namespace
