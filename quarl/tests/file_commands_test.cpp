#include <quarl/shell/app_settings.h>
#include <quarl/shell/commands.h>
#include <quarl/shell/file_commands.h>
#include <quarl/shell/main_window.h>
#include <quarl/shell/program.h>
#include <quarl/shell/program_mixer.h>
#include <quarl/shell/texts.h>
#include <quarl/tests/program_environment.h>
#include <quarl/timeline/timeline_view.h>
#include <sonark/export/conversion_types.h>
#include <sonark/tests/wave_test_support.h>
#include <sys/stat.h>
#include <tarnell/reg_key.h>

#include <QFileInfo>
#include <QMenu>
#include <QMimeData>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>
#include <cmath>
#include <cstdlib>
#include <memory>

namespace {

using Answer = FileCommands::Answer;

// A 16-bit mono wave of `ms` milliseconds at 22050 Hz.
std::string MakeWave(const QString& path, int ms) {
  std::vector<int16_t> samples(static_cast<size_t>(22050L * ms / 1000));
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>((i % 100) * 200);
  const std::string file = path.toStdString();
  return wave_test::WriteMono16(file, samples, 22050) ? file : std::string();
}

int MemberCount(TimelineView* view) {
  int count = 0;
  while (view->Root()->GetAtom(count, nullptr) != nullptr) ++count;
  return count;
}

}  // namespace

// The file commands of the running program, with the save prompt and the file dialogs
// answered by the test.
class FileCommandsTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(folder_.isValid());
    UseOwnProgramEnvironment(folder_);
    QApplication::setQuitOnLastWindowClosed(false);
    wave_ = MakeWave(folder_.filePath("tone.wav"), 1500);
    QVERIFY(!wave_.empty());
  }

  void cleanup() {
    program_.reset();
    answers_.clear();
    choices_.clear();
    warnings_.clear();
  }

  // The list keeps eight paths, newest first: a ninth drops the oldest, a reused one moves up
  // without a second entry; "&" shows doubled; a file deleted since the last run is neither
  // shown nor saved back.
  void recentSessions() {
    RecentFileList list;
    for (int i = 0; i < 9; ++i) list.Add("/s/" + std::to_string(i) + ".sgp");
    QCOMPARE(list.Paths().size(), size_t{8});
    QCOMPARE(list.Paths().front(), std::string("/s/8.sgp"));
    QCOMPARE(list.Paths().back(), std::string("/s/1.sgp"));
    list.Add("/s/4.sgp");
    QCOMPARE(list.Paths().size(), size_t{8});
    QCOMPARE(list.Paths().front(), std::string("/s/4.sgp"));
    QCOMPARE(RecentMenuText(2, "/a&b/c && d.sgp"), QString("&3 /a&&b/c &&&& d.sgp"));

    const QString kept = folder_.filePath("R&B.sgp");
    const QString gone = folder_.filePath("gone.sgp");
    QVERIFY(wave_test::WriteFile(kept.toStdString(), {'x'}));
    {
      std::unique_ptr<CRegKey> key(CRegKey().CreateSubKey(kSettingsKeyPath));
      key->SetKeyString("RecentFile0", gone.toUtf8().constData());
      key->SetKeyString("RecentFile1", kept.toUtf8().constData());
    }
    Start();
    const auto& items = program_->Files()->RecentMenu().Items();
    QCOMPARE(items.size(), size_t{1});
    QCOMPARE(items[0]->text(), "&1 " + QString(kept).replace("&", "&&"));
    QCOMPARE(items[0]->data().toInt(), command::kRecentFiles[0]);
    program_.reset();
    std::unique_ptr<CRegKey> key(CRegKey().GetSubKey(kSettingsKeyPath));
    QCOMPARE(QString(key->GetKeyString("RecentFile0")), kept);
    QVERIFY(key->GetKeyString("RecentFile1") == nullptr);
  }

  // Yes then a cancelled Save As keeps the program open and the session as it was; a save
  // that cannot write keeps the modified flag and the window; No quits without saving.
  void savePromptOnClose() {
    Start();
    TimelineView* view = program_->View();
    AddAndWait(wave_, 0);
    QVERIFY(view->Modified());

    answers_ = {Answer::kYes};
    choices_ = {""};
    QVERIFY(!program_->Window()->close());
    QVERIFY(program_->Window()->isVisible());
    QVERIFY(view->Modified());
    QCOMPARE(MemberCount(view), 1);
    QVERIFY(answers_.isEmpty() && choices_.isEmpty());

    const QString session = folder_.filePath("prompt.sgp");
    choices_ = {session};
    QVERIFY(program_->Files()->SaveAs());
    QVERIFY(!view->Modified());
    QCOMPARE(QString::fromStdString(view->SessionPath()), session);
    AddAndWait(wave_, 5000);
    const auto before = wave_test::ReadFile(session.toStdString());
    QCOMPARE(chmod(session.toUtf8().constData(), 0444), 0);
    answers_ = {Answer::kYes};
    QVERIFY(!program_->Window()->close());
    QVERIFY(view->Modified());
    QCOMPARE(warnings_.size(), 1);
    QVERIFY(warnings_[0].startsWith(Text("IDS_FILEINUSE")));
    QVERIFY(wave_test::ReadFile(session.toStdString()) == before);

    answers_ = {Answer::kNo};
    QVERIFY(program_->Window()->close());
    QVERIFY(wave_test::ReadFile(session.toStdString()) == before);
  }

  // Save As by extension: a wave and an MP3 of the session's length that sox and ffprobe
  // read; a target that cannot be written is refused with the in-use message, untouched.
  void saveAsExports() {
    if (!wave_test::HaveTool("sox") || !wave_test::HaveTool("ffprobe"))
      QSKIP("sox and ffprobe are needed to read the exports");
    Start();
    TimelineView* view = program_->View();
    AddAndWait(wave_, 250);
    // The mix runs from 0 to the end of the last sound.
    const long length = 1750;

    const std::string wave = folder_.filePath("x.wav").toStdString();
    choices_ = {QString::fromStdString(wave)};
    QVERIFY(!program_->Files()->SaveAs());
    QVERIFY(view->Tasks().WaitUntilIdle(30000));
    QCOMPARE(std::stol(wave_test::Output("sox --i -s " + wave)), 22050L * length / 1000);
    QVERIFY(view->Modified());

    const std::string blocked = folder_.filePath("blocked.wav").toStdString();
    QVERIFY(wave_test::WriteFile(blocked, {'o', 'l', 'd'}));
    QCOMPARE(chmod(blocked.c_str(), 0444), 0);
    choices_ = {QString::fromStdString(blocked)};
    QVERIFY(!program_->Files()->SaveAs());
    QCOMPARE(warnings_.size(), 1);
    QVERIFY(warnings_[0].startsWith(Text("IDS_FILEINUSE")));
    QVERIFY(!view->Tasks().Busy());
    QVERIFY(wave_test::ReadFile(blocked) == wave_test::Bytes({'o', 'l', 'd'}));

    if ((TheAppSettings().preferences.convertersAvailable & (1u << fctMP3)) == 0)
      QSKIP("no MP3 encoder library beside the engine");
    const std::string mp3 = folder_.filePath("x.mp3").toStdString();
    choices_ = {QString::fromStdString(mp3)};
    QVERIFY(!program_->Files()->SaveAs());
    QVERIFY(view->Tasks().WaitUntilIdle(60000));
    QCOMPARE(warnings_.size(), 1);
    const QStringList probe =
        QString::fromStdString(wave_test::Output("ffprobe -v error -show_entries "
                                                 "stream=sample_rate,duration -of csv=p=0 " +
                                                 mp3))
            .trimmed()
            .split(',');
    QCOMPARE(probe.size(), 2);
    const double rate = probe[0].toDouble();
    const double samples = probe[1].toDouble() * rate;
    QVERIFY2(std::abs(samples - rate * length / 1000.0) <= 1105 + 1152,
             qPrintable(probe.join(',')));
  }

  // A session saved, opened and saved again unchanged is the same file; a change saved and
  // opened again is there. A session that cannot be read leaves a new, unnamed session, and a
  // damaged one opens what could be read, unnamed: a save then asks for a name.
  void saveOpenAndFailedOpens() {
    Start();
    TimelineView* view = program_->View();
    AddAndWait(wave_, 0);
    const QString first = folder_.filePath("first.sgp");
    choices_ = {first};
    QVERIFY(program_->Files()->SaveAs());
    choices_ = {first};
    program_->Files()->Open();
    WaitIdle();
    QCOMPARE(MemberCount(view), 1);
    const QString second = folder_.filePath("second.sgp");
    choices_ = {second};
    QVERIFY(program_->Files()->SaveAs());
    QVERIFY(wave_test::ReadFile(first.toStdString()) == wave_test::ReadFile(second.toStdString()));

    AddAndWait(wave_, 3000);
    QVERIFY(program_->Files()->Save());
    answers_ = {Answer::kNo};
    program_->Files()->New();
    QCOMPARE(MemberCount(view), 0);
    program_->Files()->OpenPath(second.toStdString());
    WaitIdle();
    QCOMPARE(MemberCount(view), 2);
    QCOMPARE(QString::fromStdString(view->SessionPath()), second);

    const std::string bad = folder_.filePath("bad.sgp").toStdString();
    const wave_test::Bytes junk = wave_test::Riff("sess", {{"junk", {1, 2, 3}}});
    QVERIFY(wave_test::WriteFile(bad, junk));
    program_->Files()->OpenPath(bad);
    WaitIdle();
    QCOMPARE(warnings_.size(), 1);
    QVERIFY(view->SessionPath().empty());
    AddAndWait(wave_, 0);
    choices_ = {""};
    QTest::keyClick(program_->Window(), Qt::Key_S, Qt::ControlModifier);
    QVERIFY(choices_.isEmpty());
    QVERIFY(wave_test::ReadFile(bad) == junk);

    // The second sound's records cut short: the first sound is what can be read.
    auto damaged = wave_test::ReadFile(second.toStdString());
    damaged.resize(damaged.size() - 40);
    const std::string cut = folder_.filePath("cut.sgp").toStdString();
    QVERIFY(wave_test::WriteFile(cut, damaged));
    answers_ = {Answer::kNo};
    QVERIFY(program_->Files()->PromptToSave());
    program_->Files()->OpenPath(cut);
    WaitIdle();
    QVERIFY(view->SessionPath().empty());
    QVERIFY(view->Modified());
    QCOMPARE(MemberCount(view), 1);
  }

  // A wave, an MP3 and a playlist dropped on the bars are added at the time under the drop.
  void droppedFiles() {
    if (!wave_test::HaveTool("lame")) QSKIP("lame is needed to make an MP3 to drop");
    const std::string mp3 = folder_.filePath("drop.mp3").toStdString();
    QVERIFY(wave_test::Run("lame --quiet " + wave_ + " " + mp3));
    const QString playlist = folder_.filePath("list.pls");
    QVERIFY(wave_test::WriteFile(
        playlist.toStdString(),
        wave_test::Text("[playlist]\nFile1=" + wave_ + "\nNumberOfEntries=1\nVersion=2\n")));
    Start();
    TimelineView* view = program_->View();
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(wave_)),
                  QUrl::fromLocalFile(QString::fromStdString(mp3)), QUrl::fromLocalFile(playlist)});
    const QPoint at = view->BarWindow()->mapTo(view, QPoint(100, 10));
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view, &drop);
    QVERIFY(drop.isAccepted());
    WaitIdle();
    QCOMPARE(MemberCount(view), 3);
    const long time = view->Transform().ToLogicalX(100);
    for (int i = 0; i < 3; ++i) {
      long offset = -1;
      view->Root()->GetAtom(i, &offset);
      QCOMPARE(offset, time);
    }
  }

  // Help shows our page with the desktop's viewer, and says so when that fails.
  void helpPage() {
    Start();
    QString shown;
    program_->Files()->UseDialogs().showFile = [&shown](const QString& page) {
      shown = page;
      return true;
    };
    program_->Window()->Command(command::kHelpTopics)->trigger();
    QVERIFY2(shown.endsWith("/help.html") && QFileInfo(shown).isFile(), qPrintable(shown));
    QVERIFY(warnings_.isEmpty());
    program_->Files()->UseDialogs().showFile = [](const QString&) { return false; };
    program_->Window()->Command(command::kHelpTopics)->trigger();
    QCOMPARE(warnings_, QStringList{Text("IDS_MISSING_HELP")});
  }

  // Open (Ctrl+O), add (the File menu from the keyboard), play and stop (Space), save
  // (Ctrl+S): no mouse.
  void keyboardWalk() {
    const QString session = folder_.filePath("walk.sgp");
    Start();
    AddAndWait(wave_, 0);
    choices_ = {session};
    QVERIFY(program_->Files()->SaveAs());
    Start();
    MainWindow* window = program_->Window();
    TimelineView* view = program_->View();
    QApplication::setActiveWindow(window);
    choices_ = {session};
    QTest::keyClick(window, Qt::Key_O, Qt::ControlModifier);
    WaitIdle();
    QCOMPARE(MemberCount(view), 1);

    choices_ = {QString::fromStdString(wave_)};
    QTest::keyClick(window, Qt::Key_F, Qt::AltModifier);
    QTRY_VERIFY(QApplication::activePopupWidget() != nullptr);
    QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_A);
    QTRY_VERIFY(choices_.isEmpty());
    WaitIdle();
    QCOMPARE(MemberCount(view), 2);

    QApplication::setActiveWindow(window);
    QTest::keyClick(window, Qt::Key_Space);
    QTRY_VERIFY(TheProgramMixer()->Playing());
    QTest::keyClick(window, Qt::Key_Space);
    QTRY_VERIFY(!TheProgramMixer()->Playing());

    QTest::keyClick(window, Qt::Key_S, Qt::ControlModifier);
    QVERIFY(!view->Modified());
    answers_ = {Answer::kNo};
    program_->Files()->New();
    program_->Files()->OpenPath(session.toStdString());
    WaitIdle();
    QCOMPARE(MemberCount(view), 2);
  }

 private:
  void Start() {
    program_.reset();
    {
      std::unique_ptr<CRegKey> key(CRegKey().CreateSubKey(kSettingsKeyPath));
      key->SetKeyNum("FirstTime", 0);
    }
    program_ = std::make_unique<Program>(Program::Options{});
    QVERIFY(program_->Start());
    FileCommands::Dialogs& dialogs = program_->Files()->UseDialogs();
    dialogs.askToSave = [this](const QString&) {
      return answers_.isEmpty() ? Answer::kCancel : answers_.takeFirst();
    };
    dialogs.chooseFile = [this](const QString&, const QString&, const QString&, bool) {
      return choices_.isEmpty() ? QString() : choices_.takeFirst();
    };
    dialogs.warn = [this](const QString& text) { warnings_ << text; };
    dialogs.showFile = [](const QString&) { return false; };
  }

  void WaitIdle() {
    QTRY_VERIFY_WITH_TIMEOUT(!program_->View()->Tasks().Busy(), 30000);
    QTest::qWait(50);
  }

  void AddAndWait(const std::string& path, long start) {
    program_->Files()->AddFile(path, start, 0);
    WaitIdle();
  }

  QTemporaryDir folder_;
  std::string wave_;
  std::unique_ptr<Program> program_;
  QList<Answer> answers_;
  QStringList choices_;
  QStringList warnings_;
};

QTEST_MAIN(FileCommandsTest)
#include "file_commands_test.moc"
