#include <quarl/shell/settings_records.h>
#include <tarnell/reg_key.h>

#include <cstring>

void ReadNumber(CRegKey& key, const char* name, uint32_t* field) {
  unsigned char bytes[4];
  if (ReadBytes(key, name, bytes, sizeof bytes)) *field = platform::GetLe32(bytes);
}

void ReadText(CRegKey& key, const char* name, std::string* field) {
  if (!key.SubKeyExists(name)) return;
  // An empty stored text is read back as no bytes at all.
  const char* text = key.GetKeyString(name);
  *field = text != nullptr ? text : "";
}

bool ReadBytes(CRegKey& key, const char* name, unsigned char* out, size_t size) {
  unsigned long stored = 0;
  const char* data = key.SubKeyExists(name) ? key.GetKeyData(name, &stored) : nullptr;
  if (data == nullptr || stored != size) return false;
  memcpy(out, data, size);
  return true;
}
