#include <platform/byte_order.h>
#include <platform/settings_text.h>

#include <algorithm>
#include <cstdio>

namespace platform::settings {

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kOldHeader = "REGEDIT4";
constexpr std::string_view kRoots[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER",
                                       "HKEY_CLASSES_ROOT", "HKEY_USERS", "HKEY_CURRENT_CONFIG"};
// The registry editor wraps hex lists so that no line grows past 80 columns.
constexpr size_t kHexLineWidth = 76;

unsigned char Lower(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

bool NameLess(std::string_view a, std::string_view b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return Lower(static_cast<unsigned char>(x)) < Lower(static_cast<unsigned char>(y));
  });
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view Trim(std::string_view s) {
  s = TrimLeft(s);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a hex number of 1 to 8 digits that makes up the whole of `s`.
bool ParseHex32(std::string_view s, uint32_t* out) {
  if (s.empty() || s.size() > 8) return false;
  uint32_t v = 0;
  for (char c : s) {
    int d = HexDigit(c);
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  *out = v;
  return true;
}

// Reads a quoted, escaped text at the start of `s` into `out`; `rest` gets what follows the
// closing quote.
bool ParseQuoted(std::string_view s, std::string* out, std::string_view* rest) {
  if (s.empty() || s.front() != '"') return false;
  out->clear();
  for (size_t i = 1; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"') {
      *rest = s.substr(i + 1);
      return true;
    }
    if (c != '\\') {
      out->push_back(c);
      continue;
    }
    if (++i == s.size()) return false;
    switch (s[i]) {
      case '\\':
        out->push_back('\\');
        break;
      case '"':
        out->push_back('"');
        break;
      case 'n':
        out->push_back('\n');
        break;
      case 'r':
        out->push_back('\r');
        break;
      case 't':
        out->push_back('\t');
        break;
      case 'x': {
        if (i + 2 >= s.size()) return false;
        int hi = HexDigit(s[i + 1]), lo = HexDigit(s[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        break;
      }
      default:
        return false;
    }
  }
  return false;
}

bool ParseHexList(std::string_view s, std::vector<uint8_t>* out) {
  out->clear();
  s = Trim(s);
  if (s.empty()) return true;
  while (true) {
    size_t comma = s.find(',');
    std::string_view item = Trim(s.substr(0, comma));
    if (item.empty() || item.size() > 2) return false;
    uint32_t byte;
    if (!ParseHex32(item, &byte)) return false;
    out->push_back(static_cast<uint8_t>(byte));
    if (comma == std::string_view::npos) return true;
    s = s.substr(comma + 1);
  }
}

void AppendEscaped(std::string* out, std::string_view text) {
  out->push_back('"');
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    switch (c) {
      case '\\':
        out->append("\\\\");
        break;
      case '"':
        out->append("\\\"");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\r':
        out->append("\\r");
        break;
      case '\t':
        out->append("\\t");
        break;
      default:
        if (u < 0x20 || u == 0x7f) {
          char buf[5];
          snprintf(buf, sizeof buf, "\\x%02x", u);
          out->append(buf);
        } else {
          out->push_back(c);
        }
    }
  }
  out->push_back('"');
}

void AppendValue(std::string* out, const Value& v) {
  size_t line_start = out->size();
  if (v.name.empty()) {
    out->push_back('@');
  } else {
    AppendEscaped(out, v.name);
  }
  out->push_back('=');
  char buf[24];
  if (v.type == kSettingString) {
    AppendEscaped(out,
                  std::string_view(reinterpret_cast<const char*>(v.data.data()), v.data.size()));
  } else if (v.type == kSettingNumber && v.data.size() == 4) {
    const uint32_t n = GetLe32(v.data.data());
    snprintf(buf, sizeof buf, "dword:%08x", n);
    out->append(buf);
  } else {
    if (v.type == kSettingBinary) {
      out->append("hex:");
    } else {
      snprintf(buf, sizeof buf, "hex(%x):", v.type);
      out->append(buf);
    }
    for (size_t i = 0; i < v.data.size(); ++i) {
      snprintf(buf, sizeof buf, "%02x", v.data[i]);
      out->append(buf);
      if (i + 1 == v.data.size()) break;
      out->push_back(',');
      if (out->size() - line_start > kHexLineWidth) {
        out->append("\\\n  ");
        line_start = out->size() - 2;
      }
    }
  }
  out->push_back('\n');
}

void AppendKey(std::string* out, const Key& key, const std::string& path, size_t depth) {
  // A root always exists, so it needs a section only to carry values of its own.
  if (depth > 0 || !key.values.empty()) {
    out->append("\n[");
    out->append(path);
    out->append("]\n");
    for (const Value& v : key.values) AppendValue(out, v);
  }
  for (const Key& sub : key.subkeys) AppendKey(out, sub, path + '\\' + sub.name, depth + 1);
}

class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}
  bool Next(std::string_view* line) {
    if (pos_ >= text_.size()) return false;
    size_t end = text_.find('\n', pos_);
    if (end == std::string_view::npos) end = text_.size();
    *line = text_.substr(pos_, end - pos_);
    ended_ = end < text_.size();
    pos_ = end + 1;
    ++number_;
    return true;
  }
  size_t number() const { return number_; }
  // Whether the line last read ended in a line break: every line a writer finished does, so a
  // last line without one is where a file was cut.
  bool ended() const { return ended_; }

 private:
  std::string_view text_;
  size_t pos_ = 0;
  size_t number_ = 0;
  bool ended_ = true;
};

bool Fail(std::string* error, size_t line, const char* what) {
  if (error) *error = "line " + std::to_string(line) + ": " + what;
  return false;
}

}  // namespace

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(static_cast<unsigned char>(a[i])) != Lower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

Key* Key::FindSubkey(std::string_view sub) {
  auto it = std::lower_bound(subkeys.begin(), subkeys.end(), sub,
                             [](const Key& k, std::string_view n) { return NameLess(k.name, n); });
  return it != subkeys.end() && SameName(it->name, sub) ? &*it : nullptr;
}

const Key* Key::FindSubkey(std::string_view sub) const {
  return const_cast<Key*>(this)->FindSubkey(sub);
}

Key* Key::AddSubkey(std::string_view sub) {
  auto it = std::lower_bound(subkeys.begin(), subkeys.end(), sub,
                             [](const Key& k, std::string_view n) { return NameLess(k.name, n); });
  if (it != subkeys.end() && SameName(it->name, sub)) return &*it;
  Key fresh;
  fresh.name = std::string(sub);
  return &*subkeys.insert(it, std::move(fresh));
}

bool Key::RemoveSubkey(std::string_view sub) {
  Key* found = FindSubkey(sub);
  if (!found) return false;
  subkeys.erase(subkeys.begin() + (found - subkeys.data()));
  return true;
}

Value* Key::FindValue(std::string_view value_name) {
  for (Value& v : values) {
    if (SameName(v.name, value_name)) return &v;
  }
  return nullptr;
}

const Value* Key::FindValue(std::string_view value_name) const {
  return const_cast<Key*>(this)->FindValue(value_name);
}

void Key::SetValue(std::string_view value_name, uint32_t type, std::vector<uint8_t> data) {
  Value* v = FindValue(value_name);
  if (!v) {
    values.push_back(Value{std::string(value_name), 0, {}});
    v = &values.back();
  }
  v->type = type;
  v->data = std::move(data);
}

bool Key::RemoveValue(std::string_view value_name) {
  for (auto it = values.begin(); it != values.end(); ++it) {
    if (SameName(it->name, value_name)) {
      values.erase(it);
      return true;
    }
  }
  return false;
}

bool ValidKeyName(std::string_view name) {
  if (name.empty() || name.size() > kMaxKeyNameLength) return false;
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '\\' || u < 0x20 || u == 0x7f) return false;
  }
  return true;
}

bool SplitKeyPath(std::string_view path, std::vector<std::string>* parts) {
  parts->clear();
  size_t start = 0;
  while (true) {
    size_t sep = path.find('\\', start);
    std::string_view part =
        path.substr(start, sep == std::string_view::npos ? std::string_view::npos : sep - start);
    if (parts->empty()) {
      auto root = std::find_if(std::begin(kRoots), std::end(kRoots),
                               [&](std::string_view r) { return SameName(r, part); });
      if (root == std::end(kRoots)) return false;
      parts->emplace_back(*root);
    } else {
      if (!ValidKeyName(part) || parts->size() > kMaxDepth) return false;
      parts->emplace_back(part);
    }
    if (sep == std::string_view::npos) return true;
    start = sep + 1;
  }
}

bool Parse(std::string_view text, Key* root, std::string* error) {
  *root = Key{};
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  LineReader lines(text);
  std::string_view raw;
  bool seen_header = false;
  Key* current = nullptr;
  bool in_deleted_key = false;
  std::vector<std::string> parts;
  std::string name, joined;
  while (lines.Next(&raw)) {
    std::string_view line = Trim(raw);
    if (line.empty()) continue;
    if (!seen_header) {
      if (line != kHeader && line != kOldHeader) {
        return Fail(error, lines.number(), "not a settings file (header missing)");
      }
      seen_header = true;
      continue;
    }
    if (line.front() == ';') continue;

    if (line.front() == '[') {
      if (line.size() < 2 || line.back() != ']') return Fail(error, lines.number(), "bad key line");
      std::string_view inner = line.substr(1, line.size() - 2);
      bool remove = !inner.empty() && inner.front() == '-';
      if (remove) inner.remove_prefix(1);
      if (!SplitKeyPath(inner, &parts)) return Fail(error, lines.number(), "bad key path");
      current = nullptr;
      in_deleted_key = remove;
      Key* walk = root;
      if (remove) {
        if (parts.size() == 1) return Fail(error, lines.number(), "a root cannot be removed");
        for (size_t i = 0; walk && i + 1 < parts.size(); ++i) walk = walk->FindSubkey(parts[i]);
        if (walk) walk->RemoveSubkey(parts.back());
      } else {
        for (const std::string& part : parts) walk = walk->AddSubkey(part);
        current = walk;
      }
      continue;
    }

    if (line.front() != '@' && line.front() != '"') {
      return Fail(error, lines.number(), "unexpected line");
    }
    if (!current && !in_deleted_key) return Fail(error, lines.number(), "value outside a key");
    std::string_view rest;
    if (line.front() == '@') {
      name.clear();
      rest = line.substr(1);
    } else if (!ParseQuoted(line, &name, &rest) || name.size() > kMaxValueNameLength) {
      return Fail(error, lines.number(), "bad value name");
    }
    rest = TrimLeft(rest);
    if (rest.empty() || rest.front() != '=') return Fail(error, lines.number(), "'=' missing");
    rest = TrimLeft(rest.substr(1));
    if (rest.empty()) return Fail(error, lines.number(), "value missing");

    if (rest == "-") {
      if (current) current->RemoveValue(name);
      continue;
    }
    uint32_t type;
    std::vector<uint8_t> data;
    if (rest.front() == '"') {
      std::string text_value;
      std::string_view after;
      if (!ParseQuoted(rest, &text_value, &after) || !Trim(after).empty()) {
        return Fail(error, lines.number(), "bad string value");
      }
      type = kSettingString;
      data.assign(text_value.begin(), text_value.end());
    } else if (rest.substr(0, 6) == "dword:") {
      uint32_t n;
      if (!ParseHex32(rest.substr(6), &n)) return Fail(error, lines.number(), "bad dword value");
      // Fewer digits are a hand-written number, unless the file stops right there.
      if (!lines.ended() && rest.size() != 6 + 8) {
        return Fail(error, lines.number(), "number cut short");
      }
      type = kSettingNumber;
      data = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16),
              static_cast<uint8_t>(n >> 24)};
    } else if (rest.substr(0, 3) == "hex") {
      rest.remove_prefix(3);
      type = kSettingBinary;
      if (!rest.empty() && rest.front() == '(') {
        size_t close = rest.find(')');
        if (close == std::string_view::npos || !ParseHex32(rest.substr(1, close - 1), &type)) {
          return Fail(error, lines.number(), "bad hex type");
        }
        rest.remove_prefix(close + 1);
      }
      if (rest.empty() || rest.front() != ':') return Fail(error, lines.number(), "bad hex value");
      rest.remove_prefix(1);
      // Long lists go on over further lines, each but the last ending in a backslash.
      joined.assign(rest);
      while (!joined.empty() && joined.back() == '\\') {
        joined.pop_back();
        std::string_view more;
        if (!lines.Next(&more)) return Fail(error, lines.number(), "hex list cut short");
        joined.append(Trim(more));
      }
      if (!ParseHexList(joined, &data)) return Fail(error, lines.number(), "bad hex list");
      // A list that stops with the file may have lost bytes: "01,02,0" reads as a value.
      if (!lines.ended()) return Fail(error, lines.number(), "hex list cut short");
    } else {
      return Fail(error, lines.number(), "unknown value type");
    }
    if (current) current->SetValue(name, type, std::move(data));
  }
  return true;
}

std::string Write(const Key& root) {
  std::string out(kHeader);
  out.push_back('\n');
  for (const Key& top : root.subkeys) AppendKey(&out, top, top.name, 0);
  return out;
}

}  // namespace platform::settings

namespace platform {

bool settings_text_normalize(std::string_view text, std::string* out) {
  settings::Key root;
  if (!settings::Parse(text, &root, nullptr)) return false;
  *out = settings::Write(root);
  return true;
}

}  // namespace platform
