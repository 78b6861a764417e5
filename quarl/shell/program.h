#pragma once

#include <QObject>
#include <QSize>
#include <QString>

#include <memory>
#include <string>
#include <vector>

class FileCommands;
class MainWindow;
class MixerSignals;
class TimelineView;

// The program as a whole: the start-up in its order (strings, settings, encoders, the window
// and the time line, the mixer, the first document), the commands that work on the session
// (play, zoom, rewind), and the shutdown that saves the settings.
class Program : public QObject {
  Q_OBJECT

 public:
  struct Options {
    std::string file;      // named on the command line; "" for none
    // Grab: open `file` (or the example session), render the window into this PNG and exit,
    // leaving the user's settings untouched and playing nothing.
    std::string grabPath;
    QSize grabSize{1280, 720};
  };

  explicit Program(Options options);
  ~Program() override;

  // Everything up to the main loop; false when the program cannot run.
  bool Start();
  // The main loop, or the grab; the exit code.
  int Run();

  MainWindow* Window() const { return window_.get(); }
  TimelineView* View() const { return view_; }
  // The file commands (save prompt, open, save, exports, recent sessions, dropped files).
  FileCommands* Files() const { return files_.get(); }

 public slots:
  // Play or stop the session from the play cursor.
  void PlayOrStop();

 private:
  void OpenFirstDocument();
  void OpenSession(const std::string& path);
  void Shutdown();
  int Grab();

  Options options_;
  bool grab_ = false;
  std::unique_ptr<MainWindow> window_;
  TimelineView* view_ = nullptr;  // owned by the window
  std::unique_ptr<MixerSignals> mixer_signals_;
  std::unique_ptr<FileCommands> files_;
  bool first_run_pending_ = false;
  bool shut_down_ = false;
  bool grab_failed_ = false;  // the file to draw could not be opened
};
