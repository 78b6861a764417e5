#pragma once

#include <quarl/shell/command_states.h>

#include <QMainWindow>
#include <functional>
#include <map>

class QAction;
class QComboBox;
class QMenu;
class QTimer;
class QToolBar;
class StatusPanel;

// The program's window: menu bar, toolbar with the parameter box, the time line in the middle
// and the status panel below. Every command is one QAction in the command table, keyed by its
// identifier; the program connects the table's actions to what they do. Keys and second
// identifiers (Ctrl+N, Space, the Add Sound menu item, ...) are actions of their own that
// trigger the command they stand for (CommandTarget), so the program connects only those.
// Messages that other threads post arrive as slots invoked with Qt::QueuedConnection.
class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  explicit MainWindow(QWidget* parent = nullptr);

  // The time line, placed between the toolbar and the status panel. Its own keys (Tab and the
  // arrows) act while it has the focus, and the window passes its focus on to it.
  void SetTimeline(QWidget* timeline);
  StatusPanel* Status() const { return status_; }
  QToolBar* Toolbar() const { return toolbar_; }
  QComboBox* ParameterBox() const { return parameter_; }
  // The action of a command identifier; null for one the window does not know.
  QAction* Command(int id) const;
  // The File menu, and the separator above Exit before which the recent sessions are listed.
  QMenu* FileMenu() const { return file_menu_; }
  QAction* RecentFilesAnchor() const { return recent_anchor_; }

  // Where the busy state reads the running task's progress (0-100) every 50 ms.
  void SetProgressSource(std::function<int()> progress) { progress_source_ = std::move(progress); }
  // What the title shows: the session path ("" for a new session) and the modified flag.
  void SetTitleSource(std::function<QString()> path, std::function<bool()> modified);
  // What the state rules of every command look at; asked on each refresh and menu opening.
  void SetCommandContextSource(std::function<CommandContext()> source);
  // The older, toolbar-only form: the enabled state of each toolbar command. Not used once a
  // context source is set.
  void SetCommandStates(std::function<bool(int id)> enabled) { enabled_ = std::move(enabled); }
  // Close requests are refused while busy; the program decides the rest (save prompt).
  void SetCloseGuard(std::function<bool()> mayClose) { may_close_ = std::move(mayClose); }

  bool Busy() const { return busy_; }

 public slots:
  // A background task begins or ends.
  void busyBegin(const QString& task, bool cancellable);
  void busyEnd();
  // Sets every command from the state rules (the toolbar's, the keys' and the menus').
  void refreshToolbar();
  void updateTitle();
  // The play button shows whether the session plays.
  void setPlaying(bool playing);

 signals:
  // The busy period is over (the first run starts playing then).
  void busyEnded();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  QAction* AddCommand(int id, const QString& text, const QKeySequence& key = {});
  // A key or second identifier that triggers the command it stands for.
  QAction* AddPartner(int id, const QList<QKeySequence>& keys);
  void BuildMenus();
  void BuildToolbar();
  CommandContext CurrentContext() const;
  void ApplyState(QAction* action, const CommandContext& context);
  void PrepareMenu(QMenu* menu);
  void UpdateMinimumSize();

  std::map<int, QAction*> commands_;
  QMenu* file_menu_ = nullptr;
  QAction* recent_anchor_ = nullptr;
  QToolBar* toolbar_ = nullptr;
  QComboBox* parameter_ = nullptr;
  StatusPanel* status_ = nullptr;
  QTimer* progress_timer_ = nullptr;  // 50 ms while busy
  std::function<int()> progress_source_;
  std::function<QString()> title_path_;
  std::function<bool()> title_modified_;
  std::function<CommandContext()> context_source_;
  std::function<bool(int)> enabled_;
  std::function<bool()> may_close_;
  QList<QAction*> timeline_keys_;
  bool busy_ = false;
  bool playing_ = false;
  bool refresh_queued_ = false;
};
