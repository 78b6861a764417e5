#pragma once

#include <QString>

#include <array>
#include <functional>
#include <string>
#include <vector>

class QAction;
class QMenu;

// The recent sessions, newest first: at most eight paths. Adding a listed path moves it to the
// top; a new one goes on top and pushes the oldest out of a full list.
class RecentFileList {
 public:
  static constexpr size_t kCapacity = 8;  // the stored "RecentFile" values

  // From the stored names (index 0 the newest): empty names and files that no longer exist
  // are left out, so that they are not shown and not saved back.
  void Load(const std::array<std::string, kCapacity>& stored);
  // Into the stored names, newest first; the rest emptied.
  void Store(std::array<std::string, kCapacity>* stored) const;

  void Add(const std::string& path);
  void Remove(const std::string& path);
  const std::vector<std::string>& Paths() const { return paths_; }

 private:
  std::vector<std::string> paths_;
};

// The menu text of entry `index` (from 0): "&%d %s" with the number from 1 and every "&" of
// the path doubled, so that a path never forms a mnemonic.
QString RecentMenuText(int index, const std::string& path);

// Keeps the list's items in a menu, before `anchor` (null: at the end), with the command
// identifiers of the list positions as their data. `chosen` receives the path of an item.
class RecentFilesMenu {
 public:
  RecentFilesMenu(QMenu* menu, QAction* anchor);
  // Rebuilds the items from `list`; each is connected to `chosen`.
  template <typename Chosen>
  void Show(const RecentFileList& list, Chosen chosen) {
    Clear();
    for (size_t i = 0; i < list.Paths().size(); ++i) {
      QAction* item = AddItem(static_cast<int>(i), list.Paths()[i]);
      const std::string path = list.Paths()[i];
      Connect(item, [chosen, path] { chosen(path); });
    }
  }
  const std::vector<QAction*>& Items() const { return items_; }

 private:
  void Clear();
  QAction* AddItem(int index, const std::string& path);
  void Connect(QAction* item, std::function<void()> slot);

  QMenu* menu_;
  QAction* anchor_;
  QAction* separator_ = nullptr;
  std::vector<QAction*> items_;
};
