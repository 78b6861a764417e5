#include <platform/byte_order.h>
#include <platform/last_error.h>
#include <platform/settings_store.h>
#include <tarnell/errors.h>
#include <tarnell/reg_key.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using platform::SettingsStatus;

// Leaves the detail of a failed store operation in the last-error value; true on success.
bool Check(SettingsStatus status) {
  switch (status) {
    case SettingsStatus::kOk:
      return true;
    case SettingsStatus::kNotFound:
      platform::set_last_error(tarnell::kErrRegNotFound);
      break;
    case SettingsStatus::kDamaged:
      platform::set_last_error(tarnell::kErrRegDamaged);
      break;
    case SettingsStatus::kIoError:
      platform::set_last_error(tarnell::kErrRegIo);
      break;
    case SettingsStatus::kInvalid:
      platform::set_last_error(tarnell::kErrRegInvalid);
      break;
  }
  return false;
}

std::string_view ValueName(const char* name) { return name ? std::string_view(name) : ""; }

bool CopyName(const std::string& found, char* name, unsigned long size) {
  if (found.size() + 1 > size) {
    platform::set_last_error(tarnell::kErrRegBufferTooSmall);
    return false;
  }
  memcpy(name, found.c_str(), found.size() + 1);
  return true;
}

}  // namespace

CRegKey::CRegKey() : CRegKey(HKEY_LOCAL_MACHINE) {}

CRegKey::CRegKey(HKEY key) : key_(std::move(key)) {
  if (key_.store.empty()) key_.store = platform::SettingsStore::DefaultFile();
}

CRegKey::~CRegKey() = default;

HKEY CRegKey::Key() { return key_; }

std::string CRegKey::SubPath(const char* name) const {
  if (!name || !*name) return key_.path;
  return key_.path + '\\' + name;
}

char* CRegKey::Remember(const void* data, size_t size) {
  last_value_ = std::make_unique<char[]>(size + 1);
  if (size) memcpy(last_value_.get(), data, size);
  last_value_[size] = '\0';
  return last_value_.get();
}

CRegKey* CRegKey::GetSubKey(const char* name) {
  std::string path = SubPath(name);
  if (!Check(platform::SettingsStore(key_.store).OpenKey(path))) return nullptr;
  return new CRegKey(HKEY{key_.store, path});
}

CRegKey* CRegKey::CreateSubKey(const char* name) {
  std::string path = SubPath(name);
  if (!Check(platform::SettingsStore(key_.store).CreateKey(path))) return nullptr;
  return new CRegKey(HKEY{key_.store, path});
}

int CRegKey::SubKeyExists(const char* name) {
  platform::SettingValue value;
  return Check(platform::SettingsStore(key_.store).QueryValue(key_.path, ValueName(name), &value))
             ? 1
             : 0;
}

char* CRegKey::GetKeyString(const char* name) {
  unsigned long size;
  return GetKeyData(name, &size);
}

char* CRegKey::GetKeyData(const char* name, unsigned long* size) {
  if (size) *size = 0;
  last_value_.reset();
  platform::SettingValue value;
  if (!Check(platform::SettingsStore(key_.store).QueryValue(key_.path, ValueName(name), &value))) {
    return nullptr;
  }
  if (value.data.empty()) return nullptr;
  if (size) *size = value.data.size();
  return Remember(value.data.data(), value.data.size());
}

unsigned long CRegKey::GetKeyNum(const char* name) {
  platform::SettingValue value;
  if (!Check(platform::SettingsStore(key_.store).QueryValue(key_.path, ValueName(name), &value))) {
    return 0;
  }
  if (value.data.size() != 4) {
    platform::set_last_error(tarnell::kErrRegInvalid);
    return 0;
  }
  return platform::GetLe32(value.data.data());
}

int CRegKey::SetKeyString(const char* name, const char* text) {
  if (!text) {
    platform::set_last_error(tarnell::kErrRegInvalid);
    return 0;
  }
  size_t length = strlen(text);
  auto bytes = reinterpret_cast<const uint8_t*>(text);
  if (!Check(
          platform::SettingsStore(key_.store)
              .SetValue(key_.path, ValueName(name), platform::kSettingString, {bytes, length}))) {
    return 0;
  }
  Remember(text, length);
  return 1;
}

int CRegKey::SetKeyNum(const char* name, unsigned long value) {
  // Callers store negative 32-bit numbers through this too; they come in sign-extended.
  if (value > 0xFFFFFFFFul && value < 0xFFFFFFFF80000000ul) {
    platform::set_last_error(tarnell::kErrRegInvalid);
    return 0;
  }
  uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                      static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  return Check(platform::SettingsStore(key_.store)
                   .SetValue(key_.path, ValueName(name), platform::kSettingNumber, bytes))
             ? 1
             : 0;
}

int CRegKey::SetKeyData(const char* name, const void* data, unsigned long size) {
  if (!data && size) {
    platform::set_last_error(tarnell::kErrRegInvalid);
    return 0;
  }
  auto bytes = static_cast<const uint8_t*>(data);
  if (!Check(platform::SettingsStore(key_.store)
                 .SetValue(key_.path, ValueName(name), platform::kSettingBinary, {bytes, size}))) {
    return 0;
  }
  Remember(data, size);
  return 1;
}

int CRegKey::EnumerateSubKeys(unsigned long index, char* name, unsigned long size) {
  if (!name) {
    platform::set_last_error(tarnell::kErrRegInvalid);
    return 0;
  }
  std::string found;
  if (!Check(platform::SettingsStore(key_.store).EnumSubKey(key_.path, index, &found))) return 0;
  return CopyName(found, name, size) ? 1 : 0;
}

int CRegKey::EnumerateValues(unsigned long index, char* name, unsigned long size) {
  if (!name) {
    platform::set_last_error(tarnell::kErrRegInvalid);
    return 0;
  }
  std::string found;
  if (!Check(platform::SettingsStore(key_.store).EnumValue(key_.path, index, &found))) return 0;
  return CopyName(found, name, size) ? 1 : 0;
}

int CRegKey::DeleteSubKeys(const char* name) {
  platform::SettingsStore store(key_.store);
  if (name) {
    // An empty name would name this key itself.
    if (!*name) {
      platform::set_last_error(tarnell::kErrRegInvalid);
      return 0;
    }
    return Check(store.DeleteKey(SubPath(name))) ? 1 : 0;
  }
  // A key that no longer exists has no subkeys left: that is success too.
  SettingsStatus status = store.DeleteSubKeys(key_.path);
  return status == SettingsStatus::kNotFound || Check(status) ? 1 : 0;
}

void CRegKey::DeleteRegValue(const char* name) {
  Check(platform::SettingsStore(key_.store).DeleteValue(key_.path, ValueName(name)));
}

void DeleteRegKey(CRegKey** holder) {
  if (!holder) return;
  delete *holder;
  *holder = nullptr;
}
