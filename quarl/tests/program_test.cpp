#include <quarl/shell/app_settings.h>
#include <quarl/shell/main_window.h>
#include <quarl/shell/program.h>
#include <quarl/shell/program_mixer.h>
#include <quarl/tests/program_environment.h>
#include <quarl/timeline/timeline_atoms.h>
#include <quarl/timeline/timeline_item.h>
#include <quarl/timeline/timeline_view.h>
#include <tarnell/reg_key.h>

#include <QGuiApplication>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdlib>
#include <memory>

// The program from its start to its exit, on the offscreen platform with the null device and a
// settings store of its own; the example session lies beside the test programs.
class ProgramTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(folder_.isValid());
    UseOwnProgramEnvironment(folder_);
  }

  // A first run opens the example session centred at 636 x 460 and plays it once; the exit
  // saves the settings, so the next start neither plays nor opens the example again, and opens
  // the session named on its command line instead.
  void firstRunPlaysTheExampleOnceAndTheExitRemembersIt() {
    {
      Program program(Program::Options{});
      QVERIFY(program.Start());
      MainWindow* window = program.Window();
      QCOMPARE(window->geometry().size(), QSize(636, 460));
      const QRect desktop = QGuiApplication::primaryScreen()->availableGeometry();
      QVERIFY(qAbs(window->geometry().center().x() - desktop.center().x()) <= 1);
      QTRY_VERIFY_WITH_TIMEOUT(TheProgramMixer() != nullptr && TheProgramMixer()->Playing(), 20000);
      QVERIFY(program.View()->Root()->GetAtom(0, nullptr) != nullptr);
      QCOMPARE(TheAppSettings().firstTime, 0u);
      QTRY_VERIFY_WITH_TIMEOUT(program.View()->Cursor().Position() > 0, 5000);
      program.PlayOrStop();
      QVERIFY(!TheProgramMixer()->Playing());
    }
    CRegKey machine;
    std::unique_ptr<CRegKey> key(machine.GetSubKey(kSettingsKeyPath));
    QVERIFY(key != nullptr);
    QCOMPARE(key->GetKeyNum("FirstTime"), 0ul);
    unsigned long size = 0;
    QVERIFY(key->GetKeyData("LastWinRect", &size) != nullptr);
    QCOMPARE(size, 16ul);
    QVERIFY(QString(key->GetKeyString("RecentFile0")).endsWith("example.sgp"));

    const QString session = QCoreApplication::applicationDirPath() + "/example.sgp";
    Program::Options options;
    options.file = session.toStdString();
    Program again(options);
    QVERIFY(again.Start());
    // The loaded root arrives from the worker at once, its path with the window's next events.
    QTRY_VERIFY_WITH_TIMEOUT(!again.View()->Busy() && again.View()->Root()->GetAtom(0, nullptr) &&
                                 !again.View()->SessionPath().empty(),
                             20000);
    QCOMPARE(QString::fromStdString(again.View()->SessionPath()), session);
    QVERIFY(!again.View()->Modified());
    QTest::qWait(100);
    QVERIFY(!TheProgramMixer()->Playing());

    // A selected item with a selection time range plays on its own from the range's start.
    TimelineView* view = again.View();
    view->Select(ItemOf(view->Root()->GetAtom(0, nullptr)));
    view->SetSelectionRanges({{1000, 3000}});
    again.PlayOrStop();
    QVERIFY(TheProgramMixer()->Playing());
    QVERIFY(view->Cursor().Position() >= 1000);
    again.PlayOrStop();
    QVERIFY(!TheProgramMixer()->Playing());
  }

 private:
  QTemporaryDir folder_;
};

QTEST_MAIN(ProgramTest)
#include "program_test.moc"
