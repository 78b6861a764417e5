#include <quarl/shell/texts.h>
#include <utilities/string_table.h>

#include <vector>

QString Text(const char* key, int size) {
  std::vector<char> buffer(static_cast<size_t>(size > 1 ? size : 2));
  MyLoadString(key, buffer.data(), static_cast<int>(buffer.size()));
  return QString::fromUtf8(buffer.data());
}
