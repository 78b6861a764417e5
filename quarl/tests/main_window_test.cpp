#include <quarl/shell/command_states.h>
#include <quarl/shell/commands.h>
#include <quarl/shell/main_window.h>
#include <quarl/shell/status_panel.h>
#include <utilities/string_table.h>

#include <QAction>
#include <QComboBox>
#include <QMenu>
#include <QMenuBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <QWheelEvent>
#include <set>

namespace {

// The menus' items, submenus included.
QList<QAction*> MenuItems(QMenu* menu) {
  QList<QAction*> items;
  for (QAction* action : menu->actions()) {
    if (action->menu() != nullptr) {
      items += MenuItems(action->menu());
    } else if (!action->isSeparator()) {
      items.append(action);
    }
  }
  return items;
}

// Tells every menu of the bar that it is about to open, as opening it does.
void OpenEveryMenu(MainWindow& window) {
  for (QAction* top : window.menuBar()->actions()) emit top->menu()->aboutToShow();
}

// The identifiers of the enabled commands among `ids` under `context`.
std::set<int> EnabledOf(const CommandContext& context, std::initializer_list<int> ids) {
  std::set<int> enabled;
  for (int id : ids) {
    if (StateOf(id, context).enabled) enabled.insert(id);
  }
  return enabled;
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(strings_.isValid());
    const QString path = strings_.filePath("quarl-strings.ini");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(
        "[Strings]\nProgramName=Tessel\nIDS_READYREADY=Ready\n"
        "SESSION_NAME_FMT=%s - %s\nSESSION_NAME_FMT_MOD=%s - %s *\n"
        "SESSION_NAME_DEFAULT=Untitled\nIDS_PLAY=Play\nIDS_STOP=Stop\n"
        "IDS_NEW_GROUP=&New Group\nIDS_MAKE_GROUP=Make Into Group...\n");
    file.close();
    SetStringFile(path.toUtf8().constData());
  }

  // A task's progress is polled into the status panel every 50 ms; the window takes no
  // commands, not even by key, and refuses to close until the task has ended.
  void busyStateShowsProgressAndHoldsTheWindow() {
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    int percent = 0;
    window.SetProgressSource([&] { return percent; });
    window.busyBegin("Loading", true);
    QCOMPARE(window.Status()->PaneText(0), QString("Loading.....0% "));
    QVERIFY(window.Status()->ProgressShown());
    QVERIFY(window.Status()->CancelShown());
    QVERIFY(!window.Toolbar()->isEnabled());
    QSignalSpy play(window.Command(command::kPlay), &QAction::triggered);
    QTest::keyClick(&window, Qt::Key_Space);
    QCOMPARE(play.count(), 0);
    percent = 42;
    QTRY_COMPARE_WITH_TIMEOUT(window.Status()->PaneText(0), QString("Loading.....42% "), 1000);
    QVERIFY(!window.close());
    QSignalSpy ended(&window, &MainWindow::busyEnded);
    window.busyEnd();
    QCOMPARE(ended.count(), 1);
    QCOMPARE(window.Status()->PaneText(0), QString("Ready"));
    QVERIFY(!window.Status()->ProgressShown());
    QVERIFY(window.Toolbar()->isEnabled());
    QTest::keyClick(&window, Qt::Key_Space);
    QCOMPARE(play.count(), 1);
    QVERIFY(window.close());
  }

  // The title follows the session; the window is never smaller than the layout allows.
  void titleAndSize() {
    MainWindow window;
    QString path;
    bool modified = false;
    window.SetTitleSource([&] { return path; }, [&] { return modified; });
    QCOMPARE(window.windowTitle(), QString("Tessel - Untitled"));
    path = "/music/a.sgp";
    modified = true;
    window.updateTitle();
    QCOMPARE(window.windowTitle(), QString("Tessel - /music/a.sgp *"));
    window.show();
    QCOMPARE(window.minimumWidth(), 460);
    QVERIFY(window.minimumHeight() >= window.Toolbar()->height() + 60);
  }

  // Every key of the accelerator table is bound to its command. With a session that allows
  // everything, the keys of present work fire the command they stand for; the keys of work
  // still to come fire nothing.
  void everyKeyIsBoundToItsCommand() {
    MainWindow window;
    auto* timeline = new QWidget;
    timeline->setFocusPolicy(Qt::StrongFocus);
    window.SetTimeline(timeline);
    CommandContext context;
    context.modified = context.hasItems = context.shownGroupHasParent = true;
    context.selectedCount = context.selectedGroups = 1;
    context.canUndo = context.canRedo = context.clipboardHasData = true;
    window.SetCommandContextSource([&] { return context; });
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    window.busyBegin("Loading", false);
    window.busyEnd();
    QCOMPARE(QApplication::focusWidget(), timeline);

    const QKeySequence enter(Qt::Key_Return);
    const struct {
      int id;
      QKeySequence key;
      bool fires;  // the command's work exists now
    } table[] = {
        {command::kNew, QKeySequence("Ctrl+N"), true},
        {command::kOpen, QKeySequence("Ctrl+O"), true},
        {command::kSave, QKeySequence("Ctrl+S"), true},
        {command::kSelectAll, QKeySequence("Ctrl+A"), true},
        {command::kCopy, QKeySequence("Ctrl+C"), false},
        {command::kCut, QKeySequence("Ctrl+X"), false},
        {command::kPaste, QKeySequence("Ctrl+V"), false},
        {command::kUndo, QKeySequence("Ctrl+Z"), false},
        {command::kRedo, QKeySequence("Ctrl+Y"), false},
        {command::kZoomOutKey, QKeySequence("+"), true},
        {command::kZoomOutKey, QKeySequence("="), true},
        {command::kZoomInKey, QKeySequence("-"), true},
        {command::kPlayKey, QKeySequence(Qt::Key_Space), true},
        {command::kRewindKey, QKeySequence(Qt::Key_Home), true},
        {command::kRewindKey, QKeySequence(Qt::Key_W), true},
        {command::kFastForwardKey, QKeySequence(Qt::Key_End), true},
        {command::kFastForwardKey, QKeySequence(Qt::Key_E), true},
        {command::kExpandKey, enter, true},
        {command::kCollapseKey, QKeySequence(Qt::SHIFT | Qt::Key_Return), true},
        {command::kSendToParent, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Return), false},
        {command::kDelete, QKeySequence(Qt::Key_Delete), false},
        {command::kNextItem, QKeySequence(Qt::Key_Tab), false},
        {command::kPreviousItem, QKeySequence(Qt::SHIFT | Qt::Key_Tab), false},
        {command::kMoveLeft, QKeySequence(Qt::Key_Left), false},
        {command::kMoveRight, QKeySequence(Qt::Key_Right), false},
        {command::kMoveUp, QKeySequence(Qt::Key_Up), false},
        {command::kMoveDown, QKeySequence(Qt::Key_Down), false},
        {command::kMoveLeftFine, QKeySequence("Ctrl+Left"), false},
        {command::kMoveRightFine, QKeySequence("Ctrl+Right"), false},
        {command::kMoveLeftFinest, QKeySequence("Ctrl+Shift+Left"), false},
        {command::kMoveRightFinest, QKeySequence("Ctrl+Shift+Right"), false},
        {command::kMoveUpCtrl, QKeySequence("Ctrl+Up"), false},
        {command::kMoveUpCtrlShift, QKeySequence("Ctrl+Shift+Up"), false},
        {command::kMoveDownCtrl, QKeySequence("Ctrl+Down"), false},
        {command::kMoveDownCtrlShift, QKeySequence("Ctrl+Shift+Down"), false},
    };
    for (const auto& row : table) {
      QAction* action = window.Command(row.id);
      QVERIFY2(action != nullptr, qPrintable(QString::number(row.id)));
      QVERIFY2(action->shortcuts().contains(row.key), qPrintable(row.key.toString()));
      QCOMPARE(action->isEnabled(), row.fires);
      QAction* target = window.Command(CommandTarget(row.id));
      QSignalSpy fired(target, &QAction::triggered);
      const QKeyCombination key = row.key[0];
      QTest::keyClick(timeline, key.key(), key.keyboardModifiers());
      QVERIFY2(fired.count() == (row.fires ? 1 : 0), qPrintable(row.key.toString()));
    }
    // The time line's keys belong to it alone; the others act anywhere in the window.
    QCOMPARE(window.Command(command::kMoveLeft)->shortcutContext(), Qt::WidgetWithChildrenShortcut);
    QVERIFY(timeline->actions().contains(window.Command(command::kNextItem)));
    QVERIFY(!timeline->actions().contains(window.Command(command::kPlayKey)));
    // Shift+Tab arrives as Shift+Backtab: it reaches its command once, not as an ambiguity.
    QAction* previous = window.Command(command::kPreviousItem);
    previous->setEnabled(true);
    QSignalSpy backwards(previous, &QAction::triggered);
    QTest::keyClick(timeline, Qt::Key_Backtab, Qt::ShiftModifier);
    QCOMPARE(backwards.count(), 1);

    // The wheel zooms: away from the user in, towards the user out.
    QSignalSpy zoomIn(window.Command(command::kZoomIn), &QAction::triggered);
    QSignalSpy zoomOut(window.Command(command::kZoomOut), &QAction::triggered);
    for (int delta : {120, -120, -120}) {
      QWheelEvent wheel(QPointF(5, 5), QPointF(5, 5), QPoint(), QPoint(0, delta), Qt::NoButton,
                        Qt::NoModifier, Qt::NoScrollPhase, false);
      QApplication::sendEvent(&window, &wheel);
    }
    QCOMPARE(zoomIn.count(), 1);
    QCOMPARE(zoomOut.count(), 2);
  }

  // The rules in the states the user meets.
  void stateRules() {
    using namespace command;
    const auto ids = {kSaveSession, kSaveAs,      kExportWave, kExportMp3, kSelectAll,
                      kPlay,        kZoomIn,      kZoomOut,    kCollapse,  kExpand,
                      kNewSession,  kOpenSession, kAddSound};
    CommandContext empty;
    QCOMPARE(EnabledOf(empty, ids),
             (std::set<int>{kZoomIn, kZoomOut, kNewSession, kOpenSession, kAddSound}));

    CommandContext modified;
    modified.modified = modified.hasItems = true;
    QCOMPARE(EnabledOf(modified, ids),
             (std::set<int>{kSaveSession, kSaveAs, kExportWave, kExportMp3, kSelectAll, kPlay,
                            kZoomIn, kZoomOut, kNewSession, kOpenSession, kAddSound}));
    CommandContext busy = modified;
    busy.busy = true;
    QCOMPARE(EnabledOf(busy, ids), std::set<int>{});
    QVERIFY(!StateOf(kExit, busy).enabled);

    // A group shown inside its parent, one selected group in it: collapse and expand.
    CommandContext nested = modified;
    nested.shownGroupHasParent = true;
    nested.selectedCount = nested.selectedGroups = 1;
    QVERIFY(StateOf(kCollapse, nested).enabled && StateOf(kCollapseKey, nested).enabled);
    QVERIFY(StateOf(kExpand, nested).enabled && !StateOf(kExpand, modified).enabled);

    // Zoom limits: in while at least 3, out while below 1024.
    CommandContext zoom;
    zoom.zoom = 2;
    QVERIFY(!StateOf(kZoomIn, zoom).enabled && !StateOf(kZoomInKey, zoom).enabled);
    zoom.zoom = 1024;
    QVERIFY(StateOf(kZoomIn, zoom).enabled && !StateOf(kZoomOut, zoom).enabled);

    // Texts that follow the state.
    CommandContext playing = modified;
    playing.playing = true;
    QCOMPARE(StateOf(kPlay, playing).textKey, "IDS_STOP");
    QCOMPARE(StateOf(kPlay, modified).textKey, "IDS_PLAY");
    QCOMPARE(StateOf(kNewGroup, nested).textKey, "IDS_MAKE_GROUP");
    QCOMPARE(StateOf(kNewGroup, modified).textKey, "IDS_NEW_GROUP");

    // Work still to come stays unavailable whatever the state, the WMA export always; the
    // RealAudio export needs its library.
    for (int id : {kRecord, kRecordMenu, kPreferences, kUndo, kPaste, kCutMenu, kDelete, kNewGroup,
                   kSendToParent, kMixToSingleSound, kLocked, kSoundInfo, kDeletePoint,
                   kCheckForUpdate, kExportWma, kMarkerCommands[0], kNextItem}) {
      QVERIFY2(CommandNotYetAvailable(id) && !StateOf(id, nested).enabled,
               qPrintable(QString::number(id)));
    }
    QVERIFY(!StateOf(kExportRealAudio, modified).enabled);
    CommandContext realAudio = modified;
    realAudio.realAudioAvailable = true;
    QVERIFY(StateOf(kExportRealAudio, realAudio).enabled);
    QVERIFY(StateOf(kExportRealAudio3, realAudio).enabled);
  }

  // The window applies the rules to toolbar, keys and menus; WMA is never shown; RealAudio
  // stays unavailable while its library cannot be loaded.
  void windowAppliesTheRules() {
    MainWindow window;
    CommandContext context;
    context.realAudioAvailable = true;  // claimed, but the library is not there
    window.SetCommandContextSource([&] { return context; });
    window.show();
    QVERIFY(!window.Command(command::kPlay)->isEnabled());
    QVERIFY(!window.Command(command::kPlayKey)->isEnabled());
    QVERIFY(!window.Command(command::kSaveSession)->isEnabled());

    context.hasItems = context.modified = context.playing = true;
    context.selectedCount = 2;
    window.refreshToolbar();
    QVERIFY(window.Command(command::kPlay)->isEnabled());
    QVERIFY(window.Command(command::kSaveSession)->isEnabled());
    OpenEveryMenu(window);
    QCOMPARE(window.Command(command::kPlay)->text().section('\t', 0, 0), QString("Stop"));
    QCOMPARE(window.Command(command::kNewGroup)->text(), QString("Make Into Group..."));
    QVERIFY(window.Command(command::kSaveAs)->isEnabled());
    QVERIFY(!window.Command(command::kExportRealAudio)->isEnabled());

    // A command run refreshes the states after it.
    context.modified = false;
    window.Command(command::kRewind)->trigger();
    QTRY_VERIFY(!window.Command(command::kSaveSession)->isEnabled());

    // Every described command is in the table; the menus show all but the WMA export, also
    // when someone has put it into a menu.
    window.FileMenu()->addAction(window.Command(command::kExportWma));
    OpenEveryMenu(window);
    QList<QAction*> shown;
    for (QAction* top : window.menuBar()->actions()) shown += MenuItems(top->menu());
    QVERIFY(!shown.contains(window.Command(command::kExportWma)));
    for (int id :
         {command::kSaveAs, command::kExportWave, command::kExportMp3, command::kImportPlaylist,
          command::kPreferences, command::kGroupInfo, command::kSoundInfo, command::kHelpTopics,
          command::kCheckForUpdate, command::kMarkerCommands[2], command::kDeletePoint}) {
      QVERIFY2(shown.contains(window.Command(id)), qPrintable(QString::number(id)));
    }
    QCOMPARE(window.RecentFilesAnchor()->isSeparator(), true);
    const QList<QAction*> file = window.FileMenu()->actions();
    QCOMPARE(file.indexOf(window.RecentFilesAnchor()) + 1,
             file.indexOf(window.Command(command::kExit)));

    // Nineteen toolbar slots with their tooltips; the play button's picture follows playing.
    const QList<QAction*> buttons = window.Toolbar()->actions();
    QCOMPARE(buttons.size(), 20);  // and the parameter box
    QCOMPARE(buttons[6], window.Command(command::kPlay));
    QCOMPARE(buttons[6]->toolTip(), QString("Play/Stop (space)"));
    QCOMPARE(buttons[12]->toolTip(), QString("Zoom Out    (+)"));
    const qint64 stopped = buttons[6]->icon().cacheKey();
    window.setPlaying(true);
    QVERIFY(buttons[6]->icon().cacheKey() != stopped);
  }

 private:
  QTemporaryDir strings_;
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
