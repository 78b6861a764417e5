#include <platform/last_error.h>
#include <platform/settings_store.h>
#include <tarnell/errors.h>
#include <tarnell/reg_key.h>
#include <utilities/last_dir_list.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>

namespace {

std::unique_ptr<_lastDirList> make_entry(const char* path, FILETIME time, int value) {
  if (path == nullptr || path[0] == '\0') return nullptr;
  size_t length = strlen(path);
  // A cut path would name another directory, so it is refused rather than shortened.
  if (length >= static_cast<size_t>(kLastDirPathSize)) return nullptr;
  auto entry = std::make_unique<_lastDirList>();
  memcpy(entry->path, path, length + 1);
  entry->time = time;
  entry->value = value;
  return entry;
}

std::string value_name(const char* what, int index) {
  return std::string(what) + std::to_string(index);
}

bool earlier(const FILETIME& a, const FILETIME& b) {
  return utilities::file_time_value(a) < utilities::file_time_value(b);
}

}  // namespace

CLastDirList::CLastDirList() = default;

CLastDirList::CLastDirList(const CLastDirList& other) { *this = other; }

CLastDirList& CLastDirList::operator=(const CLastDirList& other) {
  if (this == &other) return *this;
  Entries copy;
  for (const auto& entry : other.entries_) copy.push_back(std::make_unique<_lastDirList>(*entry));
  entries_.swap(copy);
  return *this;
}

CLastDirList::~CLastDirList() = default;

CLastDirList::Entries::iterator CLastDirList::Find(const char* path) {
  if (path == nullptr) return entries_.end();
  for (auto it = entries_.begin(); it != entries_.end(); ++it)
    if (strcmp((*it)->path, path) == 0) return it;
  return entries_.end();
}

CLastDirList::Entries::const_iterator CLastDirList::Find(const char* path) const {
  return const_cast<CLastDirList*>(this)->Find(path);
}

void CLastDirList::InsertByTime(std::unique_ptr<_lastDirList> entry) {
  auto it = entries_.begin();
  while (it != entries_.end() && !earlier((*it)->time, entry->time)) ++it;
  entries_.insert(it, std::move(entry));
}

int CLastDirList::Add(const char* path, FILETIME time, int value, int /*unused*/) {
  auto entry = make_entry(path, time, value);
  if (!entry) return 0;
  InsertByTime(std::move(entry));
  return 1;
}

int CLastDirList::AddPtr(_lastDirList* entry, int sorted) {
  if (entry == nullptr) return 0;
  std::unique_ptr<_lastDirList> owned(entry);
  // The caller may have filled the whole buffer without a terminator.
  owned->path[kLastDirPathSize - 1] = '\0';
  if (sorted)
    InsertByTime(std::move(owned));
  else
    entries_.push_back(std::move(owned));
  return 1;
}

int CLastDirList::MoveOrAddToTop(const char* path) {
  auto entry = make_entry(path, utilities::current_file_time(), kLastDirNewValue);
  if (!entry) return 0;
  auto it = Find(path);
  if (it != entries_.end()) {
    entry->value = (*it)->value;
    entries_.erase(it);
  }
  entries_.push_front(std::move(entry));
  return 1;
}

int CLastDirList::UpdateOrAdd(const char* path, FILETIME time, int value, int resort) {
  auto it = Find(path);
  if (it == entries_.end()) return Add(path, time, value);
  (*it)->time = time;
  (*it)->value = value;
  if (resort) {
    std::unique_ptr<_lastDirList> entry = std::move(*it);
    entries_.erase(it);
    InsertByTime(std::move(entry));
  }
  return 1;
}

void CLastDirList::Sort() {
  entries_.sort([](const auto& a, const auto& b) { return earlier(b->time, a->time); });
}

int CLastDirList::ContainsDir(const char* path) const { return Find(path) != entries_.end(); }

int CLastDirList::DeletePath(const char* path) {
  auto it = Find(path);
  if (it == entries_.end()) return 0;
  entries_.erase(it);
  return 1;
}

int CLastDirList::DeleteIndex(int index) {
  if (index < 0 || index >= Count()) return 0;
  entries_.erase(std::next(entries_.begin(), index));
  return 1;
}

void CLastDirList::DeleteAll() { entries_.clear(); }

_lastDirList* CLastDirList::Index(int index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return std::next(entries_.begin(), index)->get();
}

int CLastDirList::Count() const { return static_cast<int>(entries_.size()); }

int CLastDirList::ReadFromKey(CRegKey* key) {
  if (key == nullptr) return 0;
  Entries read;
  unsigned long count = key->GetKeyNum("Count");
  // A damaged count cannot make this loop long: reading stops at the first missing entry.
  for (unsigned long i = 0; i < count; ++i) {
    int index = static_cast<int>(i);
    const char* path = key->GetKeyString(value_name("Dir", index).c_str());
    if (path == nullptr) break;
    auto entry = make_entry(path, FILETIME{0, 0}, 0);
    if (!entry) continue;
    unsigned long size = 0;
    const char* time = key->GetKeyData(value_name("Time", index).c_str(), &size);
    if (time == nullptr || size != 8) continue;
    uint8_t bytes[8];
    memcpy(bytes, time, sizeof bytes);
    uint64_t value = 0;
    for (int b = 7; b >= 0; --b) value = (value << 8) | bytes[b];
    entry->time = utilities::file_time_from_value(value);
    entry->value = static_cast<int32_t>(
        static_cast<uint32_t>(key->GetKeyNum(value_name("Value", index).c_str())));
    read.push_back(std::move(entry));
  }
  entries_.swap(read);
  return 1;
}

int CLastDirList::WriteToKey(CRegKey* key) const {
  if (key == nullptr) return 0;
  // The whole list in one save: a crash never leaves it half old, half new, and the file is
  // written once rather than three times an entry.
  platform::SettingsBatch batch(key->Key().store);
  int index = 0;
  for (const auto& entry : entries_) {
    uint64_t value = utilities::file_time_value(entry->time);
    uint8_t bytes[8];
    for (int b = 0; b < 8; ++b) bytes[b] = static_cast<uint8_t>(value >> (8 * b));
    if (!key->SetKeyString(value_name("Dir", index).c_str(), entry->path) ||
        !key->SetKeyData(value_name("Time", index).c_str(), bytes, sizeof bytes) ||
        !key->SetKeyNum(value_name("Value", index).c_str(),
                        static_cast<uint32_t>(static_cast<int32_t>(entry->value))))
      return 0;
    ++index;
  }
  if (!key->SetKeyNum("Count", static_cast<unsigned long>(index))) return 0;
  // Entries of a longer list kept before would otherwise be read back after these.
  for (int stale = index; key->SubKeyExists(value_name("Dir", stale).c_str()); ++stale) {
    key->DeleteRegValue(value_name("Dir", stale).c_str());
    key->DeleteRegValue(value_name("Time", stale).c_str());
    key->DeleteRegValue(value_name("Value", stale).c_str());
    if (key->SubKeyExists(value_name("Dir", stale).c_str())) return 0;
  }
  switch (batch.Commit()) {
    case platform::SettingsStatus::kOk:
      return 1;
    case platform::SettingsStatus::kDamaged:
      platform::set_last_error(tarnell::kErrRegDamaged);
      return 0;
    default:
      platform::set_last_error(tarnell::kErrRegIo);
      return 0;
  }
}
