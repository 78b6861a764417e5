#include <dirent.h>
#include <platform/byte_order.h>
#include <quarl/timeline/background_tasks.h>
#include <session/session_atoms.h>
#include <sonark/mixer/pcm_mixer.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <QTest>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

// A mono 16-bit wave at 22050 Hz of `ms` milliseconds of a ramp.
void WriteWave(const std::string& path, long ms) {
  const uint32_t frames = static_cast<uint32_t>(22050L * ms / 1000);
  std::vector<unsigned char> bytes(44 + 2 * frames);
  unsigned char* p = bytes.data();
  auto tag = [](unsigned char* at, const char* text) { std::memcpy(at, text, 4); };
  tag(p, "RIFF");
  platform::PutLe32(p + 4, static_cast<uint32_t>(bytes.size() - 8));
  tag(p + 8, "WAVE");
  tag(p + 12, "fmt ");
  platform::PutLe32(p + 16, 16);
  platform::PutLe32(p + 20, 1 | 1 << 16);  // PCM, one channel
  platform::PutLe32(p + 24, 22050);
  platform::PutLe32(p + 28, 44100);
  platform::PutLe32(p + 32, 2 | 16 << 16);  // block 2, 16 bits
  tag(p + 36, "data");
  platform::PutLe32(p + 40, 2 * frames);
  for (uint32_t i = 0; i < frames; ++i) {
    const int16_t v = static_cast<int16_t>((i % 2000) * 8);
    p[44 + 2 * i] = static_cast<unsigned char>(v);
    p[45 + 2 * i] = static_cast<unsigned char>(v >> 8);
  }
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<char*>(p), static_cast<long>(bytes.size()));
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int FilesIn(const std::string& folder) {
  int count = 0;
  DIR* dir = opendir(folder.c_str());
  while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.' || entry->d_name[1] > '.';
  closedir(dir);
  return count;
}

// The time line as far as the tasks see it: a root of plain session atoms, and a log of what
// the tasks told it, in order.
class TestHost : public TaskHost {
 public:
  TestHost() : root_(new SessionRootGroup()), mixer_(new CPCMMixer(nullptr)) {}

  SessionRootGroup* Root() override {
    std::lock_guard<std::mutex> guard(lock_);
    return root_.get();
  }
  CSoundGroup* CurrentGroup() override { return Root(); }
  SessionRootGroup* NewRoot() override { return new SessionRootGroup(); }
  BarSound* NewSound() override { return new BarSound(); }
  BarGroup* NewGroup() override { return new BarGroup(); }
  bool PlaceNewAtom(CAudioAtom* atom, long start, int top) override {
    Log("placed " + std::to_string(start) + " " + std::to_string(top));
    return atom->Add(CurrentGroup(), start) != nullptr;
  }
  void ContentChanged() override { Log("changed"); }
  void SessionReplaced(SessionRootGroup* root, const std::string& path) override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      root_.reset(root);
    }
    Log("replaced " + path);
  }
  void SessionSaved(const std::string& path) override { Log("saved " + path); }
  void TaskFailed(const char* key, const std::string&) override { Log(key); }
  CPCMMixer* RenderMixer() override { return mixer_.get(); }

  void Log(const std::string& line) {
    std::lock_guard<std::mutex> guard(lock_);
    log_.push_back(line);
  }
  std::vector<std::string> TakeLog() {
    std::lock_guard<std::mutex> guard(lock_);
    return std::exchange(log_, {});
  }

 private:
  std::mutex lock_;
  AtomRef<SessionRootGroup> root_;
  std::unique_ptr<CPCMMixer> mixer_;
  std::vector<std::string> log_;
};

BackgroundTask Task(TaskType type, const std::string& path, long start = 0, int top = 0) {
  BackgroundTask task;
  task.type = type;
  task.path = path;
  task.startTime = start;
  task.top = top;
  return task;
}

}  // namespace

class BackgroundTasksTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    folder_ = dir_->path().toStdString();
    wave_ = folder_ + "/tone.wav";
    WriteWave(wave_, 1500);
  }

  // Tasks run in the order queued, each between a busy 0 and a busy 1, and each has done its
  // work (progress 100) when it ends; files that are not sounds are refused by kind.
  void queueRunsInOrderWithBusyPairs() {
    TestHost host;
    BackgroundTasks tasks(&host);
    std::vector<int> busy;
    std::vector<int> progress_at_end;
    tasks.SetBusyCallback([&](int state) {
      busy.push_back(state);
      if (state == 1) progress_at_end.push_back(tasks.Progress());
    });
    const std::string text = folder_ + "/notes.txt";
    std::ofstream(text) << "not a sound at all";
    const std::string session = folder_ + "/song.sgp";
    // What a save killed in a process long gone left behind goes with the next save.
    const std::string leftover = folder_ + "/.song.sgp.tmp-999999";
    std::ofstream(leftover) << "RIFF";

    tasks.Queue(Task(TaskType::kAddSound, wave_, 2500, 72));
    tasks.Queue(Task(TaskType::kAddSound, text));
    tasks.Queue(Task(TaskType::kAddFromPlaylist, folder_ + "/gone.wav"));
    tasks.Queue(Task(TaskType::kSaveSession, session));
    tasks.Queue(Task(TaskType::kOpenSession, session));
    tasks.Queue(Task(TaskType::kAddSound, session, 9000));
    QVERIFY(tasks.Busy());
    QVERIFY(tasks.WaitUntilIdle(30000));

    QCOMPARE(busy, std::vector<int>({0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1}));
    QCOMPARE(progress_at_end, std::vector<int>(6, 100));
    QCOMPARE(tasks.Progress(), 100);
    QVERIFY(!tasks.Busy());
    QVERIFY(access(leftover.c_str(), F_OK) != 0);
    const std::vector<std::string> expected = {"placed 2500 72",     "changed",
                                               "IDS_UNKNOWN_FORMAT", "IDS_READ_ERROR",
                                               "saved " + session,   "replaced " + session,
                                               "placed 9000 0",      "changed"};
    QCOMPARE(host.TakeLog(), expected);

    // The opened session holds the sound where it was added, and the added session came in
    // as a group holding that sound.
    SessionRootGroup* root = host.Root();
    QCOMPARE(root->NumAtoms(kAtomTypeMembers, 0), 2);
    long offset = 0;
    CAudioAtom* sound = root->GetAtom(0, &offset);
    QCOMPARE(offset, 2500L);
    QVERIFY(dynamic_cast<BarSound*>(sound) != nullptr);
    QCOMPARE(sound->Length(0), 1500L);
    auto* group = dynamic_cast<BarGroup*>(root->GetAtom(1, &offset));
    QVERIFY(group != nullptr);
    QCOMPARE(offset, 9000L);
    QCOMPARE(group->NumAtoms(kAtomTypeMembers, 0), 1);
    QCOMPARE(std::string(group->GetInfo()->name), std::string("song.sgp"));
  }

  // Cancelled as they begin: a render leaves the old file and no partial one, an open leaves
  // an empty session, a save leaves the old file byte for byte; none is reported as failed.
  void cancelStopsRenderLoadAndSave() {
    TestHost host;
    BackgroundTasks tasks(&host);
    std::vector<bool> cancelled;
    tasks.SetBusyCallback([&](int state) {
      if (state == 0) cancelled.push_back(tasks.Cancel());
    });
    const std::string session = folder_ + "/song.sgp";
    const std::string wave_out = folder_ + "/mix.wav";
    {
      BackgroundTasks setup(&host);
      setup.Queue(Task(TaskType::kAddSound, wave_, 0));
      setup.Queue(Task(TaskType::kSaveSession, session));
      QVERIFY(setup.WaitUntilIdle(30000));
    }
    host.TakeLog();
    std::ofstream(wave_out) << "an older mix";
    const std::string old_session = ReadAll(session);
    const int files = FilesIn(folder_);

    tasks.Queue(Task(TaskType::kRenderWave, wave_out));
    tasks.Queue(Task(TaskType::kRenderWave, folder_ + "/new-mix.wav"));
    host.Root()->Markers().Add(700, "added after the save", 1, 0);
    tasks.Queue(Task(TaskType::kSaveSession, session));
    tasks.Queue(Task(TaskType::kOpenSession, session));
    QVERIFY(tasks.WaitUntilIdle(30000));

    QCOMPARE(cancelled, std::vector<bool>(4, true));
    QCOMPARE(ReadAll(wave_out), std::string("an older mix"));
    QCOMPARE(ReadAll(session), old_session);
    QCOMPARE(FilesIn(folder_), files);
    QCOMPARE(host.TakeLog(), std::vector<std::string>({"replaced "}));
    QCOMPARE(host.Root()->NumAtoms(kAtomTypeMembers, 0), 0);
    QCOMPARE(host.Root()->Markers().Count(), 1);

    // Not cancelled, the same render replaces the old file with the whole mix.
    tasks.SetBusyCallback(nullptr);
    BackgroundTasks again(&host);
    again.Queue(Task(TaskType::kOpenSession, session));
    again.Queue(Task(TaskType::kRenderWave, wave_out));
    // A session that cannot be opened leaves an empty one, and says so.
    again.Queue(Task(TaskType::kOpenSession, folder_ + "/gone.sgp"));
    QVERIFY(again.WaitUntilIdle(30000));
    const std::vector<std::string> reported = {"replaced " + session, "replaced ",
                                               "IDS_CANT_OPEN_FILE"};
    QCOMPARE(host.TakeLog(), reported);
    const std::string mix = ReadAll(wave_out);
    QCOMPARE(mix.substr(0, 4), std::string("RIFF"));
    // The session's best format: stereo, 16 bits, 22050 Hz; 1.5 s of it.
    QVERIFY(mix.size() >= 46 + 132300u);
    QCOMPARE(platform::GetLe32(reinterpret_cast<const unsigned char*>(mix.data()) + 24), 22050u);
  }

 private:
  std::unique_ptr<QTemporaryDir> dir_;
  std::string folder_;
  std::string wave_;
};

QTEST_MAIN(BackgroundTasksTest)
#include "background_tasks_test.moc"
