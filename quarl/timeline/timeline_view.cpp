#include <quarl/timeline/timeline_view.h>

#include <quarl/shell/texts.h>
#include <quarl/timeline/marker_bar.h>
#include <quarl/timeline/time_texts.h>
#include <sonark/mixer/current_mixer.h>
#include <sonark/mixer/pcm_mixer.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/sound_group.h>
#include <sonark/names.h>

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGridLayout>
#include <QKeyEvent>
#include <QMimeData>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QThread>
#include <QTimer>
#include <QToolTip>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

const QColor kBackground(214, 216, 220);
const QColor kInside(236, 230, 212);
const QColor kHighlight(178, 200, 232);
const QColor kGrid(196, 198, 204);
constexpr long kMaxScrollTime = 0x2000000;
constexpr int kPlayButtonWidth = 16;
constexpr int kEnvelopeHitPixels = 3;
constexpr int kTooltipLength = 80;
constexpr int kTooltipShowMs = 2000;
constexpr int kTooltipDelayMs = 200;

// Every sound and group below `atom`, depth first.
template <typename Fn>
void WalkTree(CAudioAtom* atom, Fn fn, int depth = 0) {
  if (atom == nullptr || atom->Type() != kAtomTypeGroup || depth > kMaxTreeDepth) return;
  auto* group = static_cast<CSoundGroup*>(atom);
  for (int i = 0;; ++i) {
    long offset = 0;
    CAudioAtom* member = group->GetAtom(i, &offset);
    if (member == nullptr) break;
    fn(member);
    WalkTree(member, fn, depth + 1);
  }
}

QString Printf(const char* format, auto... values) {
  char text[1200];
  snprintf(text, sizeof text, format, values...);
  return QString::fromUtf8(text);
}

}  // namespace

// The window the bars are drawn in: it copies the view's back buffer to the screen and asks
// the view for tooltips and the item under the mouse.
class TimelineBarWindow : public QWidget {
 public:
  explicit TimelineBarWindow(TimelineView* view) : QWidget(view), view_(view) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    // The tooltip comes 200 ms after the mouse stops, and at once while one is showing.
    tip_timer_.setSingleShot(true);
    tip_timer_.setInterval(kTooltipDelayMs);
    QObject::connect(&tip_timer_, &QTimer::timeout, this, [this] { ShowTip(); });
  }

 protected:
  void paintEvent(QPaintEvent* event) override {
    view_->PaintPending();
    QPainter painter(this);
    painter.drawImage(event->rect(), view_->back_buffer_, event->rect());
  }
  void resizeEvent(QResizeEvent*) override { view_->Resized(width(), height()); }
  void mouseMoveEvent(QMouseEvent* event) override {
    BarPart part = BarPart::kNone;
    double value = 0;
    tip_at_ = event->position().toPoint();
    view_->SetHotItem(view_->HitTest(tip_at_, &part, &value));
    if (QToolTip::isVisible()) {
      ShowTip();
    } else {
      tip_timer_.start();
    }
  }
  void leaveEvent(QEvent*) override {
    tip_timer_.stop();
    view_->SetHotItem(nullptr);
  }
  bool event(QEvent* event) override {
    // Our own timer decides when tooltips show.
    if (event->type() == QEvent::ToolTip) return true;
    return QWidget::event(event);
  }

 private:
  void ShowTip() {
    BarPart part = BarPart::kNone;
    double value = 0;
    TimelineItem* item = view_->HitTest(tip_at_, &part, &value);
    if (item == nullptr) {
      QToolTip::hideText();
      return;
    }
    QToolTip::showText(mapToGlobal(tip_at_), view_->TooltipText(item, part, value), this, QRect(),
                       kTooltipShowMs);
  }

  TimelineView* view_;
  QTimer tip_timer_;
  QPoint tip_at_;
};

TimelineView::TimelineView(QWidget* parent) : QWidget(parent) {
  root_ = new TimelineRoot(this);
  current_ = TheRoot();
  char name[1001];
  GenerateUniqueName(name, sizeof name);
  TheRoot()->SetAtomName(name);

  marker_bar_ = new MarkerBar(&transform_, this);
  bar_window_ = new TimelineBarWindow(this);
  h_scroll_ = new QScrollBar(Qt::Horizontal, this);
  v_scroll_ = new QScrollBar(Qt::Vertical, this);
  for (QScrollBar* bar : {h_scroll_, v_scroll_}) {
    bar->setSingleStep(3);
    bar->setTracking(true);
  }
  connect(h_scroll_, &QScrollBar::valueChanged, this,
          [this](int value) { ScrollToTime(static_cast<long>(value * transform_.XScale())); });
  connect(v_scroll_, &QScrollBar::valueChanged, this, [this](int value) { ScrollToY(value); });

  auto* layout = new QGridLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(marker_bar_, 0, 0);
  layout->addWidget(bar_window_, 1, 0);
  layout->addWidget(v_scroll_, 1, 1);
  layout->addWidget(h_scroll_, 2, 0);

  cursor_timer_ = new QTimer(this);
  cursor_timer_->setInterval(kCursorPeriodMs);
  connect(cursor_timer_, &QTimer::timeout, this, &TimelineView::StepCursor);
  animation_timer_ = new QTimer(this);
  animation_timer_->setInterval(kAnimationPeriodMs);
  connect(animation_timer_, &QTimer::timeout, this, &TimelineView::StepAnimation);

  transform_.SetXScale(zoom_);
  marker_bar_->SetZoom(zoom_, 1);
  Resized(transform_.ViewportWidth(), transform_.ViewportHeight());

  setAcceptDrops(true);
  tasks_ = std::make_unique<BackgroundTasks>(this);
  tasks_->SetBusyCallback([this](int state) {
    const bool busy = state == 0;
    QMetaObject::invokeMethod(
        this,
        [this, busy] {
          SetBusy(busy, busy ? QString::fromStdString(tasks_->BusyText()) : QString());
          emit BusyChanged(busy);
        },
        Qt::QueuedConnection);
  });
}

TimelineView::~TimelineView() {
  // The task thread may still be using the root: it finishes (cancelled) first.
  tasks_.reset();
  cursor_timer_->stop();
  animation_timer_->stop();
  ReleaseRoot(TheRoot());
}

void TimelineView::ReleaseRoot(TimelineRoot* root) {
  // Whatever still holds an atom (a playing mixer) must not reach back into the view.
  root->Lock();
  WalkTree(root, [](CAudioAtom* atom) {
    if (TimelineItem* item = ItemOf(atom)) item->SetView(nullptr);
  });
  root->Unlock();
  root->SetView(nullptr);
  CAudioAtom* holder = root;
  DeleteAtom(&holder);
}

QWidget* TimelineView::BarWindow() const { return bar_window_; }

void TimelineView::SetWaveResolution(int ms) { wave_resolution_ = std::clamp(ms, 1, 100); }

template <typename Fn>
void TimelineView::ForEachItem(CSoundGroup* group, Fn fn) {
  group->Lock();
  for (int i = 0;; ++i) {
    long offset = 0;
    CAudioAtom* member = group->GetAtom(i, &offset);
    if (member == nullptr) break;
    if (TimelineItem* item = ItemOf(member)) fn(item);
  }
  group->Unlock();
}

// ---- zoom, extents, scrolling ----

long TimelineView::AnchorTime() const {
  CPCMMixer* mixer = GetCurrentMixer();
  const bool playing = mixer != nullptr && mixer->Playing();
  if (!playing && !ranges_.empty()) return (ranges_.front().first + ranges_.front().second) / 2;
  return cursor_.Position();
}

void TimelineView::SetZoom(int value) {
  if (value < 1) return;
  if (value > kMaxZoom) value = kMaxZoom;
  if (value % 2 != 0) value -= 1;
  if (value < 2) value = 2;
  zoom_ = value;
  transform_.SetXScale(value);
  marker_bar_->SetZoom(value, value < 32 ? 1 : 2);
  const long anchor = AnchorTime();
  const long left = std::max(0L, anchor - static_cast<long>(transform_.LogicalWidth() / 2));
  UpdateExtents();
  ScrollToTime(left, false);
  InvalidateAll();
  emit ZoomChanged(zoom_);
}

void TimelineView::ZoomIn() {
  if (CanZoomIn()) SetZoom(zoom_ / 2);
}

void TimelineView::ZoomOut() {
  if (CanZoomOut()) SetZoom(zoom_ * 2);
}

void TimelineView::UpdateExtents() {
  long right = 0;
  long bottom = 0;
  ForEachItem(Current(), [&](TimelineItem* item) {
    right = std::max(right, static_cast<long>(item->Bar().right));
    bottom = std::max(bottom, static_cast<long>(item->Bar().bottom));
  });
  const int markers = TheRoot()->Markers().Count();
  MarkerRecord last;
  if (markers > 0 && TheRoot()->Markers().Get(markers - 1, &last)) right = std::max(right, long{last.time});
  extent_x_ = right * 110 / 100;
  extent_y_ = bottom + kLaneSpacing;
  UpdateScrollBars();
}

void TimelineView::UpdateScrollBars() {
  const int width = transform_.ViewportWidth();
  const int height = transform_.ViewportHeight();
  const long extent_px = static_cast<long>(extent_x_ / transform_.XScale());
  const long extent_py = static_cast<long>(extent_y_ / transform_.YScale());
  {
    const QSignalBlocker block_h(h_scroll_);
    const QSignalBlocker block_v(v_scroll_);
    h_scroll_->setRange(0, static_cast<int>(std::max(0L, extent_px - width)));
    h_scroll_->setPageStep(std::max(1, width / 8));
    h_scroll_->setValue(static_cast<int>(transform_.XOrigin() / transform_.XScale()));
    v_scroll_->setRange(0, static_cast<int>(std::max(0L, extent_py - height)));
    v_scroll_->setPageStep(std::max(1, height / 8));
    v_scroll_->setValue(static_cast<int>(transform_.YOrigin()));
  }
  // Everything fits: back to the start.
  if (extent_px <= width && transform_.XOrigin() != 0) ScrollToTime(0);
  if (extent_py <= height && transform_.YOrigin() != 0) ScrollToY(0);
}

void TimelineView::ScrollToTime(long ms, bool redraw) {
  ms = std::clamp(ms, 0L, kMaxScrollTime);
  if (ms == transform_.XOrigin() && !redraw) return;
  transform_.SetOrigin(ms, transform_.YOrigin());
  {
    const QSignalBlocker block(h_scroll_);
    h_scroll_->setValue(static_cast<int>(ms / transform_.XScale()));
  }
  marker_bar_->update();
  if (redraw) InvalidateAll();
}

void TimelineView::ScrollToY(long y, bool redraw) {
  y = std::max(0L, y);
  transform_.SetOrigin(transform_.XOrigin(), y);
  {
    const QSignalBlocker block(v_scroll_);
    v_scroll_->setValue(static_cast<int>(y));
  }
  if (redraw) InvalidateAll();
}

void TimelineView::ScrollToStart() { ScrollToTime(0); }

void TimelineView::ScrollToEnd() {
  ScrollToTime(std::max(0L, extent_x_ - static_cast<long>(transform_.LogicalWidth())));
}

void TimelineView::Resized(int width, int height) {
  width = std::max(width, 1);
  height = std::max(height, 1);
  back_buffer_ = QImage(width, height, QImage::Format_RGB32);
  transform_.SetViewport(width, height);
  UpdateScrollBars();
  InvalidateAll();
}

void TimelineView::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Minus: ZoomOut(); break;
    case Qt::Key_Plus:
    case Qt::Key_Equal: ZoomIn(); break;
    case Qt::Key_Home: ScrollToStart(); break;
    case Qt::Key_End: ScrollToEnd(); break;
    default: QWidget::keyPressEvent(event); return;
  }
  RedrawNow();
}

// ---- dropped files ----

namespace {

QStringList LocalFiles(const QMimeData* data) {
  QStringList files;
  if (data == nullptr || !data->hasUrls()) return files;
  for (const QUrl& url : data->urls()) {
    if (url.isLocalFile()) files << url.toLocalFile();
  }
  return files;
}

}  // namespace

void TimelineView::dragEnterEvent(QDragEnterEvent* event) {
  if (!busy_ && !LocalFiles(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void TimelineView::dragMoveEvent(QDragMoveEvent* event) {
  // Only the bars take files; the ruler and the scroll bars do not.
  const QPoint at = bar_window_->mapFrom(this, event->position().toPoint());
  if (!busy_ && bar_window_->rect().contains(at)) {
    event->acceptProposedAction();
  } else {
    event->ignore();
  }
}

void TimelineView::dropEvent(QDropEvent* event) {
  const QStringList files = LocalFiles(event->mimeData());
  const QPoint at = bar_window_->mapFrom(this, event->position().toPoint());
  if (busy_ || files.isEmpty() || !bar_window_->rect().contains(at)) {
    event->ignore();
    return;
  }
  event->acceptProposedAction();
  const long time = std::max(0L, transform_.ToLogicalX(at.x()));
  const long top = std::max(0L, transform_.ToLogicalY(at.y()));
  emit FilesDropped(files, time, static_cast<int>(top));
}

// ---- state ----

void TimelineView::SetModified(bool modified) {
  if (modified == modified_) return;
  modified_ = modified;
  QMetaObject::invokeMethod(this, [this] { emit TitleChanged(); }, Qt::QueuedConnection);
}

void TimelineView::SetBusy(bool busy, const QString& text) {
  busy_ = busy;
  busy_text_ = text.left(259);
}

void TimelineView::SetParameter(int parameter) {
  parameter_ = std::clamp(parameter, 0, 2);
  ForEachItem(Current(), [this](TimelineItem* item) { item->SetParameter(parameter_); });
  const int value = parameter_;
  QMetaObject::invokeMethod(this, [this, value] { emit ParameterChanged(value); },
                            Qt::QueuedConnection);
  InvalidateAll();
}

void TimelineView::ViewGroup(CSoundGroup* group) {
  if (group == nullptr) {
    std::lock_guard<std::recursive_mutex> hold(state_lock_);
    for (TimelineItem* item : selection_) {
      if (item->Atom()->Type() == kAtomTypeGroup) {
        group = static_cast<CSoundGroup*>(item->Atom());
        break;
      }
    }
  }
  if (group == nullptr) return;
  current_ = group;
  ClearSelection();
  ForEachItem(Current(), [this](TimelineItem* item) { item->SetParameter(parameter_); });
  UpdateExtents();
  InvalidateAll();
  RefreshStatus();
}

void TimelineView::LeaveGroup() {
  CAudioAtom* parent = Current()->Parent();
  if (parent == nullptr) return;
  TimelineItem* left = ItemOf(Current());
  ViewGroup(static_cast<CSoundGroup*>(parent));
  if (left != nullptr) Select(left);
}

bool TimelineView::CanExpand() {
  std::lock_guard<std::recursive_mutex> hold(state_lock_);
  return std::any_of(selection_.begin(), selection_.end(),
                     [](TimelineItem* item) { return item->Atom()->Type() == kAtomTypeGroup; });
}

bool TimelineView::CanCollapse() const { return Current()->Parent() != nullptr; }

void TimelineView::Select(TimelineItem* item, bool add) {
  if (!add) ClearSelection();
  if (item == nullptr) return;
  {
    std::lock_guard<std::recursive_mutex> hold(state_lock_);
    if (std::find(selection_.begin(), selection_.end(), item) == selection_.end())
      selection_.push_back(item);
    item->selected = true;
  }
  item->Invalidate();
  RefreshStatus();
}

void TimelineView::SelectAll() {
  CSoundGroup* group = CurrentGroup();
  if (group == nullptr) return;
  // Gathered first: selecting refreshes the status, which must not run under the group's lock.
  std::vector<TimelineItem*> items;
  ForEachItem(group, [&items](TimelineItem* item) { items.push_back(item); });
  ClearSelection();
  for (TimelineItem* item : items) Select(item, true);
}

void TimelineView::ClearSelection() {
  std::vector<TimelineItem*> was;
  {
    std::lock_guard<std::recursive_mutex> hold(state_lock_);
    was.swap(selection_);
    for (TimelineItem* item : was) item->selected = false;
  }
  for (TimelineItem* item : was) item->Invalidate();
  if (!was.empty()) RefreshStatus();
}

void TimelineView::SetHotItem(TimelineItem* item) {
  {
    std::lock_guard<std::recursive_mutex> hold(state_lock_);
    if (hot_ == item) return;
    if (hot_ != nullptr) hot_->highlighted = false;
    hot_ = item;
    if (hot_ != nullptr) hot_->highlighted = true;
  }
  RefreshStatus();
}

void TimelineView::SetDraggedItem(TimelineItem* item) {
  std::lock_guard<std::recursive_mutex> hold(state_lock_);
  dragged_ = item;
}

void TimelineView::SetSelectionRanges(std::vector<std::pair<long, long>> ranges) {
  ranges_ = std::move(ranges);
  InvalidateAll();
}

void TimelineView::NewSession() {
  SetBusy(true);
  {
    std::lock_guard<std::recursive_mutex> hold(state_lock_);
    hot_ = nullptr;
    dragged_ = nullptr;
  }
  ClearSelection();
  session_path_.clear();
  current_ = TheRoot();
  {
    // One rebuild at the end rather than one per member.
    MapCombiningPause pause;
    while (CAudioAtom* member = TheRoot()->GetAtom(0, nullptr)) {
      if (member->Remove() == nullptr && TheRoot()->GetAtom(0, nullptr) == member) break;
    }
  }
  TheRoot()->ResetMarkers();
  cursor_.Stop();
  cursor_timer_->stop();
  cursor_.Synchronise(0);
  SetParameter(kParamVolume);
  SetModified(false);
  char name[1001];
  GenerateUniqueName(name, sizeof name);
  TheRoot()->SetAtomName(name);
  UpdateExtents();
  ScrollToTime(0, false);
  ScrollToY(0, false);
  InvalidateAll();
  SetBusy(false);
  RefreshStatus();
}

void TimelineView::SessionLoaded() {
  TheRoot()->Lock();
  WalkTree(TheRoot(), [this](CAudioAtom* atom) {
    if (TimelineItem* item = ItemOf(atom)) {
      item->SetView(this);
      item->SetParameter(parameter_);
      item->FollowAtom();
      item->MarkWaveformForRebuild();
    }
  });
  TheRoot()->Unlock();
  current_ = TheRoot();
  UpdateExtents();
  InvalidateAll();
  RefreshStatus();
}

// ---- dirty rectangles and painting ----

void TimelineView::InvalidateBar(const BarRect& bar) {
  if (QThread::currentThread() != thread()) {
    InvalidateAll();
    return;
  }
  const long left = transform_.ToPixelX(bar.left);
  const long right = transform_.ToPixelX(bar.right);
  const long top = transform_.ToPixelY(bar.top);
  const long bottom = transform_.ToPixelY(bar.bottom);
  const QRect window(0, 0, transform_.ViewportWidth(), transform_.ViewportHeight());
  // Wide enough for the envelope's node squares at either edge.
  const long margin = 4;
  if (right + margin < 0 || left - margin > window.right() || bottom < 0 || top > window.bottom())
    return;
  auto fit = [](long v) { return static_cast<int>(std::clamp(v, -10L, 100000L)); };
  InvalidatePixels(QRect(QPoint(fit(left - margin), fit(top)), QPoint(fit(right + margin), fit(bottom))));
}

void TimelineView::InvalidatePixels(const QRect& rect) {
  const bool gui = QThread::currentThread() == thread();
  bool queue = false;
  {
    std::lock_guard<std::mutex> hold(dirty_lock_);
    if (!all_dirty_) {
      if (static_cast<int>(dirty_.size()) < kMaxDirtyRects && gui) {
        dirty_.push_back(rect);
      } else {
        all_dirty_ = true;
        dirty_.clear();
      }
    }
    if (!gui && !repaint_queued_) queue = repaint_queued_ = true;
  }
  if (gui) {
    bar_window_->update(rect);
  } else if (queue) {
    QWidget* window = bar_window_;
    QMetaObject::invokeMethod(window, [window] { window->update(); }, Qt::QueuedConnection);
  }
}

void TimelineView::InvalidateAll() {
  const bool gui = QThread::currentThread() == thread();
  bool queue = false;
  {
    std::lock_guard<std::mutex> hold(dirty_lock_);
    all_dirty_ = true;
    dirty_.clear();
    if (!gui && !repaint_queued_) queue = repaint_queued_ = true;
  }
  if (gui) {
    bar_window_->update();
  } else if (queue) {
    QWidget* window = bar_window_;
    QMetaObject::invokeMethod(window, [window] { window->update(); }, Qt::QueuedConnection);
  }
}

std::vector<QRect> TimelineView::PendingDirty(bool* whole) const {
  std::lock_guard<std::mutex> hold(dirty_lock_);
  if (whole != nullptr) *whole = all_dirty_;
  return dirty_;
}

void TimelineView::RedrawNow() {
  PaintPending();
  bar_window_->update();
}

void TimelineView::PaintPending() {
  std::vector<QRect> rects;
  {
    std::lock_guard<std::mutex> hold(dirty_lock_);
    if (all_dirty_) {
      rects.push_back(back_buffer_.rect());
    } else {
      rects.swap(dirty_);
    }
    dirty_.clear();
    all_dirty_ = false;
    repaint_queued_ = false;
  }
  last_painted_.clear();
  if (back_buffer_.isNull()) return;
  QPainter painter(&back_buffer_);
  for (const QRect& rect : rects) {
    const QRect part = rect.intersected(back_buffer_.rect());
    if (part.isEmpty()) continue;
    painter.save();
    painter.setClipRect(part);
    PaintRect(painter, part);
    painter.restore();
    last_painted_.push_back(part);
  }
}

QRect TimelineView::CursorStrip(long position) const {
  const long x = transform_.ToPixelX(position);
  const long clamped = std::clamp(x, -2L, static_cast<long>(transform_.ViewportWidth()) + 2);
  return QRect(static_cast<int>(clamped), 0, 2, transform_.ViewportHeight());
}

void TimelineView::PaintRect(QPainter& painter, const QRect& rect) {
  CSoundGroup* group = Current();
  painter.fillRect(rect, kBackground);
  if (group != TheRoot()) {
    const long start = group->AbsoluteOffset();
    const long end = start + group->Length(0);
    QRect span(QPoint(static_cast<int>(std::max(-1L, transform_.ToPixelX(start))), rect.top()),
               QPoint(static_cast<int>(std::min(100000L, transform_.ToPixelX(end))), rect.bottom()));
    painter.fillRect(span.intersected(rect), kInside);
  }
  for (const auto& [from, to] : ranges_) {
    const long x0 = std::max(-1L, transform_.ToPixelX(from));
    const long x1 = std::min(100000L, transform_.ToPixelX(to));
    if (x1 > x0)
      painter.fillRect(QRect(static_cast<int>(x0), rect.top(), static_cast<int>(x1 - x0),
                             rect.height()).intersected(rect),
                       kHighlight);
  }
  // The grid: one line in the gap below each lane.
  painter.setPen(kGrid);
  const long first_lane = transform_.ToLogicalY(rect.top()) / kLaneSpacing;
  const long last_lane = transform_.ToLogicalY(rect.bottom()) / kLaneSpacing + 1;
  for (long lane = first_lane; lane <= last_lane; ++lane) {
    const long y = transform_.ToPixelY(lane * kLaneSpacing + (kBarHeight + kLaneSpacing) / 2);
    if (y >= rect.top() && y <= rect.bottom())
      painter.drawLine(rect.left(), static_cast<int>(y), rect.right(), static_cast<int>(y));
  }

  ItemPaintContext context;
  context.transform = &transform_;
  context.clip = rect;
  if (!ranges_.empty()) {
    context.selection_start = ranges_.front().first;
    context.selection_end = ranges_.front().second;
  }
  // The view's lists are never locked while an atom's lock is taken: threads that change the
  // tree hold atom locks when they tell the view an item is going. The dragged item is only
  // compared here, and drawn once found among the members under the group's lock.
  TimelineItem* dragged = nullptr;
  {
    std::lock_guard<std::recursive_mutex> hold(state_lock_);
    dragged = dragged_;
  }
  bool dragged_found = false;
  group->Lock();
  ForEachItem(group, [&](TimelineItem* item) {
    if (item == dragged) {
      dragged_found = true;
    } else {
      item->Draw(painter, context);
    }
  });
  if (dragged_found) dragged->Draw(painter, context);
  group->Unlock();

  std::lock_guard<std::recursive_mutex> hold(state_lock_);
  painter.setCompositionMode(QPainter::RasterOp_NotDestination);
  painter.setPen(Qt::black);
  for (TimelineItem* item : animated_) {
    if (item->play_line_x < 0) continue;
    const QRect bar = item->PixelRect(transform_);
    const int x = static_cast<int>(item->play_line_x);
    painter.drawLine(x, bar.top() + kTitleStripHeight, x, bar.bottom() - kAreaBottomMargin);
  }
  const long cursor_x = transform_.ToPixelX(cursor_.Position());
  if (cursor_x >= rect.left() && cursor_x <= rect.right())
    painter.drawLine(static_cast<int>(cursor_x), rect.top(), static_cast<int>(cursor_x),
                     rect.bottom());
  painter.setCompositionMode(QPainter::CompositionMode_SourceOver);

  for (const MarkerRecord& marker : TheRoot()->Markers().Records()) {
    const long x = transform_.ToPixelX(marker.time);
    if (x < rect.left() || x > rect.right()) continue;
    const uint32_t colour = static_cast<uint32_t>(marker.colour);
    painter.setPen(QColor(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF));
    painter.drawLine(static_cast<int>(x), rect.top(), static_cast<int>(x), rect.bottom());
  }
}

// ---- play cursor and animation ----

void TimelineView::PlaybackStarted(long position, long end) {
  InvalidatePixels(CursorStrip(cursor_.Position()));
  cursor_.Start(position, end);
  InvalidatePixels(CursorStrip(position));
  cursor_timer_->start();
}

void TimelineView::PlaybackStopped() {
  cursor_.Stop();
  cursor_timer_->stop();
}

void TimelineView::SeekCursor(long position) {
  InvalidatePixels(CursorStrip(cursor_.Position()));
  cursor_.Synchronise(position);
  InvalidatePixels(CursorStrip(position));
}

void TimelineView::StepCursor() {
  const long old_position = cursor_.Position();
  const long position = cursor_.Advance();
  if (!cursor_.Running()) cursor_timer_->stop();
  if (transform_.ToPixelX(position) == transform_.ToPixelX(old_position)) return;
  if (auto_scroll_ && !user_dragging_) {
    const long margin = static_cast<long>(kAutoScrollMarginPx * transform_.XScale());
    const long left = transform_.XOrigin();
    const long right = left + static_cast<long>(transform_.LogicalWidth());
    // Past either edge, the cursor goes to the left edge and runs across the window again.
    if (position < left || position + margin >= right) {
      ScrollToTime(position);
      return;
    }
  }
  InvalidatePixels(CursorStrip(old_position));
  InvalidatePixels(CursorStrip(position));
}

void TimelineView::RegisterAnimated(TimelineItem* item) {
  std::lock_guard<std::recursive_mutex> hold(state_lock_);
  if (std::find(animated_.begin(), animated_.end(), item) != animated_.end()) return;
  animated_.push_back(item);
  item->animated = true;
  item->play_line_x = -1;
  if (!animation_timer_->isActive()) animation_timer_->start();
}

void TimelineView::UnregisterAnimated(TimelineItem* item) {
  std::lock_guard<std::recursive_mutex> hold(state_lock_);
  auto it = std::find(animated_.begin(), animated_.end(), item);
  if (it == animated_.end()) return;
  animated_.erase(it);
  item->animated = false;
  if (item->play_line_x >= 0) {
    const QRect bar = item->PixelRect(transform_);
    InvalidatePixels(QRect(static_cast<int>(item->play_line_x), bar.top(), 2, bar.height()));
  }
  item->play_line_x = -1;
  if (animated_.empty()) animation_timer_->stop();
}

bool TimelineView::AnimationRunning() const { return animation_timer_->isActive(); }

void TimelineView::StepAnimation() {
  // An item leaves this list (under its lock) before it is destroyed.
  std::lock_guard<std::recursive_mutex> hold(state_lock_);
  for (TimelineItem* item : animated_) {
    const long offset = item->Atom()->CurrentPlayOffset();
    const long x = transform_.ToPixelX(item->Bar().left + offset);
    if (x == item->play_line_x) continue;
    const QRect bar = item->PixelRect(transform_);
    if (item->play_line_x >= 0)
      InvalidatePixels(QRect(static_cast<int>(item->play_line_x), bar.top(), 2, bar.height()));
    item->play_line_x = x;
    InvalidatePixels(QRect(static_cast<int>(x), bar.top(), 2, bar.height()));
  }
}

void TimelineView::ExtentsChanged() {
  QMetaObject::invokeMethod(this, [this] { UpdateExtents(); }, Qt::QueuedConnection);
}

void TimelineView::ItemStoppedPlaying(TimelineItem* item) {
  // The pointer is only compared on the GUI thread; the item may be gone by then.
  QMetaObject::invokeMethod(
      this,
      [this, item] {
        std::lock_guard<std::recursive_mutex> hold(state_lock_);
        if (std::find(animated_.begin(), animated_.end(), item) != animated_.end())
          UnregisterAnimated(item);
      },
      Qt::QueuedConnection);
}

void TimelineView::ForgetItem(TimelineItem* item) {
  std::lock_guard<std::recursive_mutex> hold(state_lock_);
  selection_.erase(std::remove(selection_.begin(), selection_.end(), item), selection_.end());
  animated_.erase(std::remove(animated_.begin(), animated_.end(), item), animated_.end());
  if (hot_ == item) hot_ = nullptr;
  if (dragged_ == item) dragged_ = nullptr;
  if (animated_.empty()) {
    QTimer* timer = animation_timer_;
    QMetaObject::invokeMethod(timer, [timer] { timer->stop(); }, Qt::QueuedConnection);
  }
}

// ---- texts ----

std::array<QString, 3> TimelineView::StatusTexts() {
  std::array<QString, 3> panes;
  TimelineItem* item = nullptr;
  {
    std::lock_guard<std::recursive_mutex> hold(state_lock_);
    item = hot_ != nullptr ? hot_ : selection_.size() == 1 ? selection_.front() : nullptr;
  }
  if (item != nullptr) {
    CAudioAtom* atom = item->Atom();
    const std::string name = item->Name().empty() ? atom->GetInfo()->name : item->Name();
    const std::string start = PositionText(atom->AbsoluteOffset(), false);
    panes[0] = Printf("[%s] %s", start.c_str(), name.c_str());
    if (atom->Type() == kAtomTypeSound) {
      char format[128] = "";
      static_cast<CPCMSound*>(atom)->GetSrcFormatString(format, sizeof format);
      panes[1] = QString::fromUtf8(format);
      panes[2] = QString::fromStdString(LengthText(atom->Length(0)));
    }
    return panes;
  }
  if (Current() == TheRoot() || Current()->Parent() == nullptr) {
    panes[0] = QString::fromUtf8(Current()->GetInfo()->name);
  } else {
    char nested[1024] = "";
    Current()->GetNestedName(nested, sizeof nested, 4);
    panes[0] = Printf("%s (%ld down)", nested, Current()->LevelsDeep());
  }
  panes[1] = Printf("%d Sounds, %d Sub-Groups", Current()->NumAtoms(kAtomTypeSound, 0),
                    Current()->NumAtoms(kAtomTypeGroup, 0));
  panes[2] = QString::fromStdString(LengthText(Current()->Length(0)));
  return panes;
}

void TimelineView::RefreshStatus() {
  const std::array<QString, 3> panes = StatusTexts();
  emit StatusTextsChanged(panes[0], panes[1], panes[2]);
}

QString TimelineView::TooltipText(TimelineItem* item, BarPart part, double value) {
  if (item == nullptr) return QString();
  CAudioAtom* atom = item->Atom();
  const std::string name = item->Name().empty() ? atom->GetInfo()->name : item->Name();
  QString text;
  switch (part) {
    case BarPart::kPlayButton:
      text = Printf("%s %s",
                    Text(atom->Playing() ? "IDS_STOP_BAR" : "IDS_PLAY_BAR").toUtf8().constData(),
                    name.c_str());
      break;
    case BarPart::kEnvelope: {
      const int percent = static_cast<int>(std::trunc(value * 100));
      if (item->Parameter() == kParamPan) {
        if (percent == 0) text = Printf("%d %% (Center)", 0);
        else if (percent < 0) text = Printf("%d %% (Left Speaker)", -percent);
        else text = Printf("%d %% (Right Speaker)", percent);
      } else {
        text = Printf(item->Parameter() == kParamRate ? "%d %% (Rate)" : "%d %% (Volume)",
                      percent);
      }
      break;
    }
    default: {
      const std::string start = PositionText(atom->AbsoluteOffset(), true);
      text = Printf(atom->Locked() ? "%s (Locked) @ %s " : "%s @ %s ", name.c_str(),
                    start.c_str());
      if (atom->Playing()) text += Text("IDS_PLAYING_NOW");
      break;
    }
  }
  return text.left(kTooltipLength);
}

TimelineItem* TimelineView::HitTest(const QPoint& pixel, BarPart* part, double* value) {
  *part = BarPart::kNone;
  *value = 0;
  const long x = transform_.ToLogicalX(pixel.x());
  const long y = transform_.ToLogicalY(pixel.y());
  TimelineItem* hit = nullptr;
  // The last one drawn lies on top.
  ForEachItem(Current(), [&](TimelineItem* item) {
    if (item->Contains(x, y, transform_.XScale())) hit = item;
  });
  if (hit == nullptr) return nullptr;
  const QRect bar = hit->PixelRect(transform_);
  if (pixel.y() < bar.top() + kTitleStripHeight) {
    *part = pixel.x() < bar.left() + kPlayButtonWidth ? BarPart::kPlayButton : BarPart::kBody;
    return hit;
  }
  *part = BarPart::kBody;
  const double a = bar.top() + kTitleStripHeight;
  const double b = bar.bottom() + 1 - kAreaBottomMargin;
  CAudioAtom* atom = hit->Atom();
  atom->Lock();
  const bool has_events = atom->GetSrcMap()->NumEvents(hit->Parameter()) > 0;
  const double at = atom->GetSrcMap()->GetSimpleValueAtTime(x - hit->Bar().left, hit->Parameter());
  atom->Unlock();
  if (has_events && std::abs(EnvelopeY(hit->Parameter(), at, a, b) - pixel.y()) <= kEnvelopeHitPixels) {
    *part = BarPart::kEnvelope;
    *value = EnvelopeValue(hit->Parameter(), pixel.y(), a, b);
  }
  return hit;
}

// ---- background tasks ----

SessionRootGroup* TimelineView::NewRoot() { return new TimelineRoot(this); }

BarSound* TimelineView::NewSound() { return new TimelineSound(); }

BarGroup* TimelineView::NewGroup() { return new TimelineGroup(); }

bool TimelineView::PlaceNewAtom(CAudioAtom* atom, long start, int top) {
  TimelineItem* item = ItemOf(atom);
  CSoundGroup* group = Current();
  const long length = atom->Length(0);
  if (item != nullptr) {
    // The lanes whose bars overlap the new bar's time are taken; the nearest free one wins.
    std::vector<long> taken;
    group->Lock();
    for (int i = 0;; ++i) {
      long offset = 0;
      CAudioAtom* member = group->GetAtom(i, &offset);
      if (member == nullptr) break;
      TimelineItem* other = ItemOf(member);
      if (other == nullptr) continue;
      const BarRect& bar = other->Bar();
      if (bar.left < start + length && bar.right > start) taken.push_back(bar.top / kLaneSpacing);
    }
    group->Unlock();
    const long wanted = std::max(0, top) / kLaneSpacing;
    long lane = wanted;
    for (long step = 0;; ++step) {
      if (std::find(taken.begin(), taken.end(), wanted + step) == taken.end()) {
        lane = wanted + step;
        break;
      }
      if (step <= wanted &&
          std::find(taken.begin(), taken.end(), wanted - step) == taken.end()) {
        lane = wanted - step;
        break;
      }
    }
    item->Bar() = BarInLane(start, length, static_cast<int>(lane));
  }
  // A session added as a group brings its members, which show through this view too.
  const int parameter = parameter_;
  auto show_here = [this, parameter](CAudioAtom* shown) {
    if (TimelineItem* shown_item = ItemOf(shown)) {
      shown_item->SetView(this);
      shown_item->SetParameter(parameter);
    }
  };
  show_here(atom);
  WalkTree(atom, show_here);
  return atom->Add(group, start - group->AbsoluteOffset()) != nullptr;
}

void TimelineView::ContentChanged() {
  QMetaObject::invokeMethod(
      this,
      [this] {
        UpdateExtents();
        SetModified(true);
        InvalidateAll();
        RefreshStatus();
      },
      Qt::QueuedConnection);
}

void TimelineView::SessionReplaced(SessionRootGroup* root, const std::string& path) {
  auto* fresh = static_cast<TimelineRoot*>(root);
  TimelineRoot* old = root_.exchange(fresh);
  current_ = fresh;
  QMetaObject::invokeMethod(
      this,
      [this, old, path] {
        {
          std::lock_guard<std::recursive_mutex> hold(state_lock_);
          selection_.clear();
          animated_.clear();
          hot_ = nullptr;
          dragged_ = nullptr;
        }
        animation_timer_->stop();
        ReleaseRoot(old);
        session_path_ = path;
        cursor_.Stop();
        cursor_timer_->stop();
        cursor_.Synchronise(0);
        ScrollToTime(0, false);
        ScrollToY(0, false);
        SessionLoaded();
        SetModified(false);
        QMetaObject::invokeMethod(this, [this] { emit TitleChanged(); }, Qt::QueuedConnection);
      },
      Qt::QueuedConnection);
}

void TimelineView::SessionSaved(const std::string& path) {
  QMetaObject::invokeMethod(
      this,
      [this, path] {
        session_path_ = path;
        SetModified(false);
        emit TitleChanged();
      },
      Qt::QueuedConnection);
}

void TimelineView::TaskFailed(const char* key, const std::string& detail) {
  const QString text_key = QString::fromUtf8(key);
  const QString text_detail = QString::fromStdString(detail);
  QMetaObject::invokeMethod(
      this, [this, text_key, text_detail] { emit TaskFailedWith(text_key, text_detail); },
      Qt::QueuedConnection);
}
