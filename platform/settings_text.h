#pragma once

#include <platform/visibility.h>
#include <platform/settings_store.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The in-memory tree of the settings store and its text form, the registry editor's ".reg"
// syntax:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Brenwick\Halvard]
//   @="default value"
//   "LastSaveDir"="/home/me/mix \"takes\""
//   "LastWinMaxState"=dword:00000001
//   "LastWinRect"=hex:fe,ff,ff,ff,fe,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff,ff
//
// Strings escape '\' and '"' as the registry editor does, and control bytes as \n, \r, \t or
// \xHH so that every byte survives. Values of other types are kept as hex(N):. Key and value
// names are matched without regard to ASCII case and keep the spelling they were created with.
namespace platform::settings {

struct Value {
  std::string name;  // "" is the key's default value, written "@"
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

struct Key {
  std::string name;
  std::vector<Value> values;  // in the order they were created
  std::vector<Key> subkeys;   // sorted by name without regard to case

  Key* FindSubkey(std::string_view sub);
  const Key* FindSubkey(std::string_view sub) const;
  Key* AddSubkey(std::string_view sub);  // finds or inserts in order
  bool RemoveSubkey(std::string_view sub);
  Value* FindValue(std::string_view value_name);
  const Value* FindValue(std::string_view value_name) const;
  void SetValue(std::string_view value_name, uint32_t type, std::vector<uint8_t> data);
  bool RemoveValue(std::string_view value_name);
};

// Keys nest at most this deep below their root; deeper paths are refused.
constexpr size_t kMaxDepth = 512;
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;

bool SameName(std::string_view a, std::string_view b);

// Splits "HKEY_LOCAL_MACHINE\SOFTWARE\X" into its parts and checks them: the first names one of
// the predefined roots (returned in its canonical spelling), the others are valid key names.
bool SplitKeyPath(std::string_view path, std::vector<std::string>* parts);
bool ValidKeyName(std::string_view name);

// Parses a whole file. The root's subkeys are the predefined roots. Returns false (with the
// reason and its line in `error`) when the text is not a settings file; an empty text is an
// empty store.
bool Parse(std::string_view text, Key* root, std::string* error);

// The canonical text of a tree; Parse(Write(tree)) gives the tree back.
std::string Write(const Key& root);

}  // namespace platform::settings

namespace platform {

// Parses `text` and writes it back in canonical form; false when it does not parse. For the
// fuzz target and tests, which check that the canonical form is stable.
PLATFORM_API bool settings_text_normalize(std::string_view text, std::string* out);

}  // namespace platform
