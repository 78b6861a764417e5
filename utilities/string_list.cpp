#include <strings.h>
#include <utilities/string_list.h>

#include <iterator>

CStringList::CStringList() = default;
CStringList::CStringList(const CStringList& other) = default;
CStringList& CStringList::operator=(const CStringList& other) = default;
CStringList::~CStringList() = default;

int CStringList::AddLatestString(const char* text) {
  if (text == nullptr) return 0;
  strings_.emplace_front(text);
  return 1;
}

int CStringList::PushBackList(const char* text) {
  if (text == nullptr) return 0;
  strings_.emplace_back(text);
  return 1;
}

int CStringList::ContainsString(const char* text) const { return StringIndex(text) >= 0; }

int CStringList::StringIndex(const char* text) const {
  if (text == nullptr) return -1;
  int index = 0;
  for (const std::string& s : strings_) {
    if (strcasecmp(s.c_str(), text) == 0) return index;
    ++index;
  }
  return -1;
}

const char* CStringList::Index(int index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return std::next(strings_.begin(), index)->c_str();
}

int CStringList::DeleteIndex(int index) {
  if (index < 0 || index >= Count()) return 0;
  strings_.erase(std::next(strings_.begin(), index));
  return 1;
}

void CStringList::DeleteStringList() { strings_.clear(); }

int CStringList::Count() const { return static_cast<int>(strings_.size()); }
