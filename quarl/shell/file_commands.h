#pragma once

#include <quarl/shell/recent_files.h>
#include <quarl/timeline/background_tasks.h>

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <string>

class AppSettings;
class MainWindow;
class QAction;
class QMenu;
class TimelineView;

// The commands that work on files: the save prompt, New, Open and the recent sessions, Save and
// Save As (a session, a wave or an MP3 by the extension), the exports, Add Sound, Import
// Playlist, Help, and the files dropped on the time line. The long work runs as the view's
// background tasks.
//
// A save that fails keeps the session modified, and whatever asked for it (New, Open, Close)
// is abandoned; an open that fails leaves a new, unnamed session, so that a later Save asks
// for a name instead of writing over the file that could not be read.
class FileCommands : public QObject {
  Q_OBJECT

 public:
  enum class Answer { kYes, kNo, kCancel };

  // Everything that asks the user or the desktop, so that tests answer instead.
  struct Dialogs {
    // The save prompt (Yes / No / Cancel) with its question.
    std::function<Answer(const QString& question)> askToSave;
    // File dialogs: caption, folder, filter; "" when cancelled. `save` asks for a new name.
    std::function<QString(const QString& caption, const QString& folder, const QString& filter,
                          bool save)>
        chooseFile;
    // A message in a warning box.
    std::function<void(const QString& text)> warn;
    // Shows a local file with the desktop's viewer; false when that fails.
    std::function<bool(const QString& path)> showFile;
  };

  // `fileMenu` and `anchor` place the recent sessions (before `anchor`).
  FileCommands(MainWindow* window, TimelineView* view, AppSettings* settings, QMenu* fileMenu,
               QAction* anchor);
  ~FileCommands() override;

  Dialogs& UseDialogs() { return dialogs_; }
  // Connects the window's file commands, the view's dropped files and the close guard.
  void Connect();

  // The save prompt before an action that drops the session: true when the action may go on
  // (nothing to save, "No", or "Yes" and the session saved).
  bool PromptToSave();

  void New();
  void Open();
  // Opens `path` after a prompt had its say: a new session, then the load as a task.
  void OpenPath(const std::string& path);
  // True when the session was saved (Save As to a wave or MP3 exports and saves nothing).
  bool Save();
  bool SaveAs();
  // Saves the session to `path` and waits for the save; true when it was saved.
  bool SaveSessionTo(const std::string& path);
  // Queues the render of the session to `path`; false (after telling why) when the target
  // cannot be written or no encoder is there.
  bool Export(const std::string& path, TaskType type);
  void ExportWave();
  void ExportMp3();
  void AddSound();
  void ImportPlaylist();
  void Help();
  // A sound or session at `start` ms in the lane nearest to `top`; a playlist (by its name)
  // as its sounds from there.
  void AddFile(const std::string& path, long start, int top);
  void ImportPlaylistAt(const std::string& path, long start, int top);
  void DropFiles(const QStringList& paths, long time, int top);
  // Close and Exit: refused while busy or after "Cancel" or a failed save; waits for the
  // tasks before saying yes.
  bool MayClose();

  RecentFileList& Recent() { return recent_; }
  const RecentFilesMenu& RecentMenu() const { return recent_menu_; }
  void RefreshRecentMenu();

  // Waits, the window's events flowing, until no task runs (polls every 100 ms).
  void WaitUntilIdle();

 private:
  // The file dialog, after the busy check and with playback stopped; "" when there is none
  // to show or it was cancelled.
  std::string PickFile(const char* title, const std::string& folder, const char* filter, bool save);
  // The export of `type` to a file chosen with `filter`; a name without an extension takes
  // `extension`.
  void ExportAs(const char* title, const char* filter, const char* extension, TaskType type);
  void StopPlayback();
  // False after showing "IDS_FILEINUSE" when `path` cannot be written.
  bool CheckWritable(const std::string& path);
  QString Folder(const std::string& stored) const;

  MainWindow* window_;
  TimelineView* view_;
  AppSettings* settings_;
  Dialogs dialogs_;
  RecentFileList recent_;
  RecentFilesMenu recent_menu_;
  bool prompting_ = false;  // a prompt or dialog of ours is open
};

// Whether `path` can be written as a save or export target: a file that exists must be a
// writable regular file (or a device or FIFO), and its folder must take the new file.
bool CanWriteTarget(const std::string& path);
// The extension of `path` in lower case, without the dot; "" when it has none.
std::string LowerExtension(const std::string& path);
