#include <cli/terminal_text.h>

namespace {

// The length of the valid UTF-8 sequence at the start of `text` (its lead byte at least
// 0xC2), or 0 when it is not one.
size_t Utf8SequenceLength(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (length == 0 || length > 4 || text.size() < length) return 0;
  for (size_t i = 1; i < length; ++i)
    if ((byte(i) & 0xC0) != 0x80) return 0;
  // Overlong forms, surrogates and values past U+10FFFF are not text.
  if (lead == 0xE0 && byte(1) < 0xA0) return 0;
  if (lead == 0xED && byte(1) >= 0xA0) return 0;
  if (lead == 0xF0 && byte(1) < 0x90) return 0;
  if (lead == 0xF4 && byte(1) >= 0x90) return 0;
  return length;
}

}  // namespace

std::string TerminalText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const unsigned char c = static_cast<unsigned char>(text[0]);
    if (c < 0x80) {
      out += c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
      text.remove_prefix(1);
      continue;
    }
    const size_t length = Utf8SequenceLength(text);
    // U+0080..U+009F (C2 80..C2 9F) are the C1 controls, CSI among them.
    if (length == 0 || (c == 0xC2 && static_cast<unsigned char>(text[1]) < 0xA0)) {
      out += '?';
      text.remove_prefix(length == 0 ? 1 : length);
      continue;
    }
    out.append(text.substr(0, length));
    text.remove_prefix(length);
  }
  return out;
}
