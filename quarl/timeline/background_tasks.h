#pragma once

#include <platform/wave_format.h>
#include <session/session_file.h>
#include <sonark/export/conv_file_format.h>
#include <sonark/model/atom_ref.h>
#include <sonark/model/sound_group.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class BarGroup;
class BarSound;
class CPCMMixer;
class SessionRootGroup;

// The kinds of background task, numbered as the program has always numbered them.
enum class TaskType : int {
  kNone = 0,
  kAddSound = 1,
  kOpenSession = 2,
  kSaveSession = 3,
  kRenderWave = 4,
  kRenderMp3 = 6,
  kAddFromPlaylist = 9,
};

// One queued piece of work.
struct BackgroundTask {
  TaskType type = TaskType::kNone;
  // The file to add, open, save or render to.
  std::string path;
  // Shown while the task runs; empty: the type's own text ("IDS_LOADING", "IDS_SAVING", ...).
  std::string text;
  // Adding: where the sound starts (ms of session time) and the height of the lane asked for.
  long startTime = 0;
  int top = 0;
  // Saving and rendering: the group (null: the session root).
  AtomRef<CSoundGroup> group;
  // Rendering: the wave's format (a rate of 0: the group's best format as 16-bit PCM).
  tWAVEFORMATEX format{};
  // Rendering MP3: the encoder settings (a preset in use is applied whole).
  CConv2FileFormat encoder{kWaveFormatMpegLayer3};
};

// What the tasks need of the time line. Every call comes on the worker thread: the view only
// reads and queues there, and does its window work through queued invocations.
class TaskHost {
 public:
  virtual ~TaskHost() = default;

  // The session root and the group new sounds go into.
  virtual SessionRootGroup* Root() = 0;
  virtual CSoundGroup* CurrentGroup() = 0;
  // New, empty atoms of the program's kinds, each with one reference for the caller.
  virtual SessionRootGroup* NewRoot() = 0;
  virtual BarSound* NewSound() = 0;
  virtual BarGroup* NewGroup() = 0;
  // Milliseconds per peak for the sounds the tasks load.
  virtual int PeakResolution() { return 10; }

  // Adds a loaded atom (no parent yet) to the current group at `start` ms of session time and
  // puts its bar in the free lane nearest to `top`; false when it cannot be added.
  virtual bool PlaceNewAtom(CAudioAtom* atom, long start, int top) = 0;
  // Something was added: the extents are recomputed and the session is modified.
  virtual void ContentChanged() = 0;
  // An open replaced the session: `root` (whose reference the host takes over) is the new
  // session, `path` its file ("" for an empty session after a failed or cancelled open); it
  // is not modified. From this call on Root() and CurrentGroup() answer from the new root.
  virtual void SessionReplaced(SessionRootGroup* root, const std::string& path) = 0;
  // The session root was saved to `path`: the path is remembered and the session no longer
  // modified.
  virtual void SessionSaved(const std::string& path) = 0;
  // A task failed: `key` names the message in the strings file ("IDS_READ_ERROR", ...),
  // `detail` says which file and why.
  virtual void TaskFailed(const char* key, const std::string& detail) = 0;
  // The mixer renders run on; it must not be playing while one runs.
  virtual CPCMMixer* RenderMixer() = 0;
};

// The queue of background tasks and the worker thread that runs them one after another:
// started when a task is queued and none runs, ending when the queue is empty (at most one).
// The queue, the running task's state and cancel share one task lock; the worker holds it only
// to take a task and to finish one.
//
// An open salvages a damaged session: what could be read opens as a new, unnamed and modified
// session (so that a save never writes over the damaged file), and what was left out is told.
//
// Cancel stops a render (the partial file is deleted, an existing file keeps its old
// content), a load (an open leaves a new, empty session; an added sound is not added) and a
// save (the file on the disk stays as it was).
class BackgroundTasks {
 public:
  explicit BackgroundTasks(TaskHost* host);
  // Cancels the running task, drops the queued ones and waits for the worker.
  ~BackgroundTasks();
  BackgroundTasks(const BackgroundTasks&) = delete;
  BackgroundTasks& operator=(const BackgroundTasks&) = delete;

  // Called on the worker thread with 0 when a task begins and 1 when it ends.
  void SetBusyCallback(std::function<void(int)> callback);
  // Called on the worker thread when the queue has run empty. It must not queue a task
  // itself (post one instead).
  void SetIdleCallback(std::function<void()> callback);

  void Queue(BackgroundTask task);
  // Whether a task is queued or running.
  bool Busy() const;
  // The running task's text (empty when none runs).
  std::string BusyText() const;
  TaskType RunningType() const;
  // 0 ... 100 for the running task; 100 when none runs.
  int Progress() const;
  // Tells the running task to stop; false when none runs.
  bool Cancel();
  // Waits until the queue is empty and the worker done with it; false after `timeoutMs`.
  bool WaitUntilIdle(int timeoutMs);
  // How many saves of the whole session have gone through, so that a caller can tell whether
  // the one it queued did.
  unsigned long SavesCompleted() const { return saves_completed_.load(); }

 private:
  void RunQueue();
  void Run(BackgroundTask& task);
  void AddSound(BackgroundTask& task);
  void OpenSession(BackgroundTask& task);
  void SaveSession(BackgroundTask& task);
  void Render(BackgroundTask& task);
  bool Cancelled() const { return cancel_.load(); }
  static int LoadProgress(unsigned long amount, void* context);

  TaskHost* host_;
  std::function<void(int)> busy_callback_;
  std::function<void()> idle_callback_;

  mutable std::mutex lock_;
  std::condition_variable idle_;
  std::deque<BackgroundTask> queue_;
  std::thread worker_;
  bool running_ = false;  // the worker takes tasks
  bool busy_ = false;     // a task is queued or running
  TaskType type_ = TaskType::kNone;
  std::string text_;
  bool complete_ = false;  // the running task has done its work
  CPCMMixer* render_mixer_ = nullptr;

  // Progress and cancel of the running task, written by the worker without the lock.
  std::atomic<bool> cancel_{false};
  std::atomic<unsigned long> load_done_{0};
  std::atomic<unsigned long> load_total_{0};
  std::atomic<long> load_items_{0};
  std::atomic<unsigned long> save_estimate_{0};
  std::atomic<unsigned long> saves_completed_{0};
  SaveWatch save_watch_;
};
