#pragma once

#include <tarnell/visibility.h>

#include <memory>
#include <string>

// A registry key handle: which settings file, and which key in it (a backslash-separated path
// that starts with a root, "HKEY_LOCAL_MACHINE\SOFTWARE\Brenwick"). There is nothing to
// close; a handle to a key that has since been deleted makes every operation fail.
struct HKEY {
  std::string store;  // "" stands for the machine's settings file, chosen by the CRegKey taking it
  std::string path;
};

// A macro, so that it is usable during static initialisation.
#define HKEY_LOCAL_MACHINE (HKEY{"", "HKEY_LOCAL_MACHINE"})

// The owner of one registry key, through which settings are read and written (the settings
// store of libplatform stands in for the registry). Names may hold several levels separated by
// backslashes; a null or empty value name is the key's default value.
//
// Results: 1 or a pointer for success, 0 or null for failure, with the detail in the thread's
// last-error value (kErrReg... in tarnell/errors.h). A settings file that cannot be parsed is
// reported as kErrRegDamaged by the operation that finds it and renamed aside; the following
// operations work on an empty store, so the program starts with its defaults and saves afresh.
//
// The getters return pointers into this object's last-value buffer, valid until the next get
// or set on the same object.
class TARNELL_API CRegKey {
 public:
  // HKEY_LOCAL_MACHINE of the machine's settings file ($QUARL_REGISTRY, else
  // ${XDG_CONFIG_HOME:-~/.config}/tessel/registry.reg), chosen now.
  CRegKey();
  explicit CRegKey(HKEY key);
  CRegKey(const CRegKey&) = delete;
  CRegKey& operator=(const CRegKey&) = delete;
  ~CRegKey();

  HKEY Key();

  // A new owner of the subkey, or null. GetSubKey opens an existing one; CreateSubKey opens
  // or creates it with every missing level.
  CRegKey* GetSubKey(const char* name);
  CRegKey* CreateSubKey(const char* name);

  // 1 when a value (not a subkey) of that name can be read under this key.
  int SubKeyExists(const char* name);

  // The value's bytes with a NUL after them, or null when the value is missing or empty.
  char* GetKeyString(const char* name);
  char* GetKeyData(const char* name, unsigned long* size);
  // A 4-byte value; 0 when it is missing or of another size.
  unsigned long GetKeyNum(const char* name);

  // Stores strlen(text) bytes; on success the last-value buffer holds a copy of `text`.
  int SetKeyString(const char* name, const char* text);
  // Stores 32 bits. Refuses (kErrRegInvalid) values that fit neither 32 unsigned bits nor, as
  // a sign-extended negative, 32 signed bits.
  int SetKeyNum(const char* name, unsigned long value);
  // Stores `size` bytes as a binary value; on success the last-value buffer holds a copy.
  int SetKeyData(const char* name, const void* data, unsigned long size);

  // Copies the name of the entry at `index` into `name` (`size` bytes with the NUL); 0 past the
  // last entry, and 0 with kErrRegBufferTooSmall when the name does not fit. Subkeys come in
  // order of their names without regard to case, values in the order they were created.
  int EnumerateSubKeys(unsigned long index, char* name, unsigned long size);
  int EnumerateValues(unsigned long index, char* name, unsigned long size);

  // With a name, deletes that subkey with everything below it. With null, deletes every subkey
  // of this key and returns 1 (0 only when the settings file could not be written).
  int DeleteSubKeys(const char* name);
  void DeleteRegValue(const char* name);

 private:
  std::string SubPath(const char* name) const;
  char* Remember(const void* data, size_t size);

  HKEY key_;
  std::unique_ptr<char[]> last_value_;
};

// Destroys the key owner and sets the holder to null.
TARNELL_API void DeleteRegKey(CRegKey** holder);
