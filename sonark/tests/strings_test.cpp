#include <gtest/gtest.h>
#include <sonark/strings.h>

#include <string>

namespace {

TEST(SonarkLoadString, ReadsTheEngineStringsFile) {
  char text[64];
  EXPECT_NE(SonarkLoadString("FS_MONO", text, sizeof(text)), 0);
  EXPECT_STREQ(text, "Mono");
  EXPECT_NE(SonarkLoadString("NO_SUCH_KEY_ANYWHERE", text, sizeof(text)), 0);
  EXPECT_STREQ(text, "NO_SUCH_KEY_ANYWHERE");
  char tiny[4];
  SonarkLoadString("FS_STEREO", tiny, sizeof(tiny));
  EXPECT_STREQ(tiny, "Ste");
}

std::string Format(const char* pattern, std::initializer_list<sonark::PatternArg> args,
                   size_t size = 128) {
  std::string out(size, '#');
  const size_t n = sonark::FormatFromPattern(out.data(), size, pattern, args);
  EXPECT_EQ(out[n], '\0');
  return out.substr(0, n);
}

TEST(FormatFromPattern, FormatsLikePrintfWhereThePatternSuitsTheValues) {
  EXPECT_EQ(Format("%s, %d.%03d kHz, %d bit, %s", {"PCM", 44L, 100L, 16L, "Stereo"}),
            "PCM, 44.100 kHz, 16 bit, Stereo");
  EXPECT_EQ(Format("%-6s|%5.2s|%ld%%|%x", {"ab", "xyz", 7L, 255L}), "ab    |   xy|7%|ff");
  EXPECT_EQ(Format("%s and more", {"truncated"}, 8), "truncat");
}

TEST(FormatFromPattern, NeverTrustsAStrayConversion) {
  // A translator's slip must not read a number as a text or write through %n.
  EXPECT_EQ(Format("%s %s", {42L, "x"}), "%s x");
  EXPECT_EQ(Format("%d %n %d %d", {"text", 1L, 2L}), "%d %n 2 %d");
  EXPECT_EQ(Format("%*d|%99999d|end%", {5L, 6L}), "%*d|%99999d|end%");
  EXPECT_EQ(Format(nullptr, {1L}), "");
}

}  // namespace
