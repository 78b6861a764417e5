#pragma once

#include <QStatusBar>

class QLabel;
class QProgressBar;
class QPushButton;

// The status bar at the bottom of the main window: the ready text or the running task with its
// percentage in pane 0, a progress bar and a Cancel button while a background task runs, and
// three panes that the time line fills with what is under the mouse or selected.
class StatusPanel : public QStatusBar {
  Q_OBJECT

 public:
  explicit StatusPanel(QWidget* parent = nullptr);

  void ShowReady();
  // A task begins: its text at 0 %, the progress bar, and Cancel when it can be cancelled.
  void ShowBusy(const QString& task, bool cancellable);
  void SetProgress(int percent);
  // Panes 1 to 3.
  void SetPane(int index, const QString& text);

  QString PaneText(int index) const;
  bool ProgressShown() const;
  bool CancelShown() const;

 signals:
  void cancelRequested();

 private:
  QLabel* panes_[4] = {};
  QProgressBar* progress_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QString task_;
  bool busy_ = false;
};
