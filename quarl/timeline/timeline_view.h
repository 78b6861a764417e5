#pragma once

#include <quarl/timeline/background_tasks.h>
#include <quarl/timeline/play_cursor.h>
#include <quarl/timeline/timeline_atoms.h>
#include <quarl/timeline/view_transform.h>

#include <QImage>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class CSoundGroup;
class MarkerBar;
class QScrollBar;
class QTimer;
class TimelineBarWindow;

// The parts of a bar the mouse can be over, for tooltips and editing.
enum class BarPart { kNone, kPlayButton, kBody, kEnvelope };

// The time line: the members of one group as bars in time, with the ruler above them and the
// play cursor. It owns the session's root group and the view state. Drawing goes to a back
// buffer: changes mark rectangles dirty (at most 200, else the whole window), and only those
// are painted again before the buffer is copied to the screen.
//
// Runs on the GUI thread. Atoms may tell it of changes from a loading or mixing thread
// (InvalidateBar, ExtentsChanged, ItemStoppedPlaying, ForgetItem); those only mark and queue.
//
// It is the host of the background tasks (adding sounds, opening, saving, rendering), which it
// owns: their calls come on the task thread, swap the root at once and do the window's part
// through queued invocations.
class TimelineView : public QWidget, public TaskHost {
  Q_OBJECT

 public:
  static constexpr int kDefaultZoom = 20;
  static constexpr int kMaxZoom = 1024;
  static constexpr int kMaxDirtyRects = 200;
  static constexpr int kCursorPeriodMs = 50;
  static constexpr int kAnimationPeriodMs = 10;
  static constexpr int kAutoScrollMarginPx = 20;

  explicit TimelineView(QWidget* parent = nullptr);
  ~TimelineView() override;

  TimelineRoot* Root() override { return root_.load(); }
  CSoundGroup* CurrentGroup() override { return current_.load(); }
  BackgroundTasks& Tasks() { return *tasks_; }
  // The mixer renders run on (the program's mixer); null until set.
  void SetRenderMixer(CPCMMixer* mixer) { render_mixer_ = mixer; }
  const ViewTransform& Transform() const { return transform_; }
  MarkerBar* Ruler() const { return marker_bar_; }
  QWidget* BarWindow() const;
  QScrollBar* HorizontalBar() const { return h_scroll_; }
  QScrollBar* VerticalBar() const { return v_scroll_; }

  // Preferences the view follows: "AutoScroll" and "WaveResolution" (ms per peak, 1 to 100;
  // read once at start-up).
  void SetAutoScroll(bool on) { auto_scroll_ = on; }
  bool AutoScroll() const { return auto_scroll_; }
  void SetWaveResolution(int ms);
  int WaveResolution() const { return wave_resolution_; }

  // Zoom in milliseconds per pixel: below 1 ignored, above 1024 made 1024, odd made even,
  // below 2 made 2. The view scrolls so that the anchor time (the play cursor, or the middle
  // of the selection time range when not playing) stays in the middle.
  void SetZoom(int value);
  int Zoom() const { return zoom_; }
  bool CanZoomIn() const { return zoom_ >= 3; }
  bool CanZoomOut() const { return zoom_ < kMaxZoom; }

  // Extents: milliseconds across (the furthest bar end x 110 %) and pixels down (the lowest
  // bar + 72).
  long ExtentX() const { return extent_x_; }
  long ExtentY() const { return extent_y_; }
  void UpdateExtents();

  bool Modified() const { return modified_; }
  void SetModified(bool modified);
  const std::string& SessionPath() const { return session_path_; }
  void SetSessionPath(const std::string& path) { session_path_ = path; }
  bool Busy() const { return busy_; }
  void SetBusy(bool busy, const QString& text = QString());
  const QString& BusyText() const { return busy_text_; }

  // The parameter whose envelopes are shown: 0 volume, 1 pan, 2 rate.
  int Parameter() const { return parameter_; }
  void SetParameter(int parameter);

  // Groups: show `group` (null: the first selected group); back to the parent, selecting the
  // group left.
  void ViewGroup(CSoundGroup* group = nullptr);
  void LeaveGroup();
  bool CanExpand();
  bool CanCollapse() const;

  // Selection, the item under the mouse and the one being dragged (drawn last).
  const std::vector<TimelineItem*>& Selection() const { return selection_; }
  void Select(TimelineItem* item, bool add = false);
  void ClearSelection();
  // Selects every item of the shown group.
  void SelectAll();
  TimelineItem* HotItem() const { return hot_; }
  void SetHotItem(TimelineItem* item);
  void SetDraggedItem(TimelineItem* item);
  void SetUserDragging(bool dragging) { user_dragging_ = dragging; }
  // Time ranges (ms) chosen for play and export, drawn highlighted.
  const std::vector<std::pair<long, long>>& SelectionRanges() const { return ranges_; }
  void SetSelectionRanges(std::vector<std::pair<long, long>> ranges);

  // A new, empty session: selection and path cleared, members removed, cursor at 0, volume
  // shown, not modified, a new root name.
  void NewSession();
  // After a session has been loaded into the root: every item shows its atom, the root is the
  // current group and everything is drawn again.
  void SessionLoaded();

  // Dirty rectangles: a bar (logical), pixels, or everything. Safe from any thread.
  void InvalidateBar(const BarRect& bar);
  void InvalidatePixels(const QRect& rect);
  void InvalidateAll();
  // Paints what is pending into the back buffer and updates the window.
  void RedrawNow();
  const QImage& BackBuffer() const { return back_buffer_; }
  // What is pending: the rectangles, or every pixel (`whole`).
  std::vector<QRect> PendingDirty(bool* whole) const;
  // The rectangles the last paint pass drew.
  const std::vector<QRect>& LastPainted() const { return last_painted_; }

  // The three status panes' texts for the hot or selected item or the current group.
  std::array<QString, 3> StatusTexts();
  void RefreshStatus();
  // The tooltip of a part of an item; `value` is the envelope value under the mouse.
  QString TooltipText(TimelineItem* item, BarPart part, double value);
  // The item and part at a window pixel.
  TimelineItem* HitTest(const QPoint& pixel, BarPart* part, double* value);

  PlayCursor& Cursor() { return cursor_; }
  // Items playing on their own have their play line redrawn every 10 ms.
  void RegisterAnimated(TimelineItem* item);
  void UnregisterAnimated(TimelineItem* item);
  bool AnimationRunning() const;

  // From the atoms (any thread): bars moved or changed length.
  void ExtentsChanged();
  void ItemStoppedPlaying(TimelineItem* item);
  void ForgetItem(TimelineItem* item);

  // The back buffer painting itself, for the bar window.
  void PaintPending();

  // TaskHost, called on the task thread.
  SessionRootGroup* NewRoot() override;
  BarSound* NewSound() override;
  BarGroup* NewGroup() override;
  int PeakResolution() override { return wave_resolution_; }
  // Adds the atom to the current group at `start` ms of session time, in the free lane
  // nearest to `top` (one whose bars leave its time span clear).
  bool PlaceNewAtom(CAudioAtom* atom, long start, int top) override;
  void ContentChanged() override;
  void SessionReplaced(SessionRootGroup* root, const std::string& path) override;
  void SessionSaved(const std::string& path) override;
  void TaskFailed(const char* key, const std::string& detail) override;
  CPCMMixer* RenderMixer() override { return render_mixer_.load(); }

 public slots:
  void ZoomIn();
  void ZoomOut();
  void ScrollToStart();
  void ScrollToEnd();
  // Left edge at `ms` (0 ... 0x2000000); top at `y` pixels.
  void ScrollToTime(long ms, bool redraw = true);
  void ScrollToY(long y, bool redraw = true);
  // Playback started at `position` and ends at `end`: the cursor runs on its 50 ms timer.
  void PlaybackStarted(long position, long end);
  void PlaybackStopped();
  // A seek: the cursor jumps to `position` (and keeps running when it ran).
  void SeekCursor(long position);
  // One step of the cursor timer.
  void StepCursor();

 signals:
  void ParameterChanged(int parameter);
  void TitleChanged();
  void ZoomChanged(int value);
  void StatusTextsChanged(const QString& pane1, const QString& pane2, const QString& pane3);
  // A background task begins (true) or ends (false).
  void BusyChanged(bool busy);
  // A background task failed: the strings file's key of the message and what failed.
  void TaskFailedWith(const QString& key, const QString& detail);
  // Local files were dropped on the bars at `time` ms of session time and `top` pixels down.
  void FilesDropped(const QStringList& paths, long time, int top);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  // Files from the desktop are taken where they are dropped on the bars.
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  friend class TimelineBarWindow;
  void Resized(int width, int height);
  void UpdateScrollBars();
  void PaintRect(QPainter& painter, const QRect& rect);
  void StepAnimation();
  QRect CursorStrip(long position) const;
  long AnchorTime() const;
  template <typename Fn>
  void ForEachItem(CSoundGroup* group, Fn fn);

  TimelineRoot* TheRoot() const { return root_.load(); }
  CSoundGroup* Current() const { return current_.load(); }
  // Lets go of a root the view no longer shows.
  static void ReleaseRoot(TimelineRoot* root);

  ViewTransform transform_;
  // Swapped by an open on the task thread; the old root stays alive until the window has
  // taken the new one.
  std::atomic<TimelineRoot*> root_{nullptr};
  std::atomic<CSoundGroup*> current_{nullptr};
  std::atomic<CPCMMixer*> render_mixer_{nullptr};
  MarkerBar* marker_bar_ = nullptr;
  TimelineBarWindow* bar_window_ = nullptr;
  QScrollBar* h_scroll_ = nullptr;
  QScrollBar* v_scroll_ = nullptr;
  QTimer* cursor_timer_ = nullptr;
  QTimer* animation_timer_ = nullptr;

  int zoom_ = kDefaultZoom;
  long extent_x_ = 0;
  long extent_y_ = 0;
  bool modified_ = false;
  std::string session_path_;
  bool busy_ = false;
  QString busy_text_;
  int parameter_ = 0;
  bool auto_scroll_ = true;
  int wave_resolution_ = 20;
  bool user_dragging_ = false;

  // Items and lists that atoms on other threads may reach: under state_lock_.
  mutable std::recursive_mutex state_lock_;
  std::vector<TimelineItem*> selection_;
  TimelineItem* hot_ = nullptr;
  TimelineItem* dragged_ = nullptr;
  std::vector<TimelineItem*> animated_;
  std::vector<std::pair<long, long>> ranges_;

  mutable std::mutex dirty_lock_;
  std::vector<QRect> dirty_;
  bool all_dirty_ = true;
  bool repaint_queued_ = false;
  std::vector<QRect> last_painted_;
  QImage back_buffer_;

  PlayCursor cursor_;
  // Last, so that it goes first: its worker is done before anything it uses.
  std::unique_ptr<BackgroundTasks> tasks_;
};
