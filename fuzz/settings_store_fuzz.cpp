#include <platform/settings_text.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

// Any text the settings parser accepts must come back unchanged from a second round of
// parsing and writing; otherwise a save would change what the user stored.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string once, twice;
  if (!platform::settings_text_normalize(text, &once)) return 0;
  if (!platform::settings_text_normalize(once, &twice)) abort();
  if (once != twice) abort();
  return 0;
}
