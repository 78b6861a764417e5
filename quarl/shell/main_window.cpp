#include <quarl/shell/commands.h>
#include <quarl/shell/main_window.h>
#include <quarl/shell/status_panel.h>
#include <quarl/shell/texts.h>
#include <quarl/shell/toolbar_icons.h>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>
#include <QToolBar>
#include <QWheelEvent>

namespace {

constexpr int kProgressPeriodMs = 50;
constexpr int kMinimumWidth = 460;
constexpr int kMinimumTimelineHeight = 60;

// The toolbar's slots: a command with its picture and tooltip, or a separator (id 0).
struct ToolbarSlot {
  int id;
  ToolbarPicture picture;
  const char* tip;
};
constexpr ToolbarPicture kNone = ToolbarPicture::kBlankPage;
const ToolbarSlot kToolbarSlots[] = {
    {command::kNewSession, ToolbarPicture::kBlankPage, "New Sound Group (Ctrl+N)"},
    {command::kOpenSession, ToolbarPicture::kOpenFolder, "Open Sound Group (Ctrl+O)"},
    {command::kSaveSession, ToolbarPicture::kDisk, "Save Sound Group (Ctrl+S)"},
    {0, kNone, nullptr},
    {command::kAddSound, ToolbarPicture::kNotePlus, "Add a sound to the session"},
    {0, kNone, nullptr},
    {command::kPlay, ToolbarPicture::kPlayTriangle, "Play/Stop (space)"},
    {command::kRewind, ToolbarPicture::kRewindArrows, "Rewind"},
    {command::kFastForward, ToolbarPicture::kForwardArrows, "Fast Forward"},
    {command::kRecord, ToolbarPicture::kRecordDot, "Record A Sound"},
    {0, kNone, nullptr},
    {command::kZoomIn, ToolbarPicture::kZoomInLens, "Zoom In    (-)"},
    {command::kZoomOut, ToolbarPicture::kZoomOutLens, "Zoom Out    (+)"},
    {0, kNone, nullptr},
    {command::kCollapse, ToolbarPicture::kCollapseArrow, "Collapse Current Sound-Group"},
    {command::kExpand, ToolbarPicture::kExpandArrow, "Expand Current Sound-Group"},
    {0, kNone, nullptr},
    {0, kNone, nullptr},
    {0, kNone, nullptr},
};

// Texts of a title format ("%s - %s"): at most 15 characters, as the format buffers hold.
QString TitleFormat(const char* key) { return Text(key, 16); }

QString KeyText(const QKeySequence& key) { return key.toString(QKeySequence::NativeText); }

// The menu text of an action: its label, and the key that does the same after a tab.
void SetLabel(QAction* action, const QString& label) {
  const QString hint = action->property("keyHint").toString();
  action->setText(hint.isEmpty() ? label : label + '\t' + hint);
}

QKeySequence Key(QKeyCombination combination) { return QKeySequence(combination); }

}  // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
  setObjectName("MainWindow");
  BuildMenus();

  // Keys that stand for a menu or toolbar command. The zoom keys are the typed characters.
  const QKeySequence enter = Key(Qt::Key_Return);
  const QKeySequence keypadEnter = Key(Qt::KeypadModifier | Qt::Key_Enter);
  const struct {
    int id;
    QList<QKeySequence> keys;
  } keys[] = {
      {command::kNew, {Key(Qt::CTRL | Qt::Key_N)}},
      {command::kOpen, {Key(Qt::CTRL | Qt::Key_O)}},
      {command::kSave, {Key(Qt::CTRL | Qt::Key_S)}},
      {command::kCopy, {Key(Qt::CTRL | Qt::Key_C)}},
      {command::kCut, {Key(Qt::CTRL | Qt::Key_X)}},
      {command::kZoomInKey, {QKeySequence("-")}},
      {command::kZoomOutKey, {QKeySequence("+"), QKeySequence("=")}},
      {command::kPlayKey, {Key(Qt::Key_Space)}},
      {command::kRewindKey, {Key(Qt::Key_Home), Key(Qt::Key_W)}},
      {command::kFastForwardKey, {Key(Qt::Key_End), Key(Qt::Key_E)}},
      {command::kExpandKey, {enter, Key(Qt::Key_Enter), keypadEnter}},
      {command::kCollapseKey,
       {Key(Qt::SHIFT | Qt::Key_Return), Key(Qt::SHIFT | Qt::Key_Enter),
        Key(Qt::ShiftModifier | Qt::KeypadModifier | Qt::Key_Enter)}},
      {command::kExportRealAudio2, {}},
      {command::kExportRealAudio3, {}},
  };
  for (const auto& key : keys) addAction(AddPartner(key.id, key.keys));

  // The time line's own keys: they act while the time line has the focus.
  const struct {
    int id;
    QList<QKeySequence> keys;
  } timelineKeys[] = {
      {command::kNextItem, {Key(Qt::Key_Tab)}},
      {command::kPreviousItem, {Key(Qt::SHIFT | Qt::Key_Tab), Key(Qt::SHIFT | Qt::Key_Backtab)}},
      {command::kMoveLeft, {Key(Qt::Key_Left)}},
      {command::kMoveRight, {Key(Qt::Key_Right)}},
      {command::kMoveUp, {Key(Qt::Key_Up)}},
      {command::kMoveDown, {Key(Qt::Key_Down)}},
      {command::kMoveLeftFine, {Key(Qt::CTRL | Qt::Key_Left)}},
      {command::kMoveRightFine, {Key(Qt::CTRL | Qt::Key_Right)}},
      {command::kMoveLeftFinest, {Key(Qt::CTRL | Qt::SHIFT | Qt::Key_Left)}},
      {command::kMoveRightFinest, {Key(Qt::CTRL | Qt::SHIFT | Qt::Key_Right)}},
      {command::kMoveDownCtrl, {Key(Qt::CTRL | Qt::Key_Down)}},
      {command::kMoveDownCtrlShift, {Key(Qt::CTRL | Qt::SHIFT | Qt::Key_Down)}},
      {command::kMoveUpCtrl, {Key(Qt::CTRL | Qt::Key_Up)}},
      {command::kMoveUpCtrlShift, {Key(Qt::CTRL | Qt::SHIFT | Qt::Key_Up)}},
  };
  for (const auto& key : timelineKeys) {
    QAction* action = AddCommand(key.id, QString());
    action->setShortcuts(key.keys);
    action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    timeline_keys_.append(action);
  }

  BuildToolbar();
  status_ = new StatusPanel(this);
  setStatusBar(status_);
  progress_timer_ = new QTimer(this);
  progress_timer_->setInterval(kProgressPeriodMs);
  connect(progress_timer_, &QTimer::timeout, this, [this] {
    if (progress_source_) status_->SetProgress(progress_source_());
  });
  refreshToolbar();
  updateTitle();
  UpdateMinimumSize();
}

void MainWindow::BuildMenus() {
  // An item of a menu; `hint` names the key that does the same where that key is an action of
  // its own, `key` binds the item's own identifier to a key.
  auto item = [this](QMenu* menu, int id, const QString& text, const QKeySequence& hint = {},
                     const QList<QKeySequence>& keys = {}) {
    QAction* action = AddCommand(id, text);
    if (!hint.isEmpty()) {
      action->setProperty("keyHint", KeyText(hint));
      SetLabel(action, text);
    }
    if (!keys.isEmpty()) {
      action->setShortcuts(keys);
      addAction(action);
    }
    menu->addAction(action);
    return action;
  };

  QMenu* file = menuBar()->addMenu("&File");
  file_menu_ = file;
  item(file, command::kNewSession, "&New", Key(Qt::CTRL | Qt::Key_N));
  item(file, command::kOpenSession, "&Open..", Key(Qt::CTRL | Qt::Key_O));
  item(file, command::kSaveSession, "&Save", Key(Qt::CTRL | Qt::Key_S));
  item(file, command::kSaveAs, "Sa&ve As...");
  QMenu* exports = file->addMenu("&Export");
  item(exports, command::kExportWave, "Wave File");
  item(exports, command::kExportMp3, "MP3 File...");
  item(exports, command::kExportRealAudio, "RealAudio(R) File...");
  // The WMA export exists as a command only; no menu shows it.
  AddCommand(command::kExportWma, "WMA File...");
  file->addSeparator();
  item(file, command::kAddSoundMenu, "&Add Sound...");
  item(file, command::kImportPlaylist, "Import Playlist...");
  item(file, command::kRecordMenu, "&Record Sound...");
  file->addSeparator();
  item(file, command::kPreferences, "&Preferences...");
  file->addSeparator();
  recent_anchor_ = file->addSeparator();
  item(file, command::kExit, "E&xit");

  QMenu* edit = menuBar()->addMenu("&Edit");
  item(edit, command::kUndo, "&Undo", {}, {Key(Qt::CTRL | Qt::Key_Z)});
  item(edit, command::kRedo, "&Redo", {}, {Key(Qt::CTRL | Qt::Key_Y)});
  edit->addSeparator();
  item(edit, command::kCutMenu, "Cu&t", Key(Qt::CTRL | Qt::Key_X));
  item(edit, command::kCopyMenu, "&Copy", Key(Qt::CTRL | Qt::Key_C));
  item(edit, command::kPaste, "&Paste", {}, {Key(Qt::CTRL | Qt::Key_V)});
  item(edit, command::kDelete, "&Delete", {}, {Key(Qt::Key_Delete)});
  item(edit, command::kSelectAll, "Select A&ll", {}, {Key(Qt::CTRL | Qt::Key_A)});
  edit->addSeparator();
  item(edit, command::kNewGroup, Text("IDS_NEW_GROUP"));
  item(edit, command::kSendToParent, "&Send To Parent Group", {},
       {Key(Qt::CTRL | Qt::SHIFT | Qt::Key_Return), Key(Qt::CTRL | Qt::SHIFT | Qt::Key_Enter),
        Key(Qt::ControlModifier | Qt::ShiftModifier | Qt::KeypadModifier | Qt::Key_Enter)});
  item(edit, command::kGroupInfo, "&Group Info...");
  item(edit, command::kMixToSingleSound, "Mi&x To Single Sound...");
  edit->addSeparator();
  QMenu* markers = edit->addMenu("&Markers");
  item(markers, command::kMarkerCommands[2], "&Play From Marker");
  item(markers, command::kMarkerCommands[0], "&Delete Marker");
  item(markers, command::kMarkerCommands[1], "Delete All Markers...");

  QMenu* view = menuBar()->addMenu("&View");
  item(view, command::kZoomIn, "Zoom &In", QKeySequence("-"));
  item(view, command::kZoomOut, "Zoom &Out", QKeySequence("+"));
  view->addSeparator();
  item(view, command::kCollapse, "Co&llapse", Key(Qt::SHIFT | Qt::Key_Return));
  item(view, command::kExpand, "&Expand", Key(Qt::Key_Return));

  QMenu* play = menuBar()->addMenu("&Play");
  item(play, command::kPlay, Text("IDS_PLAY"), Key(Qt::Key_Space));
  item(play, command::kRewind, "Re&wind", Key(Qt::Key_Home));
  item(play, command::kFastForward, "&Fast Forward", Key(Qt::Key_End));

  // The commands on one selected sound or group, also offered by the time line's own menus.
  QMenu* sound = menuBar()->addMenu("&Sound");
  item(sound, command::kPlayItem, "Play");
  item(sound, command::kMuted, "Muted");
  item(sound, command::kLocked, "Locked")->setCheckable(true);
  sound->addSeparator();
  item(sound, command::kInvertMap, "Invert Map");
  item(sound, command::kResetMap, "Reset Map");
  item(sound, command::kSetExactValue, "Set Exact Value...");
  item(sound, command::kDeletePoint, "Delete Point");
  sound->addSeparator();
  item(sound, command::kEditExternal, "&Edit In External Editor");
  item(sound, command::kSoundInfo, "Sound In&fo...");

  QMenu* help = menuBar()->addMenu("&Help");
  item(help, command::kHelpTopics, "&Help Topics...");
  item(help, command::kCheckForUpdate, "&Check For Update");

  // Every item is set from the state rules as its menu opens, submenus included.
  for (QMenu* menu : {file, edit, view, play, sound, help}) {
    connect(menu, &QMenu::aboutToShow, this, [this, menu] { PrepareMenu(menu); });
  }
  // Where a menu and a toolbar button have two identifiers, the menu's triggers the button's.
  for (int id : {command::kAddSoundMenu, command::kRecordMenu}) {
    QAction* button = AddCommand(CommandTarget(id), Command(id)->text());
    connect(Command(id), &QAction::triggered, button, &QAction::trigger);
  }
}

void MainWindow::BuildToolbar() {
  toolbar_ = addToolBar("Toolbar");
  toolbar_->setObjectName("Toolbar");
  toolbar_->setMovable(false);
  toolbar_->setIconSize(QSize(24, 24));
  for (const ToolbarSlot& slot : kToolbarSlots) {
    if (slot.id == 0) {
      toolbar_->addSeparator();
      continue;
    }
    QAction* action = Command(slot.id);
    action->setIcon(ToolbarIcon(slot.picture));
    action->setToolTip(slot.tip);
    toolbar_->addAction(action);
  }
  parameter_ = new QComboBox(toolbar_);
  parameter_->setObjectName("ParameterBox");
  parameter_->addItem(Text("IDS_VOLUME"), 0);
  parameter_->addItem(Text("IDS_PAN"), 1);
  parameter_->addItem(Text("IDS_RATE"), 2);
  parameter_->setToolTip("Select a parameter to edit with the pencil tool.");
  parameter_->setFocusPolicy(Qt::NoFocus);
  parameter_->setMinimumWidth(68);
  toolbar_->addWidget(parameter_);
}

QAction* MainWindow::AddCommand(int id, const QString& text, const QKeySequence& key) {
  auto* action = new QAction(text, this);
  action->setData(id);
  if (!key.isEmpty()) action->setShortcut(key);
  commands_[id] = action;
  // Every command may change what the others can do: the states follow once it has run.
  connect(action, &QAction::triggered, this, [this] {
    if (refresh_queued_) return;
    refresh_queued_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
          refresh_queued_ = false;
          refreshToolbar();
        },
        Qt::QueuedConnection);
  });
  return action;
}

QAction* MainWindow::AddPartner(int id, const QList<QKeySequence>& keys) {
  QAction* target = Command(CommandTarget(id));
  QAction* action = AddCommand(id, target->text().section('\t', 0, 0));
  action->setShortcuts(keys);
  action->setShortcutContext(Qt::WindowShortcut);
  connect(action, &QAction::triggered, target, &QAction::trigger);
  return action;
}

QAction* MainWindow::Command(int id) const {
  const auto found = commands_.find(id);
  return found != commands_.end() ? found->second : nullptr;
}

void MainWindow::SetTimeline(QWidget* timeline) {
  setCentralWidget(timeline);
  for (QAction* action : timeline_keys_) timeline->addAction(action);
  // The window hands its focus to the first part of the time line that takes keys, so the
  // time line's keys work after a toolbar control has given the focus back to the window.
  QWidget* keys = timeline->focusPolicy() & Qt::TabFocus ? timeline : nullptr;
  if (keys == nullptr) {
    for (QWidget* child : timeline->findChildren<QWidget*>()) {
      if (child->focusPolicy() & Qt::TabFocus) {
        keys = child;
        break;
      }
    }
  }
  if (keys != nullptr) {
    setFocusProxy(keys);
    keys->setFocus();
  }
  UpdateMinimumSize();
}

void MainWindow::SetTitleSource(std::function<QString()> path, std::function<bool()> modified) {
  title_path_ = std::move(path);
  title_modified_ = std::move(modified);
  updateTitle();
}

void MainWindow::SetCommandContextSource(std::function<CommandContext()> source) {
  context_source_ = std::move(source);
  refreshToolbar();
}

CommandContext MainWindow::CurrentContext() const {
  CommandContext context = context_source_ ? context_source_() : CommandContext{};
  context.busy = context.busy || busy_;
  context.playing = context.playing || playing_;
  context.realAudioAvailable = context.realAudioAvailable && RealAudioLibraryPresent();
  return context;
}

void MainWindow::ApplyState(QAction* action, const CommandContext& context) {
  const CommandState state = StateOf(action->data().toInt(), context);
  action->setEnabled(state.enabled);
  if (action->isCheckable()) action->setChecked(state.checked);
  if (state.textKey != nullptr) SetLabel(action, Text(state.textKey));
}

void MainWindow::PrepareMenu(QMenu* menu) {
  menu->removeAction(Command(command::kExportWma));
  const CommandContext context = CurrentContext();
  for (QAction* action : menu->actions()) {
    if (action->menu() != nullptr) {
      PrepareMenu(action->menu());
      continue;
    }
    const QVariant id = action->data();
    if (id.isValid() && Command(id.toInt()) == action) ApplyState(action, context);
  }
}

void MainWindow::busyBegin(const QString& task, bool cancellable) {
  if (!busy_) QApplication::setOverrideCursor(Qt::WaitCursor);
  busy_ = true;
  status_->ShowBusy(task, cancellable);
  toolbar_->setEnabled(false);
  menuBar()->setEnabled(false);
  if (centralWidget() != nullptr) centralWidget()->setEnabled(false);
  progress_timer_->start();
  refreshToolbar();
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
  // Disabling the time line took its focus away; its keys work again at once.
  if (focusProxy() != nullptr) focusProxy()->setFocus();
  refreshToolbar();
  emit busyEnded();
}

void MainWindow::refreshToolbar() {
  if (context_source_) {
    const CommandContext context = CurrentContext();
    for (const auto& [id, action] : commands_) ApplyState(action, context);
    return;
  }
  // Without a context only the commands of later work and the busy state are known; the older
  // per-command source decides the rest.
  for (const auto& [id, action] : commands_) {
    const int target = CommandTarget(id);
    action->setEnabled(!busy_ && !CommandNotYetAvailable(target) &&
                       (!enabled_ || enabled_(target)));
  }
  if (!RealAudioLibraryPresent()) Command(command::kExportRealAudio)->setEnabled(false);
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
  playing_ = playing;
  QAction* play = Command(command::kPlay);
  SetLabel(play, Text(playing ? "IDS_STOP" : "IDS_PLAY"));
  play->setIcon(ToolbarIcon(playing ? ToolbarPicture::kStopSquare : ToolbarPicture::kPlayTriangle));
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (busy_ || (may_close_ && !may_close_())) {
    event->ignore();
    return;
  }
  event->accept();
}

void MainWindow::wheelEvent(QWheelEvent* event) {
  // Away from the user zooms in, towards the user zooms out.
  const int delta = event->angleDelta().y();
  if (delta == 0) {
    QMainWindow::wheelEvent(event);
    return;
  }
  QAction* zoom = Command(delta > 0 ? command::kZoomIn : command::kZoomOut);
  if (zoom->isEnabled()) zoom->trigger();
  event->accept();
}

void MainWindow::showEvent(QShowEvent* event) {
  UpdateMinimumSize();
  QMainWindow::showEvent(event);
}

void MainWindow::UpdateMinimumSize() {
  // The time line keeps at least 60 pixels between the toolbar and the status panel.
  const int height = menuBar()->sizeHint().height() + toolbar_->sizeHint().height() +
                     kMinimumTimelineHeight + (status_ ? status_->sizeHint().height() : 0);
  setMinimumSize(kMinimumWidth, height);
}
