#pragma once

#include <session/bar_chunk.h>

#include <QRect>
#include <QStaticText>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

class CAudioAtom;
class CPeaks;
class QPainter;
class TimelineView;
class ViewTransform;

// The parameter whose envelope the time line shows and edits.
enum TimelineParameter : int { kParamVolume = 0, kParamPan = 1, kParamRate = 2 };

// Heights inside a bar: the title strip on top, then the envelope and waveform area, which
// stops 2 pixels short of the bottom edge.
constexpr int kTitleStripHeight = 18;
constexpr int kAreaBottomMargin = 2;

// The y (pixels) of an envelope value in an area from `area_top` to `area_bottom`; and the
// value at a y, clamped to what the parameter allows.
double EnvelopeY(int parameter, double value, double area_top, double area_bottom);
double EnvelopeValue(int parameter, double y, double area_top, double area_bottom);

// What a bar's drawing needs of the view: where it is, what is selected, and the pens.
struct ItemPaintContext {
  const ViewTransform* transform = nullptr;
  QRect clip;  // the part of the window being painted, in pixels
  // The current selection time range (ms), drawn with the selection pen; empty when end <= start.
  long selection_start = 0;
  long selection_end = 0;
};

// The display part of an atom on the time line: its bar, its name, its flags and its waveform.
// Each program atom embeds one, and its private data points at it. The rectangle is the
// atom's own stored bar (the "zbar" chunk), shared rather than copied.
class TimelineItem {
 public:
  TimelineItem(CAudioAtom* atom, BarRect* bar);
  virtual ~TimelineItem();
  TimelineItem(const TimelineItem&) = delete;
  TimelineItem& operator=(const TimelineItem&) = delete;

  // 1 for a sound, 2 for a group.
  int Kind() const;
  CAudioAtom* Atom() const { return atom_; }
  TimelineView* View() const { return view_; }
  void SetView(TimelineView* view) { view_ = view; }

  BarRect& Bar() { return *bar_; }
  const BarRect& Bar() const { return *bar_; }
  // The bar in window pixels.
  QRect PixelRect(const ViewTransform& transform) const;
  // The bar follows the atom: left at its offset on the time line, right at its end. A frozen
  // bar (being dragged) stays where it is.
  void FollowAtom();
  // The point (logical) lies on the bar, widened by 8 pixels to the right.
  bool Contains(long x, long y, double ms_per_pixel) const;

  const std::string& Name() const { return name_; }
  // At most 127 characters.
  void SetName(const char* name);
  // The name and the display flags of `other`, for a copy of its atom.
  void CopyDisplayFrom(const TimelineItem& other);

  int Parameter() const { return parameter_; }
  void SetParameter(int parameter) { parameter_ = parameter; }

  bool selected = false;
  bool preselected = false;
  bool highlighted = false;
  bool frozen = false;
  bool locked = false;
  bool muted = false;
  bool animated = false;
  // Where the play line was last drawn (pixels), -1 when none.
  long play_line_x = -1;

  // The waveform is rebuilt at its next drawing.
  void MarkWaveformForRebuild() { rebuild_waveform_ = true; }
  // The picture in use, rebuilt first when marked; null when the atom has no peaks.
  // `resolution` is the milliseconds per peak of a group's mixed picture.
  CPeaks* Waveform(unsigned long resolution);

  // Draws the bar into `painter`, clipped to the context's rectangle.
  void Draw(QPainter& painter, const ItemPaintContext& context);
  // Asks the view to redraw the bar.
  void Invalidate();

 private:
  void RebuildWaveform(unsigned long resolution);
  void DrawWaveform(QPainter& painter, const ItemPaintContext& context, const QRect& area,
                    long bar_left_px);
  void DrawEnvelope(QPainter& painter, const ItemPaintContext& context, const QRect& area);
  // The peak at `index` of a waveform streamed from its peak file: read through a window of
  // the waveform's buffer, refilled when the index leaves it.
  int StreamedPeak(CPeaks* peaks, unsigned long index);

  CAudioAtom* atom_;
  BarRect* bar_;
  std::atomic<TimelineView*> view_{nullptr};
  int parameter_ = kParamVolume;
  std::string name_;
  // The name laid out once: bars are redrawn far more often than they are renamed.
  QStaticText title_;
  std::unique_ptr<CPeaks> waveform_;
  std::atomic<bool> rebuild_waveform_{true};  // set by the tree's changes on any thread
  // The streamed peaks in the buffer: from window_start_, window_count_ of them.
  unsigned long window_start_ = 0;
  unsigned long window_count_ = 0;
  // Held while the waveform is rebuilt and drawn.
  std::mutex waveform_lock_;

 public:
  // The bar before a drag and the drag's anchor (editing).
  BarRect saved_bar;
  BarRect anchor_bar;
  // The envelope node or segment last hit (editing): index, time and value.
  int hit_index = -1;
  long hit_time = 0;
  double hit_value = 0.0;
};

// The display item of an atom, null for atoms that have none (the session root).
TimelineItem* ItemOf(CAudioAtom* atom);
