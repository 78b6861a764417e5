#include <platform/byte_order.h>
#include <platform/last_error.h>
#include <quarl/timeline/background_tasks.h>
#include <session/safe_replace.h>
#include <session/session_atoms.h>
#include <sonark/error_messages.h>
#include <sonark/errors.h>
#include <sonark/export/conv_file_format.h>
#include <sonark/export/conv_wave_file.h>
#include <sonark/load/initial_load.h>
#include <sonark/load/music_info.h>
#include <sonark/mixer/pcm_mixer.h>
#include <sonark/render/buffer_format.h>
#include <sys/stat.h>
#include <tarnell/errors.h>
#include <tarnell/file_obj.h>
#include <tarnell/ref_ptr.h>
#include <tarnell/riff.h>
#include <utilities/string_table.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

constexpr unsigned long kSessionForm = tarnell::FourCC("sess");
constexpr unsigned long kWaveForm = tarnell::FourCC("WAVE");
constexpr unsigned long kMpegForm = tarnell::FourCC("RMP3");
constexpr long kSoundBufferMs = 2000;

enum class FileKind { kUnreadable, kUnknown, kSession, kSound };

// What an added file is, from its first bytes: a session, a wave the engine loads, or
// something else. Only regular files are opened: a FIFO would hold the worker for ever.
FileKind KindOfFile(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return FileKind::kUnreadable;
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return FileKind::kUnreadable;
  unsigned char head[12] = {};
  const size_t got = fread(head, 1, sizeof head, file);
  const bool failed = ferror(file) != 0;
  fclose(file);
  if (failed) return FileKind::kUnreadable;
  // MPEG audio has no header of its own to tell it by: its name does, as for the engine.
  const FileKind byName = HasMpegExtension(path.c_str()) ? FileKind::kSound : FileKind::kUnknown;
  if (got < sizeof head || std::memcmp(head, "RIFF", 4) != 0) return byName;
  const unsigned long form = platform::GetLe32(head + 8);
  if (form == kSessionForm) return FileKind::kSession;
  if (form == kWaveForm || form == kMpegForm) return FileKind::kSound;
  return byName;
}

std::string FileName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Describe(const std::string& path, unsigned long code) {
  return path + ": " + sonark::DescribeErrorCode(code);
}

std::string TextOf(const char* key) {
  char text[260] = "";
  MyLoadString(key, text, sizeof text);
  return text;
}

const char* DefaultTextKey(const BackgroundTask& task) {
  switch (task.type) {
    case TaskType::kAddFromPlaylist:
      return "IDS_IMPORTING_PLAYLIST";
    case TaskType::kSaveSession:
      return task.group ? "IDS_SAVING_GROUP" : "IDS_SAVING";
    case TaskType::kRenderWave:
      return "IDS_RENDERING";
    default:
      return "IDS_LOADING";
  }
}

// The sounds a load had to leave out, for one message after it.
class MissingSounds {
 public:
  MissingSounds() {
    SetLoadProblemHandler([this](const char* path, const char* name, unsigned long code) {
      if (!list_.empty()) list_ += "\n";
      list_ += Describe(path[0] != '\0' ? path : name, code);
    });
  }
  ~MissingSounds() { SetLoadProblemHandler(nullptr); }
  MissingSounds(const MissingSounds&) = delete;
  MissingSounds& operator=(const MissingSounds&) = delete;
  const std::string& List() const { return list_; }

 private:
  std::string list_;
};

// Hands the mixer's blocks to the wave writer and stops the mix once the task is cancelled.
struct RenderSink {
  CConv2WaveFile* writer;
  const std::atomic<bool>* cancel;
  unsigned long error = 0;
  bool failed = false;
};

TDataWriteCode FeedWriter(void* data, long* length, void* context) {
  auto* sink = static_cast<RenderSink*>(context);
  if (sink->cancel->load()) return dwcStop;
  long written = 0;
  if (sink->writer->WriteStreamData(data, *length, &written) >= 0 && written == *length)
    return dwcNextBlock;
  sink->failed = true;
  sink->error = platform::last_error();
  return dwcStop;
}

}  // namespace

BackgroundTasks::BackgroundTasks(TaskHost* host) : host_(host) {}

BackgroundTasks::~BackgroundTasks() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    queue_.clear();
    cancel_ = true;
    save_watch_.cancel = true;
  }
  if (worker_.joinable()) worker_.join();
}

void BackgroundTasks::SetBusyCallback(std::function<void(int)> callback) {
  std::lock_guard<std::mutex> guard(lock_);
  busy_callback_ = std::move(callback);
}

void BackgroundTasks::SetIdleCallback(std::function<void()> callback) {
  std::lock_guard<std::mutex> guard(lock_);
  idle_callback_ = std::move(callback);
}

void BackgroundTasks::Queue(BackgroundTask task) {
  if (task.text.empty()) task.text = TextOf(DefaultTextKey(task));
  std::thread finished;
  {
    std::lock_guard<std::mutex> guard(lock_);
    queue_.push_back(std::move(task));
    busy_ = true;
    if (running_) return;
    running_ = true;
    finished = std::move(worker_);
  }
  // The last worker has left its loop; it only has its idle call to finish.
  if (finished.joinable()) {
    if (finished.get_id() == std::this_thread::get_id()) {
      finished.detach();
    } else {
      finished.join();
    }
  }
  std::lock_guard<std::mutex> guard(lock_);
  worker_ = std::thread(&BackgroundTasks::RunQueue, this);
}

bool BackgroundTasks::Busy() const {
  std::lock_guard<std::mutex> guard(lock_);
  return busy_;
}

std::string BackgroundTasks::BusyText() const {
  std::lock_guard<std::mutex> guard(lock_);
  return text_;
}

TaskType BackgroundTasks::RunningType() const {
  std::lock_guard<std::mutex> guard(lock_);
  return type_;
}

int BackgroundTasks::Progress() const {
  std::lock_guard<std::mutex> guard(lock_);
  if (type_ == TaskType::kNone || complete_) return 100;
  double percent = 0.0;
  switch (type_) {
    case TaskType::kAddSound:
    case TaskType::kAddFromPlaylist:
    case TaskType::kOpenSession: {
      const double total = static_cast<double>(load_total_.load());
      const double items = static_cast<double>(load_items_.load());
      percent = total > 0.0 ? static_cast<double>(load_done_.load()) * 100.0 / total
                            : items * 100.0 / (items + 1.0);
      break;
    }
    case TaskType::kSaveSession: {
      const double estimate = static_cast<double>(save_estimate_.load());
      percent =
          estimate > 0.0 ? static_cast<double>(save_watch_.written.load()) * 100.0 / estimate : 0.0;
      break;
    }
    case TaskType::kRenderWave:
      percent = render_mixer_ != nullptr ? render_mixer_->GetPercentageMixedToFile() : 0.0;
      break;
    case TaskType::kNone:
      break;
  }
  return static_cast<int>(std::clamp(percent, 0.0, 100.0));
}

bool BackgroundTasks::Cancel() {
  std::lock_guard<std::mutex> guard(lock_);
  if (type_ == TaskType::kNone) return false;
  cancel_ = true;
  save_watch_.cancel = true;
  return true;
}

bool BackgroundTasks::WaitUntilIdle(int timeoutMs) {
  std::unique_lock<std::mutex> guard(lock_);
  return idle_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [this] { return !busy_; });
}

void BackgroundTasks::RunQueue() {
  for (;;) {
    BackgroundTask task;
    std::function<void(int)> busy;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (queue_.empty()) {
        running_ = false;
        busy_ = false;
        type_ = TaskType::kNone;
        idle_.notify_all();
        break;
      }
      task = std::move(queue_.front());
      queue_.pop_front();
      type_ = task.type;
      text_ = task.text;
      complete_ = false;
      cancel_ = false;
      load_done_ = 0;
      load_total_ = 0;
      load_items_ = 0;
      save_estimate_ = 0;
      save_watch_.written = 0;
      save_watch_.cancel = false;
      busy = busy_callback_;
    }
    if (busy) busy(0);
    Run(task);
    {
      std::lock_guard<std::mutex> guard(lock_);
      complete_ = true;
    }
    if (busy) busy(1);
    std::lock_guard<std::mutex> guard(lock_);
    type_ = TaskType::kNone;
    text_.clear();
  }
  std::function<void()> idle;
  {
    std::lock_guard<std::mutex> guard(lock_);
    idle = idle_callback_;
  }
  if (idle) idle();
}

void BackgroundTasks::Run(BackgroundTask& task) {
  switch (task.type) {
    case TaskType::kAddSound:
    case TaskType::kAddFromPlaylist:
      AddSound(task);
      break;
    case TaskType::kOpenSession:
      OpenSession(task);
      break;
    case TaskType::kSaveSession:
      SaveSession(task);
      break;
    case TaskType::kRenderWave:
      Render(task);
      break;
    case TaskType::kNone:
      break;
  }
}

int BackgroundTasks::LoadProgress(unsigned long amount, void* context) {
  auto* self = static_cast<BackgroundTasks*>(context);
  if (amount == 0) {
    self->load_items_.fetch_add(1);
  } else {
    self->load_done_.fetch_add(amount);
  }
  return self->Cancelled() ? 0 : 1;
}

void BackgroundTasks::AddSound(BackgroundTask& task) {
  const FileKind kind = KindOfFile(task.path);
  if (kind == FileKind::kUnreadable) {
    host_->TaskFailed("IDS_READ_ERROR", task.path);
    return;
  }
  if (kind == FileKind::kUnknown) {
    host_->TaskFailed("IDS_UNKNOWN_FORMAT", task.path);
    return;
  }
  RefPtr<CFileObj> file(new CFileObj());
  if (!file->Open(task.path.c_str(), 0, 0)) {
    host_->TaskFailed("IDS_READ_ERROR", Describe(task.path, platform::last_error()));
    return;
  }
  AtomRef<CAudioAtom> atom;
  if (kind == FileKind::kSession) {
    // The session comes in as a group of its own, holding everything the file holds.
    AtomRef<BarGroup> group(host_->NewGroup());
    MissingSounds missing;
    CRIFF riff;
    _chunkInfo form{};
    bool ok = riff.Open(file.get(), &form) != 0;
    if (ok) load_total_ = static_cast<unsigned long>(group->GetSavedSize(&riff));
    {
      MapCombiningPause pause;
      ok = ok && group->Load(&riff, 1, 1, 1, host_->PeakResolution(), &LoadProgress, this) != 0;
    }
    const unsigned long code = platform::last_error();
    riff.Close();
    if (Cancelled()) return;
    if (!ok) {
      host_->TaskFailed("IDS_READ_ERROR", Describe(task.path, code));
      return;
    }
    group->CombineWithSubMaps(kMapAll, 1);
    if (!missing.List().empty()) host_->TaskFailed("IDS_PROBLEM_LOADING", missing.List());
    atom.reset(group.release());
  } else {
    AtomRef<BarSound> sound(host_->NewSound());
    load_total_ = static_cast<unsigned long>(std::max(file->Size(), 0L));
    const int ok = sound->InitialLoad(file.get(), kSoundBufferMs, 1, 1, 1, 1,
                                      host_->PeakResolution(), &LoadProgress, this);
    const unsigned long code = platform::last_error();
    if (Cancelled()) return;
    if (!ok) {
      const bool format = code == sonark::kErrNoPcmFormat || code == sonark::kErrMpegInspection;
      host_->TaskFailed(format ? "IDS_UNKNOWN_FORMAT" : "IDS_READ_ERROR",
                        Describe(task.path, code));
      return;
    }
    sound->GetSrcMap()->SetDefaultMap(sound->Length(0), kMapAll);
    atom.reset(sound.release());
  }
  file.reset();
  atom->SetAtomName(FileName(task.path).c_str());
  if (!host_->PlaceNewAtom(atom.get(), task.startTime, task.top)) {
    host_->TaskFailed("IDS_READ_ERROR", Describe(task.path, platform::last_error()));
    return;
  }
  host_->ContentChanged();
}

void BackgroundTasks::OpenSession(BackgroundTask& task) {
  AtomRef<SessionRootGroup> root(host_->NewRoot());
  RefPtr<CFileObj> file(new CFileObj());
  MissingSounds missing;
  const FileKind kind = KindOfFile(task.path);
  unsigned long code =
      kind == FileKind::kUnreadable ? static_cast<unsigned long>(ENOENT) : tarnell::kErrNotRiff;
  bool ok = kind == FileKind::kSession && file->Open(task.path.c_str(), 0, 0);
  if (kind == FileKind::kSession && !ok) code = platform::last_error();
  if (ok) {
    CRIFF riff;
    _chunkInfo form{};
    ok = riff.Open(file.get(), &form) != 0 && form.type == kSessionForm;
    if (ok) load_total_ = static_cast<unsigned long>(root->GetSavedSize(&riff));
    {
      MapCombiningPause pause;
      ok = ok && root->Load(&riff, 1, 1, 1, host_->PeakResolution(), &LoadProgress, this) != 0;
    }
    code = platform::last_error();
    riff.Close();
  }
  file.reset();
  // A cancelled or failed open leaves a new, empty session rather than part of one.
  if (!ok || Cancelled()) {
    root.reset(host_->NewRoot());
    root->ResetMarkers();
    host_->SessionReplaced(root.release(), "");
    if (!Cancelled()) {
      host_->TaskFailed("IDS_CANT_OPEN_FILE",
                        Describe(task.path, code != 0 ? code : sonark::kErrSessionDamaged));
    }
    return;
  }
  root->CombineWithSubMaps(kMapAll, 1);
  host_->SessionReplaced(root.release(), task.path);
  if (!missing.List().empty()) host_->TaskFailed("IDS_PROBLEM_LOADING", missing.List());
}

void BackgroundTasks::SaveSession(BackgroundTask& task) {
  const bool whole_session = !task.group;
  CSoundGroup* group = whole_session ? host_->Root() : task.group.get();
  save_estimate_ = group->SaveSize(1);
  // A save killed earlier (the program's or quarl-cli's) may have left its temporary file.
  SweepLeftovers(FolderOf(task.path));
  std::string error;
  if (!SaveSessionFile(group, task.path, &error, &save_watch_)) {
    if (!Cancelled()) host_->TaskFailed("IDS_SAVE_ERROR", task.path + ": " + error);
    return;
  }
  if (whole_session) host_->SessionSaved(task.path);
}

void BackgroundTasks::Render(BackgroundTask& task) {
  CSoundGroup* group = task.group ? task.group.get() : host_->Root();
  tWAVEFORMATEX format = task.format;
  if (format.nSamplesPerSec == 0) {
    format = group->BestFormat();
    format.wBitsPerSample = 16;
  }
  format.wFormatTag = kWaveFormatPcm;
  format.cbSize = 0;
  ValidateFormat(&format, kWaveFormatPcm);
  CConv2FileFormat target_format(kWaveFormatPcm);
  target_format.nChannels = format.nChannels;
  target_format.nSamplesPerSec = format.nSamplesPerSec;
  target_format.wBitsPerSample = format.wBitsPerSample;
  target_format.CalcBlockAlignNAvgBytesPerSec();

  // The wave is written beside the target and takes its place only when whole, so a
  // cancelled or failed render never costs the file that was there.
  SafeReplace target(task.path);
  std::string error;
  if (!target.Usable(&error)) {
    host_->TaskFailed("IDS_RENDER_ERROR", task.path + ": " + error);
    return;
  }
  RefPtr<CConv2WaveFile> writer(new CConv2WaveFile());
  if (!writer->Create(target.TempPath().c_str(), &target_format, &format)) {
    host_->TaskFailed("IDS_RENDER_ERROR", Describe(task.path, platform::last_error()));
    return;
  }
  CPCMMixer* mixer = host_->RenderMixer();
  {
    std::lock_guard<std::mutex> guard(lock_);
    render_mixer_ = mixer;
  }
  RenderSink sink{writer.get(), &cancel_};
  const int mixed = mixer->MixToDataSink(group, &FeedWriter, &sink, &format, group->Length(0), -1);
  unsigned long code = mixed ? sink.error : platform::last_error();
  {
    std::lock_guard<std::mutex> guard(lock_);
    render_mixer_ = nullptr;
  }
  bool ok = mixed && !sink.failed && !Cancelled();
  if (ok && writer->EndWriteStream() < 0) {
    code = platform::last_error();
    ok = false;
  }
  if (ok) {
    TMusicInfo info;
    char title[TMusicInfo::kTextSize];
    CreateDefaultTagTitleString(task.path.c_str(), title, sizeof title);
    sonark::SetMusicInfoText(info.title, title);
    int written = 0;
    ok = writer->FinalData(nullptr, "Tessel", &written, &info) >= 0 && written;
    if (!ok) code = platform::last_error();
  }
  writer->Close();
  writer.reset();
  if (ok && !Cancelled()) {
    if (target.Commit()) return;
    code = static_cast<unsigned long>(errno);
  }
  target.Discard();
  if (!Cancelled())
    host_->TaskFailed("IDS_RENDER_ERROR", Describe(task.path, code != 0 ? code : EIO));
}
