#include <cli/terminal_text.h>
#include <gtest/gtest.h>

namespace {

// Nothing a file holds may drive the terminal: escape sequences (7-bit and C1), carriage
// returns, bells and broken UTF-8 all show as '?', while printable text of any script stays.
TEST(TerminalText, ShowsControlCharactersAndBrokenUtf8AsQuestionMarks) {
  EXPECT_EQ(TerminalText("Plain title, 100% äöü ☃ 𝄞"), "Plain title, 100% äöü ☃ 𝄞");
  EXPECT_EQ(TerminalText("\x1b]0;owned\x07title"), "?]0;owned?title");
  EXPECT_EQ(TerminalText("a\rb\nc\td\x7f"), "a?b?c?d?");
  EXPECT_EQ(TerminalText(std::string("nul\0x", 5)), "nul?x");
  const std::string csi_utf8 = "\xc2\x9b", csi_byte = "\x9b";
  EXPECT_EQ(TerminalText(csi_utf8 + "2J"), "?2J");
  EXPECT_EQ(TerminalText(csi_byte + "2J"), "?2J");
  EXPECT_EQ(TerminalText("\xc3\x28 \xe2\x82"), "?( ??");       // bad and cut-short sequences
  EXPECT_EQ(TerminalText("\xc0\xaf \xed\xa0\x80"), "?? ???");  // overlong, surrogate
  EXPECT_EQ(TerminalText("\xc2\xa0nbsp"), "\xc2\xa0nbsp");
}

}  // namespace
