#pragma once

#include <platform/visibility.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Settings kept as keys and typed values, the way the registry keeps them, in one text file in
// the registry editor's ".reg" syntax (see settings_text.h) so that a person can read and mend
// it.
//
// Key paths are backslash-separated and start with a predefined root:
// "HKEY_LOCAL_MACHINE\SOFTWARE\Brenwick\Halvard". Roots always exist. Key and value names are
// matched without regard to ASCII case. The value named "" is the key's default value.
//
// Every change takes a lock file beside the settings file, reads the file afresh (another
// process may have written it), applies the change and replaces the file atomically (temporary
// file in the same folder, fsync, rename, fsync of the folder), so neither a second process nor
// a crash can leave a torn or empty file. Reads need no lock; parsed files are cached until the
// file on disk changes.
//
// A file that cannot be parsed (a value cut short included) is never overwritten or taken as
// empty: the operation that finds it fails with kDamaged and renames it aside to
// "<file>.damaged-<YYYYMMDD-HHMMSS>", where the user can recover it; later operations start
// from an empty store. A settings file that is a symbolic link is read, replaced and set aside
// as the file it points to; the link stays.
namespace platform {

// Value types, numbered as the registry numbers them.
constexpr uint32_t kSettingString = 1;  // text bytes, stored without a terminating NUL
constexpr uint32_t kSettingBinary = 3;
constexpr uint32_t kSettingNumber = 4;  // 32 bits, little-endian

enum class SettingsStatus {
  kOk = 0,
  kNotFound,  // no such key or value, or no entry at that index
  kDamaged,   // the file does not parse; it has been renamed aside
  kIoError,   // the file, its folder or its lock could not be read or written
  kInvalid,   // malformed key path or name, or an operation a root does not allow
};

struct SettingValue {
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

// Called after the temporary file of a save is written and synced, before it replaces the
// settings file. Lets tests stop a process in the middle of a save. Null removes the hook.
using SettingsSaveHook = void (*)(const char* temp_file);
PLATFORM_API void set_settings_save_hook(SettingsSaveHook hook);

// Many changes of one settings file, saved together: while a batch is open on a thread, that
// thread's changes to the file (through any SettingsStore of the same file name) are held in
// memory, where its reads see them, and the file is replaced once, atomically, when the batch
// ends. A process that dies inside a batch leaves the file as it was. Other threads and
// processes are not held back: the batch's changes are applied again, in order, to the file as
// it is when the batch is saved, so none of their changes is lost. Batches nest; the outermost
// one saves.
class PLATFORM_API SettingsBatch {
 public:
  explicit SettingsBatch(const std::string& file);
  // Saves, unless Commit has.
  ~SettingsBatch();
  SettingsBatch(const SettingsBatch&) = delete;
  SettingsBatch& operator=(const SettingsBatch&) = delete;

  // Saves now and ends the batch: kOk when saved (or nothing changed), otherwise why nothing
  // was saved (a change that no longer applies, kIoError, kDamaged). Inside an outer batch it
  // only ends this one. Later calls return kOk.
  SettingsStatus Commit();

 private:
  std::string file_;
  bool open_ = true;
};

class PLATFORM_API SettingsStore {
 public:
  explicit SettingsStore(std::string file);

  // The machine's settings file: $QUARL_REGISTRY when set, else
  // ${XDG_CONFIG_HOME:-~/.config}/tessel/registry.reg. Read afresh at every call.
  static std::string DefaultFile();

  // Where the calling thread's last kDamaged result put the damaged file ("" when it could not
  // be moved, e.g. in a read-only folder).
  static std::string LastDamagedCopy();
  // Every damaged settings file this process has set aside since the last call, from any
  // thread, as the names they were kept under; the list is emptied. A caller that only reads
  // values (and takes the defaults on failure) still lets the program tell the user later.
  static std::vector<std::string> TakeDamagedCopies();

  const std::string& file() const { return file_; }

  SettingsStatus OpenKey(std::string_view key) const;  // kOk when the key exists
  SettingsStatus CreateKey(std::string_view key);      // creates every missing level
  // Removes the key with everything below it. Roots cannot be removed.
  SettingsStatus DeleteKey(std::string_view key);
  // Removes every subkey of `key` (with everything below them); the key and its values stay.
  SettingsStatus DeleteSubKeys(std::string_view key);

  SettingsStatus QueryValue(std::string_view key, std::string_view name, SettingValue* out) const;
  // The key must exist.
  SettingsStatus SetValue(std::string_view key, std::string_view name, uint32_t type,
                          std::span<const uint8_t> data);
  SettingsStatus DeleteValue(std::string_view key, std::string_view name);

  // Subkeys come in order of their names without regard to case, values in the order they were
  // created. kNotFound past the last entry (or when the key is missing).
  SettingsStatus EnumSubKey(std::string_view key, size_t index, std::string* name) const;
  SettingsStatus EnumValue(std::string_view key, size_t index, std::string* name) const;

 private:
  std::string file_;
};

}  // namespace platform
