#pragma once

#include <QMainWindow>

#include <functional>
#include <map>

class QAction;
class QComboBox;
class QTimer;
class QToolBar;
class StatusPanel;

// The program's window: menu bar, toolbar with the parameter box, the time line in the middle
// and the status panel below. Every command is one QAction in the command table, keyed by its
// identifier; the program connects the table's actions to what they do. Messages that other
// threads post arrive as slots invoked with Qt::QueuedConnection.
class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  explicit MainWindow(QWidget* parent = nullptr);

  // The time line, placed between the toolbar and the status panel.
  void SetTimeline(QWidget* timeline);
  StatusPanel* Status() const { return status_; }
  QToolBar* Toolbar() const { return toolbar_; }
  QComboBox* ParameterBox() const { return parameter_; }
  // The action of a command identifier; null for one the window does not know.
  QAction* Command(int id) const;

  // Where the busy state reads the running task's progress (0-100) every 50 ms.
  void SetProgressSource(std::function<int()> progress) { progress_source_ = std::move(progress); }
  // What the title shows: the session path ("" for a new session) and the modified flag.
  void SetTitleSource(std::function<QString()> path, std::function<bool()> modified);
  // The enabled state of the toolbar's commands, asked on every refresh.
  void SetCommandStates(std::function<bool(int id)> enabled) { enabled_ = std::move(enabled); }
  // Close requests are refused while busy; the program decides the rest (save prompt).
  void SetCloseGuard(std::function<bool()> mayClose) { may_close_ = std::move(mayClose); }

  bool Busy() const { return busy_; }

 public slots:
  // A background task begins or ends.
  void busyBegin(const QString& task, bool cancellable);
  void busyEnd();
  void refreshToolbar();
  void updateTitle();
  // The play button shows whether the session plays.
  void setPlaying(bool playing);

 signals:
  // The busy period is over (the first run starts playing then).
  void busyEnded();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  QAction* AddCommand(int id, const QString& text, const QKeySequence& key = {});

  std::map<int, QAction*> commands_;
  QToolBar* toolbar_ = nullptr;
  QComboBox* parameter_ = nullptr;
  StatusPanel* status_ = nullptr;
  QTimer* progress_timer_ = nullptr;  // 50 ms while busy
  std::function<int()> progress_source_;
  std::function<QString()> title_path_;
  std::function<bool()> title_modified_;
  std::function<bool(int)> enabled_;
  std::function<bool()> may_close_;
  bool busy_ = false;
};
