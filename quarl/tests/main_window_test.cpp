#include <quarl/shell/commands.h>
#include <quarl/shell/main_window.h>
#include <quarl/shell/status_panel.h>
#include <utilities/string_table.h>

#include <QAction>
#include <QComboBox>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(strings_.isValid());
    const QString path = strings_.filePath("quarl-strings.ini");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[Strings]\nProgramName=Tessel\nIDS_READYREADY=Ready\n"
               "SESSION_NAME_FMT=%s - %s\nSESSION_NAME_FMT_MOD=%s - %s *\n"
               "SESSION_NAME_DEFAULT=Untitled\nIDS_PLAY=Play\nIDS_STOP=Stop\n");
    file.close();
    SetStringFile(path.toUtf8().constData());
  }

  // A task's progress is polled into the status panel every 50 ms; the window takes no
  // commands and refuses to close until the task has ended.
  void busyStateShowsProgressAndHoldsTheWindow() {
    MainWindow window;
    window.show();
    int percent = 0;
    window.SetProgressSource([&] { return percent; });
    window.busyBegin("Loading", true);
    QCOMPARE(window.Status()->PaneText(0), QString("Loading.....0% "));
    QVERIFY(window.Status()->ProgressShown());
    QVERIFY(window.Status()->CancelShown());
    QVERIFY(!window.Toolbar()->isEnabled());
    percent = 42;
    QTRY_COMPARE_WITH_TIMEOUT(window.Status()->PaneText(0), QString("Loading.....42% "), 1000);
    QVERIFY(!window.close());
    QSignalSpy ended(&window, &MainWindow::busyEnded);
    window.busyEnd();
    QCOMPARE(ended.count(), 1);
    QCOMPARE(window.Status()->PaneText(0), QString("Ready"));
    QVERIFY(!window.Status()->ProgressShown());
    QVERIFY(window.Toolbar()->isEnabled());
    QVERIFY(window.close());
  }

  // The title follows the session, and the keys reach the commands they stand for.
  void titleAndKeys() {
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
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QSignalSpy play(window.Command(command::kPlay), &QAction::triggered);
    QSignalSpy zoomIn(window.Command(command::kZoomIn), &QAction::triggered);
    QSignalSpy zoomOut(window.Command(command::kZoomOut), &QAction::triggered);
    QSignalSpy rewind(window.Command(command::kRewind), &QAction::triggered);
    QTest::keyClick(&window, Qt::Key_Space);
    QTest::keyClick(&window, Qt::Key_Minus);
    QTest::keyClick(&window, Qt::Key_Plus);
    QTest::keyClick(&window, Qt::Key_Equal);
    QTest::keyClick(&window, Qt::Key_Home);
    QCOMPARE(play.count(), 1);
    QCOMPARE(zoomIn.count(), 1);
    QCOMPARE(zoomOut.count(), 2);
    QCOMPARE(rewind.count(), 1);
    window.setPlaying(true);
    QCOMPARE(window.Command(command::kPlay)->text(), QString("Stop"));
  }

 private:
  QTemporaryDir strings_;
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
