#include <gtest/gtest.h>
#include <utilities/text_format.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

std::string Length(long ms, int with_ms, int without_hours) {
  char out[kLengthStringSize];
  MakeLengthString(ms, out, with_ms, without_hours);
  return out;
}

std::string FileSize(long bytes, int size = 32) {
  char out[32];
  MakeFileSizeString(bytes, out, size);
  return out;
}

std::string Html(const std::string& text, int out_length = 1024, int* result = nullptr) {
  std::string out(static_cast<size_t>(out_length) + 8, '#');
  int r = ParseForHTML(text.c_str(), static_cast<int>(text.size()), out.data(), out_length);
  if (result) *result = r;
  EXPECT_EQ(out.substr(static_cast<size_t>(out_length)), std::string(8, '#'));
  return out.c_str();
}

TEST(MakeLengthStringTest, FormatsWithAndWithoutHoursAndThousandths) {
  EXPECT_EQ(Length(3723004, 1, 0), "01:02:03:004");
  EXPECT_EQ(Length(3723004, 0, 0), "01:02:03");
  EXPECT_EQ(Length(3723004, 1, 1), "02:03:004");  // hours dropped, not folded into minutes
  EXPECT_EQ(Length(3723004, 0, 1), "02:03");
  EXPECT_EQ(Length(59999, 0, 0), "00:59");
  EXPECT_EQ(Length(59999, 1, 0), "00:59:999");
  EXPECT_EQ(Length(0, 1, 0), "00:00:000");
  EXPECT_EQ(Length(3600000, 0, 0), "01:00:00");
}

TEST(MakeLengthStringTest, ExtremeLengthsFitTheStatedRoom) {
  EXPECT_EQ(Length(1000L * 3600000 + 1, 1, 0), "1000:00:00:001");
  // Negative lengths are signed once, in front of the usual form.
  EXPECT_EQ(Length(-1500, 1, 0), "-00:01:500");
  EXPECT_EQ(Length(-1500, 0, 0), "-00:01");
  EXPECT_EQ(Length(-3723004, 1, 0), "-01:02:03:004");
  EXPECT_EQ(Length(-3723004, 0, 1), "-02:03");
  std::string longest = Length(LONG_MIN, 1, 0);
  EXPECT_LT(longest.size(), static_cast<size_t>(kLengthStringSize));
  EXPECT_EQ(longest, "-2562047788015:12:55:808");
}

TEST(MakeFileSizeStringTest, UsesPowersOfAThousand) {
  EXPECT_EQ(FileSize(0), "0 Bytes");
  EXPECT_EQ(FileSize(999), "999 Bytes");
  EXPECT_EQ(FileSize(1000), "1 KB");
  EXPECT_EQ(FileSize(999999), "999 KB");
  EXPECT_EQ(FileSize(1000000), "1.00 MB");
  EXPECT_EQ(FileSize(1234567890), "1234.57 MB");
  EXPECT_EQ(FileSize(1000000, 4), "1.0");
}

TEST(TextHelpersTest, UpperCaseAndCharacterPosition) {
  char text[] = "Mix \xe9 3 tracks!";
  MakeUpperCase(text);
  EXPECT_STREQ(text, "MIX \xe9 3 TRACKS!");
  MakeUpperCase(nullptr);

  int pos = 99;
  EXPECT_EQ(StrChrPos(text, 'T', &pos), text + 8);
  EXPECT_EQ(pos, 8);
  const char* fixed = "a.b.c";
  EXPECT_EQ(StrChrPos(fixed, '.', &pos), fixed + 1);
  EXPECT_EQ(pos, 1);
  EXPECT_EQ(StrChrPos(fixed, 'z', &pos), nullptr);
  EXPECT_EQ(pos, -1);
}

TEST(ParseForHTMLTest, TurnsAddressesIntoLinks) {
  EXPECT_EQ(Html("write to joe@example.net today"),
            "write to <a href=\"mailto:joe@example.net\">joe@example.net</a> today");
  EXPECT_EQ(Html("mailto:ann@x.org"), "<a href=\"mailto:ann@x.org\">ann@x.org</a>");
  EXPECT_EQ(Html("see http://host/page?a=1"),
            "see <a href=\"http://host/page?a=1\">http://host/page?a=1</a>");
  EXPECT_EQ(Html("www.tessel.net\nexample.com\nmit.edu x.ORG"),
            "<a href=\"http://www.tessel.net\">www.tessel.net</a>\n"
            "<a href=\"http://example.com\">example.com</a>\n"
            "<a href=\"http://mit.edu\">mit.edu</a> <a href=\"http://x.ORG\">x.ORG</a>");
  EXPECT_EQ(Html("plain words, user@host and a.b stay"), "plain words, user@host and a.b stay");
}

TEST(ParseForHTMLTest, KeepsTagsPunctuationAndExistingLinks) {
  EXPECT_EQ(Html("<b>Hi</b> (see www.x.org)."),
            "<b>Hi</b> (see <a href=\"http://www.x.org\">www.x.org</a>).");
  EXPECT_EQ(Html("<a href=\"http://y.com\">y.com</a> y.com"),
            "<a href=\"http://y.com\">y.com</a> <a href=\"http://y.com\">y.com</a>");
  EXPECT_EQ(Html("<abbr>x.com</abbr>"), "<abbr><a href=\"http://x.com\">x.com</a></abbr>");
  EXPECT_EQ(Html("http://a\"b.com"), "<a href=\"http://a&quot;b.com\">http://a\"b.com</a>");
  EXPECT_EQ(Html("open <tag without end"), "open <tag without end");
}

TEST(ParseForHTMLTest, NeverWritesPastTheOutputAndCutsOnlyBetweenPieces) {
  int result = -1;
  EXPECT_EQ(Html("abc www.x.org", 10, &result), "abc ");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(Html("abcdefgh", 5, &result), "abcd");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(Html("x <b>y</b>", 4, &result), "x ");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(Html("abc", 4, &result), "abc");
  EXPECT_EQ(result, 1);

  // The length bounds the input even without a terminator.
  char out[32];
  EXPECT_EQ(ParseForHTML("hello world", 5, out, sizeof out), 1);
  EXPECT_STREQ(out, "hello");
  EXPECT_EQ(ParseForHTML("hello", 5, out, 0), 0);
  EXPECT_EQ(ParseForHTML(nullptr, 5, out, sizeof out), 0);
  EXPECT_STREQ(out, "");
}

}  // namespace
