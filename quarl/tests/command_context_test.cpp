#include <quarl/shell/command_context.h>
#include <quarl/shell/commands.h>
#include <quarl/shell/main_window.h>

#include <QAction>
#include <QTemporaryDir>
#include <QTest>

#include "timeline_fixtures.h"

using namespace timeline_test;

// What the time line tells the state rules, and the window's commands following it.
class CommandContextTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    qputenv("XDG_CACHE_HOME", dir_.filePath("cache").toUtf8());
  }

  void timelineStatesReachTheCommands() {
    const std::string wave = WriteWave(dir_.filePath("tone.wav"), std::vector<int>(50, 8000));
    const std::string session = dir_.filePath("s.sgp").toStdString();
    {
      AtomRef<SessionRootGroup> root(new SessionRootGroup());
      AtomRef<BarSound> locked(LoadSound<BarSound>(wave));
      AtomRef<BarGroup> group(new BarGroup());
      AtomRef<BarSound> inner(LoadSound<BarSound>(wave));
      QVERIFY(locked && inner);
      locked->SetLock(1);
      QVERIFY(inner->Add(group.get(), 0));
      QVERIFY(locked->Add(root.get(), 0) && group->Add(root.get(), 2000));
      QVERIFY(SaveTree(root.get(), session));
    }
    TimelineView view;
    MainWindow window;
    window.SetCommandContextSource([&] { return TimelineContext(view); });
    CommandContext context = TimelineContext(view);
    QVERIFY(!context.hasItems && !context.busy && context.zoom == 20);
    QVERIFY(!window.Command(command::kPlay)->isEnabled());

    QVERIFY(OpenInto(view, session));
    auto* sound = dynamic_cast<TimelineSound*>(view.Root()->GetAtom(0, nullptr));
    auto* group = dynamic_cast<TimelineGroup*>(view.Root()->GetAtom(1, nullptr));
    QVERIFY(sound && group);
    view.Select(&sound->Item());
    context = TimelineContext(view);
    QVERIFY(context.hasItems && context.exactlyOneSelectedLocked);
    QCOMPARE(context.selectedCount, 1);
    QCOMPARE(context.selectedGroups, 0);

    view.Select(&group->Item(), true);
    window.refreshToolbar();
    QVERIFY(window.Command(command::kPlay)->isEnabled());
    QVERIFY(window.Command(command::kExpand)->isEnabled());
    QVERIFY(!window.Command(command::kCollapse)->isEnabled());
    context = TimelineContext(view);
    QVERIFY(!context.exactlyOneSelectedLocked && context.selectedGroups == 1);

    view.ViewGroup(group);
    window.refreshToolbar();
    QVERIFY(window.Command(command::kCollapse)->isEnabled());
    QVERIFY(!window.Command(command::kExpand)->isEnabled());

    view.SetBusy(true, "Saving");
    window.refreshToolbar();
    QVERIFY(!window.Command(command::kCollapse)->isEnabled());
    QVERIFY(!window.Command(command::kNewSession)->isEnabled());
    view.SetBusy(false);
  }

 private:
  QTemporaryDir dir_;
};

QTEST_MAIN(CommandContextTest)
#include "command_context_test.moc"
