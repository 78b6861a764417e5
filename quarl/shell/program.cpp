#include <quarl/shell/app_settings.h>
#include <quarl/shell/command_context.h>
#include <quarl/shell/command_states.h>
#include <quarl/shell/commands.h>
#include <quarl/shell/file_commands.h>
#include <quarl/shell/main_window.h>
#include <quarl/shell/program.h>
#include <quarl/shell/program_mixer.h>
#include <quarl/shell/program_paths.h>
#include <quarl/shell/startup_file.h>
#include <quarl/shell/status_panel.h>
#include <quarl/shell/texts.h>
#include <quarl/timeline/background_tasks.h>
#include <quarl/timeline/timeline_atoms.h>
#include <quarl/timeline/timeline_item.h>
#include <quarl/timeline/timeline_view.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

constexpr long kRestartNearEndMs = 250;
// How long a grab waits for the file to load.
constexpr int kGrabLoadTimeoutMs = 60000;

// A group that keeps its members where they are put, as the session's own group does.
class FixedGroup : public CSoundGroup {
 public:
  int CanAdjust() override { return 0; }
  int CanCombine() override { return 0; }
};

// A new group (one reference) holding copies of the selected atoms at their session times.
CSoundGroup* SelectionCopies(const std::vector<TimelineItem*>& selection) {
  CSoundGroup* group = new FixedGroup();
  for (TimelineItem* item : selection) {
    CAudioAtom* atom = item->Atom();
    CAudioAtom* copy = atom != nullptr ? atom->Copy() : nullptr;
    if (copy == nullptr) continue;
    copy->Add(group, atom->AbsoluteOffset());
    DeleteAtom(&copy);
  }
  return group;
}

}  // namespace

Program::Program(Options options) : options_(std::move(options)), grab_(!options_.grabPath.empty()) {}

Program::~Program() { Shutdown(); }

bool Program::Start() {
  AppSettings& settings = TheAppSettings();
  // Strings first: every later step may show a text.
  UseProgramStrings();
  ReadStartupTexts();
  // A grab leaves the user's settings as they are: nothing is created, nothing saved.
  settings.Load(!grab_);
  settings.preferences.Load();
  const QString problem = settings.LoadProblem();
  settings.preferences.DiscoverEncoders();

  window_ = std::make_unique<MainWindow>();
  view_ = new TimelineView(window_.get());
  window_->SetTimeline(view_);
  view_->SetAutoScroll(settings.preferences.autoScroll != 0);
  view_->SetWaveResolution(static_cast<int>(settings.preferences.waveResolution));

  MainWindow* window = window_.get();
  connect(view_, &TimelineView::BusyChanged, window, [this, window](bool busy) {
    if (busy) {
      window->busyBegin(view_->BusyText(), true);
    } else {
      window->busyEnd();
    }
  });
  connect(window->Status(), &StatusPanel::cancelRequested, view_, [this] { view_->Tasks().Cancel(); });
  window->SetProgressSource([this] { return view_->Tasks().Progress(); });
  window->SetTitleSource([this] { return QString::fromStdString(view_->SessionPath()); },
                         [this] { return view_->Modified(); });
  connect(view_, &TimelineView::TitleChanged, window, &MainWindow::updateTitle);
  connect(view_, &TimelineView::StatusTextsChanged, window,
          [window](const QString& one, const QString& two, const QString& three) {
            window->Status()->SetPane(1, one);
            window->Status()->SetPane(2, two);
            window->Status()->SetPane(3, three);
          });
  connect(view_, &TimelineView::ParameterChanged, window, [window](int parameter) {
    window->ParameterBox()->setCurrentIndex(parameter);
  });
  connect(window->ParameterBox(), &QComboBox::activated, view_, [this, window](int index) {
    view_->SetParameter(index);
    window->setFocus();
  });
  connect(view_, &TimelineView::ZoomChanged, window, &MainWindow::refreshToolbar);
  connect(view_, &TimelineView::TaskFailedWith, window,
          [this](const QString& key, const QString& detail) {
            const QString text = Text(key.toUtf8().constData()) +
                                 (detail.isEmpty() ? QString() : "\n" + detail);
            if (grab_) {
              std::fprintf(stderr, "quarl: %s\n", text.toUtf8().constData());
              grab_failed_ = true;
            } else if (files_ != nullptr) {
              files_->UseDialogs().warn(text);
            }
          });
  window->SetCommandContextSource([this] {
    CommandContext context = TimelineContext(*view_);
    ProgramMixer* mixer = TheProgramMixer();
    context.playing = mixer != nullptr && mixer->Playing();
    context.realAudioAvailable = RealAudioLibraryPresent();
    return context;
  });

  auto on = [window](int id, auto slot) {
    QObject::connect(window->Command(id), &QAction::triggered, window, slot);
  };
  on(command::kPlay, [this] { PlayOrStop(); });
  on(command::kZoomIn, [this] { view_->ZoomIn(); });
  on(command::kZoomOut, [this] { view_->ZoomOut(); });
  on(command::kRewind, [this] {
    view_->SeekCursor(0);
    view_->ScrollToStart();
  });
  on(command::kFastForward, [this] {
    view_->SeekCursor(view_->Root()->Length(0));
    view_->ScrollToEnd();
  });
  on(command::kCollapse, [this] { view_->LeaveGroup(); });
  on(command::kExpand, [this] { view_->ViewGroup(); });
  on(command::kSelectAll, [this] { view_->SelectAll(); });
  on(command::kExit, [window] { window->close(); });
  files_ = std::make_unique<FileCommands>(window, view_, &settings, window->FileMenu(),
                                          window->RecentFilesAnchor());
  files_->Connect();

  mixer_signals_ = std::make_unique<MixerSignals>();
  connect(mixer_signals_.get(), &MixerSignals::playModeChanged, window,
          [this, window](int mode) {
            window->setPlaying(mode != 0);
            if (mode == 0) view_->PlaybackStopped();
          },
          Qt::QueuedConnection);
  connect(mixer_signals_.get(), &MixerSignals::refreshToolbar, window, &MainWindow::refreshToolbar,
          Qt::QueuedConnection);
  CreateProgramMixer(settings, view_->Root(), mixer_signals_.get());
  view_->SetRenderMixer(TheProgramMixer());

  window->refreshToolbar();

  QScreen* screen = QGuiApplication::primaryScreen();
  const QRect desktop = screen != nullptr ? screen->availableGeometry() : QRect(0, 0, 1280, 1024);
  if (grab_) {
    window->resize(options_.grabSize);
  } else {
    const StoredRect rect = WindowRectToUse(settings.lastWinRect, desktop.width(), desktop.height());
    window->setGeometry(desktop.x() + rect.left, desktop.y() + rect.top, rect.right - rect.left,
                        rect.bottom - rect.top);
  }
  if (!grab_ && settings.lastWinMaxState > 0) {
    window->showMaximized();
  } else {
    window->show();
  }
  if (!problem.isEmpty()) {
    if (grab_) {
      std::fprintf(stderr, "quarl: %s\n", problem.toUtf8().constData());
    } else {
      QMessageBox::warning(window, Text("ProgramName"), problem);
    }
  }

  view_->NewSession();
  OpenFirstDocument();
  return true;
}

void Program::OpenFirstDocument() {
  AppSettings& settings = TheAppSettings();
  if (grab_) {
    const std::string file = options_.file.empty() ? ExampleSessionPath() : options_.file;
    switch (ClassifyStartFile(file)) {
      case StartFileKind::kSession:
        OpenSession(file);
        break;
      case StartFileKind::kSound:
        files_->AddFile(file, 0, 0);
        break;
      default:
        std::fprintf(stderr, "quarl: cannot open %s: not a session or a sound file\n", file.c_str());
        grab_failed_ = true;
        break;
    }
    return;
  }
  if (settings.firstTime) {
    const std::string example = ExampleSessionPath();
    OpenSession(example);
    files_->Recent().Add(example);
    files_->RefreshRecentMenu();
    // When the load is over the example plays once, and the first run is behind us.
    first_run_pending_ = true;
    connect(window_.get(), &MainWindow::busyEnded, this, [this] {
      if (!first_run_pending_) return;
      first_run_pending_ = false;
      TheAppSettings().firstTime = 0;
      QTimer::singleShot(0, this, &Program::PlayOrStop);
    });
    return;
  }
  const std::string& file = options_.file;
  if (file.empty()) return;
  switch (ClassifyStartFile(file)) {
    case StartFileKind::kSession:
      OpenSession(file);
      files_->Recent().Add(file);
      files_->RefreshRecentMenu();
      view_->SetModified(true);
      view_->SetModified(false);
      break;
    case StartFileKind::kSound:
      files_->AddFile(file, 0, 0);
      break;
    case StartFileKind::kPlaylist:
      files_->ImportPlaylistAt(file, 0, 0);
      break;
    case StartFileKind::kNothing:
      break;
  }
}

void Program::OpenSession(const std::string& path) {
  // The session takes the path once it has loaded: a failed open stays unnamed.
  BackgroundTask task;
  task.type = TaskType::kOpenSession;
  task.path = path;
  view_->Tasks().Queue(std::move(task));
}

void Program::PlayOrStop() {
  ProgramMixer* mixer = TheProgramMixer();
  if (mixer == nullptr || view_ == nullptr) return;
  if (mixer->Playing()) {
    mixer->Stop();
    view_->PlaybackStopped();
    return;
  }
  CSoundGroup* root = view_->Root();
  if (root == nullptr || root->GetAtom(0, nullptr) == nullptr) return;
  // Selected items with a selection time range play on their own, from the range's start.
  if (!view_->Selection().empty() && !view_->SelectionRanges().empty()) {
    CSoundGroup* copies = SelectionCopies(view_->Selection());
    const long start = view_->SelectionRanges().front().first;
    // The mixer keeps its own reference for as long as it plays the copies.
    if (mixer->Play(copies, start, 0)) view_->PlaybackStarted(start, copies->Length(0));
    CAudioAtom* held = copies;
    DeleteAtom(&held);
    return;
  }
  const long length = root->Length(0);
  long start = view_->Cursor().Position();
  if (TheAppSettings().preferences.restartNearEnd && start >= length - kRestartNearEndMs) start = 0;
  if (!mixer->Play(root, start, 0)) return;
  view_->PlaybackStarted(start, length);
}

int Program::Run() {
  if (grab_) return Grab();
  return QApplication::exec();
}

int Program::Grab() {
  // The load runs on the tasks' worker; the window's own events keep flowing meanwhile.
  QEventLoop loop;
  QTimer poll;
  poll.setInterval(20);
  int waited = 0;
  connect(&poll, &QTimer::timeout, &loop, [&] {
    waited += 20;
    if ((!view_->Tasks().Busy() && !window_->Busy()) || waited > kGrabLoadTimeoutMs) loop.quit();
  });
  poll.start();
  loop.exec();
  QApplication::processEvents();
  if (grab_failed_) return 1;
  view_->RedrawNow();
  const QPixmap picture = window_->grab();
  if (picture.isNull() || !picture.save(QString::fromStdString(options_.grabPath), "PNG")) {
    std::fprintf(stderr, "quarl: cannot write %s\n", options_.grabPath.c_str());
    return 1;
  }
  return 0;
}

void Program::Shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  AppSettings& settings = TheAppSettings();
  if (window_ != nullptr && !grab_) {
    settings.lastWinMaxState = window_->isMaximized() ? 1 : 0;
    const QRect normal = window_->normalGeometry();
    if (normal.isValid()) {
      settings.lastWinRect = StoredRect{normal.left(), normal.top(), normal.right() + 1,
                                        normal.bottom() + 1};
    }
  }
  if (files_ != nullptr) files_->Recent().Store(&settings.recentFiles);
  files_.reset();
  DeleteProgramMixer();
  // The window owns the view, which ends its task thread and frees the session.
  window_.reset();
  view_ = nullptr;
  if (grab_) return;
  settings.Save();
}
