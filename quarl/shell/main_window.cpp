#include <quarl/shell/commands.h>
#include <quarl/shell/main_window.h>
#include <quarl/shell/status_panel.h>
#include <quarl/shell/texts.h>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QMenuBar>
#include <QTimer>
#include <QToolBar>

namespace {

constexpr int kProgressPeriodMs = 50;

// The toolbar's buttons in their slots; 0 stands for a separator.
constexpr int kToolbarSlots[] = {command::kNewSession, command::kOpenSession, command::kSaveSession,
                                 0, command::kAddSound, 0, command::kPlay, command::kRewind,
                                 command::kFastForward, command::kRecord, 0, command::kZoomIn,
                                 command::kZoomOut, 0, command::kCollapse, command::kExpand};

// Texts of a title format ("%s - %s"): at most 15 characters, as the format buffers hold.
QString TitleFormat(const char* key) { return Text(key, 16); }

}  // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
  setObjectName("MainWindow");
  setMinimumSize(460, 120);

  QMenu* file = menuBar()->addMenu("&File");
  file->addAction(AddCommand(command::kNewSession, "&New", QKeySequence("Ctrl+N")));
  file->addAction(AddCommand(command::kOpenSession, "&Open..", QKeySequence("Ctrl+O")));
  file->addAction(AddCommand(command::kSaveSession, "&Save", QKeySequence("Ctrl+S")));
  file->addAction(AddCommand(command::kAddSound, "&Add Sound..."));
  file->addSeparator();
  file->addAction(AddCommand(command::kExit, "E&xit"));
  QMenu* view = menuBar()->addMenu("&View");
  view->addAction(AddCommand(command::kZoomIn, "Zoom &In"));
  view->addAction(AddCommand(command::kZoomOut, "Zoom &Out"));
  view->addAction(AddCommand(command::kCollapse, "Co&llapse"));
  view->addAction(AddCommand(command::kExpand, "&Expand"));
  QMenu* play = menuBar()->addMenu("&Play");
  play->addAction(AddCommand(command::kPlay, "Play"));
  play->addAction(AddCommand(command::kRewind, "Re&wind"));
  play->addAction(AddCommand(command::kFastForward, "&Fast Forward"));
  play->addAction(AddCommand(command::kRecord, "&Record Sound..."));

  // The keys of the accelerator table are commands of their own that do what their partners do.
  const struct {
    int id;
    int partner;
    QList<QKeySequence> keys;
  } keys[] = {
      {command::kPlayKey, command::kPlay, {QKeySequence(Qt::Key_Space)}},
      {command::kRewindKey, command::kRewind, {QKeySequence(Qt::Key_Home), QKeySequence(Qt::Key_W)}},
      {command::kFastForwardKey, command::kFastForward,
       {QKeySequence(Qt::Key_End), QKeySequence(Qt::Key_E)}},
      {command::kZoomInKey, command::kZoomIn, {QKeySequence("-")}},
      {command::kZoomOutKey, command::kZoomOut, {QKeySequence("+"), QKeySequence("=")}},
  };
  for (const auto& key : keys) {
    QAction* action = AddCommand(key.id, Command(key.partner)->text());
    action->setShortcuts(key.keys);
    action->setShortcutContext(Qt::WindowShortcut);
    addAction(action);
    QAction* partner = Command(key.partner);
    connect(action, &QAction::triggered, partner, &QAction::trigger);
  }

  toolbar_ = addToolBar("Toolbar");
  toolbar_->setObjectName("Toolbar");
  toolbar_->setMovable(false);
  for (int id : kToolbarSlots) {
    if (id == 0) {
      toolbar_->addSeparator();
    } else {
      toolbar_->addAction(Command(id));
    }
  }
  parameter_ = new QComboBox(toolbar_);
  parameter_->setObjectName("ParameterBox");
  parameter_->addItem(Text("IDS_VOLUME"), 0);
  parameter_->addItem(Text("IDS_PAN"), 1);
  parameter_->addItem(Text("IDS_RATE"), 2);
  parameter_->setToolTip("Select a parameter to edit with the pencil tool.");
  parameter_->setFocusPolicy(Qt::NoFocus);
  toolbar_->addWidget(parameter_);

  status_ = new StatusPanel(this);
  setStatusBar(status_);
  progress_timer_ = new QTimer(this);
  progress_timer_->setInterval(kProgressPeriodMs);
  connect(progress_timer_, &QTimer::timeout, this, [this] {
    if (progress_source_) status_->SetProgress(progress_source_());
  });
  updateTitle();
}

QAction* MainWindow::AddCommand(int id, const QString& text, const QKeySequence& key) {
  auto* action = new QAction(text, this);
  action->setData(id);
  if (!key.isEmpty()) action->setShortcut(key);
  commands_[id] = action;
  return action;
}

QAction* MainWindow::Command(int id) const {
  const auto found = commands_.find(id);
  return found != commands_.end() ? found->second : nullptr;
}

void MainWindow::SetTimeline(QWidget* timeline) { setCentralWidget(timeline); }

void MainWindow::SetTitleSource(std::function<QString()> path, std::function<bool()> modified) {
  title_path_ = std::move(path);
  title_modified_ = std::move(modified);
  updateTitle();
}

void MainWindow::busyBegin(const QString& task, bool cancellable) {
  if (!busy_) QApplication::setOverrideCursor(Qt::WaitCursor);
  busy_ = true;
  status_->ShowBusy(task, cancellable);
  toolbar_->setEnabled(false);
  menuBar()->setEnabled(false);
  if (centralWidget() != nullptr) centralWidget()->setEnabled(false);
  progress_timer_->start();
}

void MainWindow::busyEnd() {
  if (!busy_) return;
  busy_ = false;
  QApplication::restoreOverrideCursor();
  progress_timer_->stop();
  status_->ShowReady();
  toolbar_->setEnabled(true);
  menuBar()->setEnabled(true);
  if (centralWidget() != nullptr) centralWidget()->setEnabled(true);
  refreshToolbar();
  emit busyEnded();
}

void MainWindow::refreshToolbar() {
  if (!enabled_) return;
  for (int id : kToolbarSlots) {
    if (id != 0) Command(id)->setEnabled(enabled_(id));
  }
}

void MainWindow::updateTitle() {
  QString program = Text("ProgramName");
  const QString beta = Text("IDS_BETA");
  if (beta != "IDS_BETA" && !beta.isEmpty()) program += " " + beta;
  const bool modified = title_modified_ && title_modified_();
  QString path = title_path_ ? title_path_() : QString();
  if (path.isEmpty()) path = Text("SESSION_NAME_DEFAULT");
  QString format = TitleFormat(modified ? "SESSION_NAME_FMT_MOD" : "SESSION_NAME_FMT");
  // The format holds two %s: the program, then the session.
  const int first = format.indexOf("%s");
  if (first >= 0) format.replace(first, 2, program);
  const int second = format.indexOf("%s", first >= 0 ? first + program.size() : 0);
  if (second >= 0) format.replace(second, 2, path);
  setWindowTitle(format);
}

void MainWindow::setPlaying(bool playing) {
  Command(command::kPlay)->setText(Text(playing ? "IDS_STOP" : "IDS_PLAY"));
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (busy_ || (may_close_ && !may_close_())) {
    event->ignore();
    return;
  }
  event->accept();
}
