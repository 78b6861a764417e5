#include <sonark/load/id3_text.h>

#include <cstdint>
#include <cstring>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Decodes the well-formed sequence at `p` (shortest form, no surrogates, at most U+10FFFF);
// returns its length, or 0 when the bytes there are not one.
size_t DecodeUtf8(const unsigned char* p, size_t left, char32_t* out) {
  if (left == 0) return 0;
  const unsigned char b = p[0];
  if (b < 0x80) {
    *out = b;
    return 1;
  }
  size_t length;
  char32_t c;
  char32_t least;
  if ((b & 0xE0) == 0xC0) {
    length = 2, c = b & 0x1F, least = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    length = 3, c = b & 0x0F, least = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    length = 4, c = b & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (left < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    c = (c << 6) | (p[i] & 0x3F);
  }
  if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  *out = c;
  return length;
}

}  // namespace

namespace sonark::text {

SONARK_API size_t Utf8Prefix(const char* text, size_t length, size_t maxBytes) {
  if (length <= maxBytes) return length;
  size_t cut = maxBytes;
  // Back off over continuation bytes to the start of the character that would be split.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

SONARK_API void CopyUtf8(char* out, size_t size, const char* text) {
  if (size == 0) return;
  if (text == nullptr) text = "";
  const size_t keep = Utf8Prefix(text, std::strlen(text), size - 1);
  std::memmove(out, text, keep);
  out[keep] = '\0';
}

SONARK_API std::string SanitizeUtf8(const char* bytes, size_t length) {
  std::string out;
  out.reserve(length);
  const auto* p = reinterpret_cast<const unsigned char*>(bytes);
  size_t i = 0;
  while (i < length) {
    char32_t c;
    const size_t n = DecodeUtf8(p + i, length - i, &c);
    if (n == 0) {
      AppendUtf8(out, kReplacement);
      ++i;
    } else {
      out.append(bytes + i, n);
      i += n;
    }
  }
  return out;
}

SONARK_API std::string Latin1ToUtf8(const char* bytes, size_t length) {
  std::string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) AppendUtf8(out, static_cast<unsigned char>(bytes[i]));
  return out;
}

SONARK_API std::string Utf16ToUtf8(const unsigned char* bytes, size_t length, bool bigEndian) {
  std::string out;
  const size_t units = length / 2;
  auto unit = [&](size_t i) -> char32_t {
    const unsigned char a = bytes[2 * i];
    const unsigned char b = bytes[2 * i + 1];
    return bigEndian ? (a << 8 | b) : (b << 8 | a);
  };
  for (size_t i = 0; i < units; ++i) {
    const char32_t u = unit(i);
    if (u == 0xFEFF) continue;
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      const char32_t low = unit(i + 1);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    AppendUtf8(out, (u >= 0xD800 && u <= 0xDFFF) ? kReplacement : u);
  }
  return out;
}

SONARK_API bool FitsLatin1(const std::string& text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t i = 0;
  while (i < text.size()) {
    char32_t c;
    const size_t n = DecodeUtf8(p + i, text.size() - i, &c);
    if (n == 0 || c > 0xFF) return false;
    i += n;
  }
  return true;
}

SONARK_API std::string Utf8ToLatin1(const std::string& text) {
  std::string out;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t i = 0;
  while (i < text.size()) {
    char32_t c;
    const size_t n = DecodeUtf8(p + i, text.size() - i, &c);
    out += n == 0 || c > 0xFF ? '?' : static_cast<char>(c);
    i += n == 0 ? 1 : n;
  }
  return out;
}

SONARK_API std::string Utf8ToUtf16Le(const std::string& text) {
  std::string out;
  auto put = [&out](char32_t u) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>(u >> 8);
  };
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t i = 0;
  while (i < text.size()) {
    char32_t c;
    size_t n = DecodeUtf8(p + i, text.size() - i, &c);
    if (n == 0) {
      c = kReplacement;
      n = 1;
    }
    if (c >= 0x10000) {
      put(0xD800 + ((c - 0x10000) >> 10));
      put(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      put(c);
    }
    i += n;
  }
  return out;
}

}  // namespace sonark::text
