#include <utilities/text_format.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

void MakeLengthString(long milliseconds, char* out, int with_milliseconds, int without_hours) {
  if (out == nullptr) return;
  // A negative length (a time before the start) is the positive one with a sign in front:
  // "-00:01:500", never "00:-1:-500". The magnitude is unsigned so that LONG_MIN has one too.
  const char* sign = milliseconds < 0 ? "-" : "";
  const unsigned long magnitude = milliseconds < 0 ? 0UL - static_cast<unsigned long>(milliseconds)
                                                   : static_cast<unsigned long>(milliseconds);
  unsigned long hours = magnitude / 3600000;
  int minutes = static_cast<int>((magnitude % 3600000) / 60000);
  int seconds = static_cast<int>((magnitude % 60000) / 1000);
  int thousandths = static_cast<int>(magnitude % 1000);
  if (hours == 0 || without_hours) {
    if (with_milliseconds)
      snprintf(out, kLengthStringSize, "%s%02d:%02d:%03d", sign, minutes, seconds, thousandths);
    else
      snprintf(out, kLengthStringSize, "%s%02d:%02d", sign, minutes, seconds);
  } else {
    if (with_milliseconds)
      snprintf(out, kLengthStringSize, "%s%02lu:%02d:%02d:%03d", sign, hours, minutes, seconds,
               thousandths);
    else
      snprintf(out, kLengthStringSize, "%s%02lu:%02d:%02d", sign, hours, minutes, seconds);
  }
}

void MakeFileSizeString(long bytes, char* out, int size) {
  if (out == nullptr || size <= 0) return;
  size_t room = static_cast<size_t>(size);
  if (bytes < 1000)
    snprintf(out, room, "%ld Bytes", bytes);
  else if (bytes <= 999999)
    snprintf(out, room, "%ld KB", bytes / 1000);
  else
    snprintf(out, room, "%0.2f MB", static_cast<double>(bytes) * 0.000001);
}

void MakeUpperCase(char* text) {
  if (text == nullptr) return;
  for (; *text != '\0'; ++text) {
    unsigned char c = static_cast<unsigned char>(*text);
    if (c >= 'a' && c <= 'z') *text = static_cast<char>(c - 'a' + 'A');
  }
}

char* StrChrPos(char* text, char ch, int* position) {
  char* found = text ? strchr(text, ch) : nullptr;
  if (position) *position = found ? static_cast<int>(found - text) : -1;
  return found;
}

const char* StrChrPos(const char* text, char ch, int* position) {
  return StrChrPos(const_cast<char*>(text), ch, position);
}

namespace {

// Writes whole pieces while they fit; the first piece that does not fit ends the output, so
// a reader never sees half a tag.
class HtmlWriter {
 public:
  HtmlWriter(char* out, size_t capacity) : out_(out), capacity_(capacity) {}

  void Put(std::string_view piece) {
    if (cut_) return;
    if (piece.size() > capacity_ - used_) {
      cut_ = true;
      return;
    }
    memcpy(out_ + used_, piece.data(), piece.size());
    used_ += piece.size();
  }

  // Plain text may be cut anywhere, so it goes out character by character.
  void PutText(std::string_view text) {
    for (char c : text) Put(std::string_view(&c, 1));
  }

  int Finish() {
    out_[used_] = '\0';
    return cut_ ? 0 : 1;
  }

 private:
  char* out_;
  size_t capacity_;
  size_t used_ = 0;
  bool cut_ = false;
};

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
  return true;
}

bool contains_nocase(std::string_view s, std::string_view part) {
  for (size_t i = 0; i + part.size() <= s.size(); ++i)
    if (starts_with_nocase(s.substr(i), part)) return true;
  return false;
}

// A quote in an address would close the attribute it is written into.
std::string attribute(std::string_view text) {
  std::string result;
  for (char c : text) {
    if (c == '"')
      result += "&quot;";
    else
      result += c;
  }
  return result;
}

bool is_email(std::string_view word) {
  size_t at = word.find('@');
  if (at == 0 || at == std::string_view::npos || word.find('@', at + 1) != std::string_view::npos)
    return false;
  std::string_view domain = word.substr(at + 1);
  size_t dot = domain.find('.');
  return dot != std::string_view::npos && dot > 0 && domain.back() != '.';
}

// The link that `word` becomes, or "" when it is no address.
std::string link_for(std::string_view word) {
  if (starts_with_nocase(word, "mailto:") && word.size() > 7)
    return "<a href=\"" + attribute(word) + "\">" + std::string(word.substr(7)) + "</a>";
  if ((starts_with_nocase(word, "http://") && word.size() > 7) ||
      (starts_with_nocase(word, "https://") && word.size() > 8))
    return "<a href=\"" + attribute(word) + "\">" + std::string(word) + "</a>";
  if (is_email(word))
    return "<a href=\"mailto:" + attribute(word) + "\">" + std::string(word) + "</a>";
  if (starts_with_nocase(word, "www") || contains_nocase(word, ".com") ||
      contains_nocase(word, ".edu") || contains_nocase(word, ".org"))
    return "<a href=\"http://" + attribute(word) + "\">" + std::string(word) + "</a>";
  return {};
}

// Whether `tag` (from '<' to '>') opens or closes an anchor: +1, -1, or 0 for other tags.
int anchor_change(std::string_view tag) {
  size_t i = 1;
  while (i < tag.size() && is_space(tag[i])) ++i;
  bool closing = i < tag.size() && tag[i] == '/';
  if (closing) ++i;
  if (i >= tag.size() || tolower(static_cast<unsigned char>(tag[i])) != 'a') return 0;
  ++i;
  if (i < tag.size() && !is_space(tag[i]) && tag[i] != '>' && tag[i] != '/') return 0;
  return closing ? -1 : 1;
}

// Punctuation around an address in running text ("(see www.x.org).") is not part of it.
constexpr std::string_view kLeadingPunctuation = "([{\"'";
constexpr std::string_view kTrailingPunctuation = ".,;:!?)]}\"'";

}  // namespace

int ParseForHTML(const char* text, int length, char* out, int out_length) {
  if (out == nullptr || out_length <= 0) return 0;
  if (text == nullptr || length < 0) {
    out[0] = '\0';
    return 0;
  }
  std::string_view input(text, strnlen(text, static_cast<size_t>(length)));
  HtmlWriter writer(out, static_cast<size_t>(out_length) - 1);
  bool in_anchor = false;
  size_t i = 0;
  while (i < input.size()) {
    char c = input[i];
    if (c == '<') {
      size_t close = input.find('>', i);
      size_t end = close == std::string_view::npos ? input.size() : close + 1;
      std::string_view tag = input.substr(i, end - i);
      int change = anchor_change(tag);
      if (change != 0) in_anchor = change > 0;
      writer.Put(tag);
      i = end;
      continue;
    }
    if (is_space(c)) {
      writer.Put(input.substr(i, 1));
      ++i;
      continue;
    }
    size_t end = i;
    while (end < input.size() && !is_space(input[end]) && input[end] != '<') ++end;
    std::string_view word = input.substr(i, end - i);
    i = end;
    if (in_anchor) {
      writer.PutText(word);
      continue;
    }
    size_t first = 0;
    while (first < word.size() && kLeadingPunctuation.find(word[first]) != std::string_view::npos)
      ++first;
    size_t last = word.size();
    while (last > first && kTrailingPunctuation.find(word[last - 1]) != std::string_view::npos)
      --last;
    std::string link = link_for(word.substr(first, last - first));
    if (link.empty()) {
      writer.PutText(word);
      continue;
    }
    writer.PutText(word.substr(0, first));
    writer.Put(link);
    writer.PutText(word.substr(last));
  }
  return writer.Finish();
}
