#include <quarl/shell/commands.h>
#include <quarl/shell/recent_files.h>
#include <tarnell/file_obj.h>

#include <QAction>
#include <QMenu>

#include <algorithm>

void RecentFileList::Load(const std::array<std::string, kCapacity>& stored) {
  paths_.clear();
  // Oldest first, each added to the front, so that index 0 ends on top.
  for (size_t i = kCapacity; i-- > 0;) {
    const std::string& name = stored[i];
    if (name.empty() || !DoesFileExist(name.c_str())) continue;
    Add(name);
  }
}

void RecentFileList::Store(std::array<std::string, kCapacity>* stored) const {
  for (size_t i = 0; i < kCapacity; ++i) (*stored)[i] = i < paths_.size() ? paths_[i] : "";
}

void RecentFileList::Add(const std::string& path) {
  if (path.empty()) return;
  Remove(path);
  paths_.insert(paths_.begin(), path);
  if (paths_.size() > kCapacity) paths_.resize(kCapacity);
}

void RecentFileList::Remove(const std::string& path) { std::erase(paths_, path); }

QString RecentMenuText(int index, const std::string& path) {
  QString shown = QString::fromStdString(path);
  shown.replace("&", "&&");
  return QString("&%1 %2").arg(index + 1).arg(shown);
}

RecentFilesMenu::RecentFilesMenu(QMenu* menu, QAction* anchor) : menu_(menu), anchor_(anchor) {}

void RecentFilesMenu::Clear() {
  for (QAction* item : items_) {
    menu_->removeAction(item);
    delete item;
  }
  items_.clear();
  if (separator_ != nullptr) {
    menu_->removeAction(separator_);
    delete separator_;
    separator_ = nullptr;
  }
}

QAction* RecentFilesMenu::AddItem(int index, const std::string& path) {
  if (menu_ == nullptr) return nullptr;
  // The list comes with a separator of its own before it.
  if (separator_ == nullptr) {
    separator_ = new QAction(menu_);
    separator_->setSeparator(true);
    menu_->insertAction(anchor_, separator_);
  }
  auto* item = new QAction(RecentMenuText(index, path), menu_);
  item->setData(command::kRecentFiles[index]);
  item->setObjectName(QString("RecentFile%1").arg(index));
  menu_->insertAction(anchor_, item);
  items_.push_back(item);
  return item;
}

void RecentFilesMenu::Connect(QAction* item, std::function<void()> slot) {
  if (item != nullptr) QObject::connect(item, &QAction::triggered, menu_, std::move(slot));
}
