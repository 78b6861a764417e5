#include <platform/byte_order.h>
#include <platform/last_error.h>
#include <quarl/timeline/background_tasks.h>
#include <session/safe_replace.h>
#include <session/session_atoms.h>
#include <sonark/error_messages.h>
#include <sonark/errors.h>
#include <sonark/export/conv_file_format.h>
#include <sonark/export/conv_mp3.h>
#include <sonark/export/conv_wave_file.h>
#include <sonark/export/conversion_types.h>
#include <sonark/load/initial_load.h>
#include <sonark/load/music_info.h>
#include <sonark/mixer/pcm_mixer.h>
#include <sonark/model/session_report.h>
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
// The software text of a wave's information list and the encoder field of an MP3's tags.
constexpr const char* kSoftwareText = "Tessel";

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
    case TaskType::kRenderMp3:
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

// Where the mix of `group` ends: the furthest end of its members. (The group's own length is
// its extent from the first member's start, which would cut the end off a mix from 0.)
long MixEnd(CSoundGroup* group) {
  long end = 0;
  group->Lock();
  long offset = 0;
  for (int i = 0; CAudioAtom* member = group->GetAtom(i, &offset); ++i)
    end = std::max(end, offset + member->Length(0));
  group->Unlock();
  return end;
}

// Gives every atom of the tree without an envelope the default one that a load would give it,
// so that a session saved, opened and saved again is the same file.
void GiveDefaultMaps(CAudioAtom* atom, int depth = 0) {
  if (atom == nullptr || depth > kMaxTreeDepth) return;
  atom->Lock();
  if (atom->GetSrcMap()->NumEvents(-1) == 0)
    atom->GetSrcMap()->SetDefaultMap(atom->Length(0), kMapAll);
  atom->Unlock();
  if (atom->Type() != kAtomTypeGroup) return;
  auto* group = static_cast<CSoundGroup*>(atom);
  group->Lock();
  for (int i = 0; CAudioAtom* member = group->GetAtom(i, nullptr); ++i)
    GiveDefaultMaps(member, depth + 1);
  group->Unlock();
}

// The records a salvaging open left out, one a line.
std::string DescribeSkips(const sonark::SessionLoadReport& report) {
  std::string text;
  for (const sonark::SessionSkip& skip : report.skipped) {
    text += "\n";
    text += skip.group.empty() ? std::string("top level") : skip.group;
    if (!skip.name.empty()) text += ": \"" + skip.name + "\"";
    text += ": " + (skip.detail.empty() ? sonark::DescribeErrorCode(skip.code) : skip.detail);
  }
  return text;
}

// Hands the mixer's blocks to the converter and stops the mix once the task is cancelled.
struct RenderSink {
  CConv2FileObj* writer;
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
    case TaskType::kRenderMp3:
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
    case TaskType::kRenderMp3:
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
  sonark::SessionLoadReport report;
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
      sonark::SessionLoadScope salvage(&report);
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
  if (report.Damaged()) {
    // What was recovered is not the file: it opens unnamed, and modified, so that it is
    // saved somewhere else rather than over the damaged file (or lost without a word).
    host_->SessionReplaced(root.release(), "");
    host_->ContentChanged();
    host_->TaskFailed("IDS_SESSION_SALVAGED", task.path + ": " + DescribeSkips(report));
  } else {
    host_->SessionReplaced(root.release(), task.path);
  }
  if (!missing.List().empty()) host_->TaskFailed("IDS_PROBLEM_LOADING", missing.List());
}

void BackgroundTasks::SaveSession(BackgroundTask& task) {
  const bool whole_session = !task.group;
  CSoundGroup* group = whole_session ? host_->Root() : task.group.get();
  GiveDefaultMaps(group);
  save_estimate_ = group->SaveSize(1);
  // A save killed earlier (the program's or quarl-cli's) may have left its temporary file.
  SweepLeftovers(FolderOf(task.path));
  std::string error;
  if (!SaveSessionFile(group, task.path, &error, &save_watch_)) {
    if (!Cancelled()) host_->TaskFailed("IDS_SAVE_ERROR", task.path + ": " + error);
    return;
  }
  if (whole_session) {
    saves_completed_.fetch_add(1);
    host_->SessionSaved(task.path);
  }
}

void BackgroundTasks::Render(BackgroundTask& task) {
  CSoundGroup* group = task.group ? task.group.get() : host_->Root();
  const bool mp3 = task.type == TaskType::kRenderMp3;
  const char* failed_key = mp3 ? "IDS_RENDER_MP3_ERROR" : "IDS_RENDER_ERROR";
  // The wave's format, or the PCM the encoder takes (16 bits at the MP3's rate and channels).
  tWAVEFORMATEX format = task.format;
  CConv2FileFormat target_format(mp3 ? kWaveFormatMpegLayer3 : kWaveFormatPcm);
  RefPtr<CConv2FileObj> writer;
  TMusicInfo info;
  char title[TMusicInfo::kTextSize];
  CreateDefaultTagTitleString(task.path.c_str(), title, sizeof title);
  sonark::SetMusicInfoText(info.title, title);
  if (mp3) {
    CConv2FileObj* converter = NewCConv2FileObj(fctMP3, -1);
    if (converter == nullptr || converter->GetConversionType() != fctMP3) {
      CRefObj* held = converter;
      if (held != nullptr) DeleteRefObject(&held);
      host_->TaskFailed("IDS_NO_MP3_ENCODER", task.path);
      return;
    }
    writer.reset(converter);
    CConv2FileFormat settings = task.encoder;
    if (settings.usePreset) {
      converter->GetFormatFromPreset(&settings, settings.preset, ttUnchanged, sqUnchanged);
      settings.usePreset = 1;
    }
    tWAVEFORMATEX wanted = PcmFormat(settings.nSamplesPerSec, settings.nChannels, 16);
    converter->GetTargetFormat(&target_format, &settings, &wanted, &info, nullptr);
    format = PcmFormat(target_format.nSamplesPerSec, target_format.nChannels, 16);
  } else {
    if (format.nSamplesPerSec == 0) {
      format = group->BestFormat();
      format.wBitsPerSample = 16;
    }
    format.wFormatTag = kWaveFormatPcm;
    format.cbSize = 0;
    ValidateFormat(&format, kWaveFormatPcm);
    target_format.nChannels = format.nChannels;
    target_format.nSamplesPerSec = format.nSamplesPerSec;
    target_format.wBitsPerSample = format.wBitsPerSample;
    target_format.CalcBlockAlignNAvgBytesPerSec();
    writer.reset(new CConv2WaveFile());
  }

  // The file is written beside the target and takes its place only when whole, so a
  // cancelled or failed render never costs the file that was there.
  SafeReplace target(task.path);
  std::string error;
  if (!target.Usable(&error)) {
    host_->TaskFailed(failed_key, task.path + ": " + error);
    return;
  }
  // An MP3's tags and header are completed by name after the sound: no FIFO or device.
  if (mp3 && target.Direct()) {
    host_->TaskFailed(failed_key, task.path + ": not a regular file");
    return;
  }
  const char* temp = target.TempPath().c_str();
  if (!writer->Create(temp, &target_format, &format)) {
    host_->TaskFailed(failed_key, Describe(task.path, platform::last_error()));
    return;
  }
  unsigned long code = 0;
  bool ok = !mp3 || writer->ReserveTagSpace() >= 0;
  if (!ok) code = platform::last_error();
  CPCMMixer* mixer = host_->RenderMixer();
  if (ok) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      render_mixer_ = mixer;
    }
    RenderSink sink{writer.get(), &cancel_};
    const int mixed = mixer->MixToDataSink(group, &FeedWriter, &sink, &format, MixEnd(group),
                                           mp3 ? writer->GetDesiredBufferSize() : -1);
    code = mixed ? sink.error : platform::last_error();
    {
      std::lock_guard<std::mutex> guard(lock_);
      render_mixer_ = nullptr;
    }
    ok = mixed && !sink.failed && !Cancelled();
  }
  if (ok && writer->EndWriteStream() < 0) {
    code = platform::last_error();
    ok = false;
  }
  if (ok) {
    int written = 0;
    ok = writer->FinalData(mp3 ? temp : nullptr, kSoftwareText, &written, &info) >= 0 && written;
    if (!ok) code = platform::last_error();
  }
  writer->Close();
  if (ok && mp3 && writer->WriteTag(temp, kSoftwareText, nullptr, &info, nullptr) < 0) {
    code = platform::last_error();
    ok = false;
  }
  writer.reset();
  if (ok && !Cancelled()) {
    if (target.Commit()) return;
    code = static_cast<unsigned long>(errno);
  }
  target.Discard();
  if (!Cancelled()) host_->TaskFailed(failed_key, Describe(task.path, code != 0 ? code : EIO));
}
