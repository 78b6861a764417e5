#include <quarl/shell/app_settings.h>
#include <quarl/shell/commands.h>
#include <quarl/shell/file_commands.h>
#include <quarl/shell/main_window.h>
#include <quarl/shell/program_mixer.h>
#include <quarl/shell/program_paths.h>
#include <quarl/shell/texts.h>
#include <quarl/timeline/timeline_view.h>
#include <session/safe_replace.h>
#include <sonark/export/conversion_types.h>
#include <sonark/model/playlist.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cctype>

namespace {

constexpr int kIdlePollMs = 100;
// Playlist entries are laid out one a lane until the import wizard takes them.
constexpr int kLaneHeight = 72;

const char* const kSessionFilter = "SoundGroup Files (*.sgp)";
const char* const kWaveFilter = "Wave Files (*.wav)";
const char* const kMpegFilter = "MPEG Files (*.mp3 *.mp2 *.mp1)";
const char* const kPlaylistFilter = "Playlists (*.m3u *.pls)";
const char* const kSoundFilter = "Sounds (*.wav *.mp3 *.mp2 *.mp1 *.sgp);;All Files (*)";

bool IsPlaylistName(const std::string& path) {
  const std::string extension = LowerExtension(path);
  return extension == "m3u" || extension == "pls" || extension == "pl";
}

bool IsMpegExtension(const std::string& extension) {
  return extension == "mp3" || extension == "mp2" || extension == "mp1";
}

std::string FolderPart(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// "%s" of a format key replaced by `value` (the strings file's texts are printf formats).
QString Formatted(const char* key, const QString& value) {
  QString text = Text(key);
  const int at = text.indexOf("%s");
  if (at >= 0) {
    text.replace(at, 2, value);
  } else {
    text += " " + value;
  }
  return text;
}

// The help page: beside the program, or where an installed program keeps its shared files.
QString HelpPagePath() {
  const QString name = Text("IDS_HELP_FILE", 260);
  const QString folder = QString::fromStdString(ExeFolder());
  for (const QString& candidate : {folder + name, folder + "../share/tessel/" + name}) {
    if (QFileInfo(candidate).isFile()) return QFileInfo(candidate).absoluteFilePath();
  }
  return QString();
}

}  // namespace

std::string LowerExtension(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
      dot + 1 == path.size() || dot == (slash == std::string::npos ? 0 : slash + 1))
    return "";
  std::string extension = path.substr(dot + 1);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension;
}

bool CanWriteTarget(const std::string& path) {
  SafeReplace target(path);
  if (!target.Usable(nullptr)) return false;
  if (target.Direct()) return true;
  // The new content is written beside the target first.
  return access(FolderOf(target.Resolved()).c_str(), W_OK | X_OK) == 0;
}

FileCommands::FileCommands(MainWindow* window, TimelineView* view, AppSettings* settings,
                           QMenu* fileMenu, QAction* anchor)
    : window_(window), view_(view), settings_(settings), recent_menu_(fileMenu, anchor) {
  dialogs_.askToSave = [this](const QString& question) {
    const auto answer = QMessageBox::warning(
        window_, Text("ProgramName"), question,
        QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Yes);
    return answer == QMessageBox::Yes  ? Answer::kYes
           : answer == QMessageBox::No ? Answer::kNo
                                       : Answer::kCancel;
  };
  dialogs_.chooseFile = [this](const QString& caption, const QString& folder, const QString& filter,
                               bool save) {
    if (!save) return QFileDialog::getOpenFileName(window_, caption, folder, filter);
    QString selected;
    QString name = QFileDialog::getSaveFileName(window_, caption, folder, filter, &selected);
    // A name typed without an extension takes the one of the file type chosen.
    const int star = selected.indexOf("(*.");
    if (!name.isEmpty() && QFileInfo(name).suffix().isEmpty() && star >= 0) {
      const QString rest = selected.mid(star + 2);
      name += rest.left(rest.indexOf(QRegularExpression("[ ;)]")));
    }
    return name;
  };
  dialogs_.warn = [this](const QString& text) {
    QMessageBox::warning(window_, Text("ProgramName"), text);
  };
  dialogs_.showFile = [](const QString& path) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
  };
  recent_.Load(settings_->recentFiles);
}

FileCommands::~FileCommands() = default;

void FileCommands::Connect() {
  // Where a meaning has two identifiers (a menu item and a toolbar button, or a key), the
  // window has the second trigger the first: only the first is connected here.
  auto on = [this](int id, auto slot) {
    QAction* action = window_->Command(id);
    if (action == nullptr) return;
    connect(action, &QAction::triggered, this, [this, slot] {
      // A key pressed while a dialog of ours is up waits for it.
      if (!prompting_) slot();
    });
  };
  on(command::kNewSession, [this] { New(); });
  on(command::kOpenSession, [this] { Open(); });
  on(command::kSaveSession, [this] { Save(); });
  on(command::kSaveAs, [this] { SaveAs(); });
  on(command::kExportWave, [this] { ExportWave(); });
  on(command::kExportMp3, [this] { ExportMp3(); });
  on(command::kAddSound, [this] { AddSound(); });
  on(command::kImportPlaylist, [this] { ImportPlaylist(); });
  on(command::kHelpTopics, [this] { Help(); });
  connect(view_, &TimelineView::FilesDropped, this, &FileCommands::DropFiles);
  window_->SetCloseGuard([this] { return MayClose(); });
  RefreshRecentMenu();
}

void FileCommands::RefreshRecentMenu() {
  recent_menu_.Show(recent_, [this](const std::string& path) {
    if (prompting_ || view_->Tasks().Busy()) return;
    if (!PromptToSave()) return;
    OpenPath(path);
  });
}

bool FileCommands::PromptToSave() {
  if (!view_->Modified()) return true;
  const std::string& path = view_->SessionPath();
  const QString name = path.empty() ? Text("SESSION_NAME_DEFAULT") : QString::fromStdString(path);
  prompting_ = true;
  const Answer answer = dialogs_.askToSave(Formatted("DYWTS_FORMAT", name));
  prompting_ = false;
  switch (answer) {
    case Answer::kCancel:
      return false;
    case Answer::kNo:
      return true;
    case Answer::kYes:
      // A save that was cancelled or failed keeps the session, and the action waits for it.
      return Save() && !view_->Modified();
  }
  return false;
}

void FileCommands::StopPlayback() {
  ProgramMixer* mixer = TheProgramMixer();
  if (mixer != nullptr && mixer->Playing()) {
    mixer->Stop();
    view_->PlaybackStopped();
  }
}

QString FileCommands::Folder(const std::string& stored) const {
  return QString::fromStdString(stored);
}

void FileCommands::New() {
  if (view_->Tasks().Busy() || !PromptToSave()) return;
  StopPlayback();
  view_->NewSession();
  view_->SetZoom(TimelineView::kDefaultZoom);
  view_->ScrollToTime(0);
}

void FileCommands::Open() {
  if (view_->Tasks().Busy() || !PromptToSave()) return;
  prompting_ = true;
  const QString chosen = dialogs_.chooseFile("Open A Sound Group", Folder(settings_->lastGroupDir),
                                             kSessionFilter, false);
  prompting_ = false;
  if (chosen.isEmpty()) return;
  OpenPath(chosen.toStdString());
}

void FileCommands::OpenPath(const std::string& path) {
  StopPlayback();
  view_->NewSession();
  view_->SetZoom(TimelineView::kDefaultZoom);
  view_->ScrollToTime(0);
  // The path becomes the session's only once it has loaded (the task says so); a failed
  // open leaves the new session unnamed.
  BackgroundTask task;
  task.type = TaskType::kOpenSession;
  task.path = path;
  view_->Tasks().Queue(std::move(task));
  recent_.Add(path);
  RefreshRecentMenu();
  settings_->lastGroupDir = FolderPart(path);
}

bool FileCommands::Save() {
  if (view_->Tasks().Busy()) return false;
  const std::string path = view_->SessionPath();
  if (path.empty()) return SaveAs();
  return SaveSessionTo(path);
}

bool FileCommands::SaveAs() {
  if (view_->Tasks().Busy()) return false;
  const QString filter = QString(kSessionFilter) + ";;" + kWaveFilter + ";;" + kMpegFilter;
  prompting_ = true;
  const QString chosen =
      dialogs_.chooseFile("Save As", Folder(settings_->lastGroupDir), filter, true);
  prompting_ = false;
  if (chosen.isEmpty()) return false;
  std::string path = chosen.toStdString();
  std::string extension = LowerExtension(path);
  if (extension.empty()) {
    path += ".sgp";
    extension = "sgp";
  }
  if (extension == "wav") {
    Export(path, TaskType::kRenderWave);
    return false;
  }
  if (IsMpegExtension(extension)) {
    Export(path, TaskType::kRenderMp3);
    return false;
  }
  if (!SaveSessionTo(path)) return false;
  recent_.Add(path);
  RefreshRecentMenu();
  settings_->lastGroupDir = FolderPart(path);
  return true;
}

bool FileCommands::SaveSessionTo(const std::string& path) {
  if (!CheckWritable(path)) return false;
  const unsigned long before = view_->Tasks().SavesCompleted();
  BackgroundTask task;
  task.type = TaskType::kSaveSession;
  task.path = path;
  view_->Tasks().Queue(std::move(task));
  WaitUntilIdle();
  // Only a save that went through clears the flag; a failed one has told why and keeps it.
  return view_->Tasks().SavesCompleted() != before && !view_->Modified();
}

bool FileCommands::CheckWritable(const std::string& path) {
  if (CanWriteTarget(path)) return true;
  dialogs_.warn(Text("IDS_FILEINUSE") + "\n" + QString::fromStdString(path));
  return false;
}

bool FileCommands::Export(const std::string& path, TaskType type) {
  StopPlayback();
  if (!CheckWritable(path)) return false;
  BackgroundTask task;
  task.type = type;
  task.path = path;
  if (type == TaskType::kRenderMp3) {
    if ((settings_->preferences.convertersAvailable & (1u << fctMP3)) == 0) {
      dialogs_.warn(Text("IDS_NO_MP3_ENCODER"));
      return false;
    }
    task.encoder = settings_->preferences.encoder;
  }
  view_->Tasks().Queue(std::move(task));
  settings_->lastSaveDir = FolderPart(path);
  return true;
}

std::string FileCommands::PickFile(const char* title, const std::string& folder, const char* filter,
                                   bool save) {
  if (view_->Tasks().Busy()) return {};
  StopPlayback();
  prompting_ = true;
  const QString chosen = dialogs_.chooseFile(title, Folder(folder), filter, save);
  prompting_ = false;
  return chosen.toStdString();
}

void FileCommands::ExportAs(const char* title, const char* filter, const char* extension,
                            TaskType type) {
  std::string path = PickFile(title, settings_->lastSaveDir, filter, true);
  if (path.empty()) return;
  if (LowerExtension(path).empty()) path += extension;
  Export(path, type);
}

void FileCommands::ExportWave() {
  ExportAs("Wave File", kWaveFilter, ".wav", TaskType::kRenderWave);
}

void FileCommands::ExportMp3() { ExportAs("MP3 File", kMpegFilter, ".mp3", TaskType::kRenderMp3); }

void FileCommands::AddSound() {
  const std::string path = PickFile("Add Sound", settings_->lastSoundDir, kSoundFilter, false);
  if (path.empty()) return;
  settings_->lastSoundDir = FolderPart(path);
  // At the play cursor: the time line has no click point of its own yet.
  AddFile(path, view_->Cursor().Position(), 0);
}

void FileCommands::ImportPlaylist() {
  const std::string path =
      PickFile("Import Playlist", settings_->lastSoundDir, kPlaylistFilter, false);
  if (path.empty()) return;
  settings_->lastSoundDir = FolderPart(path);
  ImportPlaylistAt(path, 0, 0);
}

void FileCommands::AddFile(const std::string& path, long start, int top) {
  if (IsPlaylistName(path)) {
    ImportPlaylistAt(path, start, top);
    return;
  }
  BackgroundTask task;
  task.type = TaskType::kAddSound;
  task.path = path;
  task.startTime = start;
  task.top = top;
  view_->Tasks().Queue(std::move(task));
}

void FileCommands::ImportPlaylistAt(const std::string& path, long start, int top) {
  CPlaylist playlist;
  if (!playlist.LoadFromFile(path.c_str(), true)) {
    dialogs_.warn(Text("IDS_READ_ERROR") + "\n" + QString::fromStdString(path));
    return;
  }
  for (int i = 0; i < playlist.NumEntries(); ++i) {
    BackgroundTask task;
    task.type = TaskType::kAddFromPlaylist;
    task.path = playlist.Index(i);
    task.startTime = start;
    task.top = top + i * kLaneHeight;
    view_->Tasks().Queue(std::move(task));
  }
}

void FileCommands::DropFiles(const QStringList& paths, long time, int top) {
  for (const QString& path : paths) AddFile(path.toStdString(), time, top);
}

void FileCommands::Help() {
  const QString page = HelpPagePath();
  if (page.isEmpty() || !dialogs_.showFile(page)) dialogs_.warn(Text("IDS_MISSING_HELP"));
}

bool FileCommands::MayClose() {
  if (prompting_ || view_->Tasks().Busy()) return false;
  if (!PromptToSave()) return false;
  StopPlayback();
  WaitUntilIdle();
  return true;
}

void FileCommands::WaitUntilIdle() {
  if (!view_->Tasks().Busy()) {
    QCoreApplication::processEvents();
    return;
  }
  QApplication::setOverrideCursor(Qt::WaitCursor);
  QEventLoop loop;
  QTimer poll;
  poll.setInterval(kIdlePollMs);
  connect(&poll, &QTimer::timeout, &loop, [&] {
    if (!view_->Tasks().Busy()) loop.quit();
  });
  poll.start();
  loop.exec();
  QApplication::restoreOverrideCursor();
  // What the task posted on its way out (the saved path, the modified flag) lands now.
  QCoreApplication::processEvents();
}
