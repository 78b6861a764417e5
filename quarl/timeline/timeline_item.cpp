#include <quarl/timeline/timeline_item.h>

#include <quarl/shell/texts.h>
#include <quarl/timeline/timeline_view.h>
#include <quarl/timeline/view_transform.h>
#include <sonark/load/peaks.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/sound_group.h>

#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

const QColor kBodyColour(246, 246, 240);
const QColor kSelectedBodyColour(255, 244, 214);
const QColor kTitleColour(86, 110, 150);
const QColor kSelectedTitleColour(196, 120, 40);
const QColor kFrameColour(40, 40, 48);
const QColor kTitleTextColour(255, 255, 255);
const QColor kLockedTitleColour(120, 120, 120);
const QColor kEmptyTextColour(110, 110, 110);
const QRgb kWavePen = qRgb(38, 108, 64);
const QRgb kSelectedWavePen = qRgb(178, 52, 52);
const QColor kEnvelopeColour(200, 30, 30);
constexpr int kNodeSize = 5;

double AreaHalf(double top, double bottom) { return (bottom - top) / 2.0; }

}  // namespace

double EnvelopeY(int parameter, double value, double area_top, double area_bottom) {
  const double h = AreaHalf(area_top, area_bottom);
  if (parameter == kParamPan) return area_top + h + h * value;
  return area_bottom - h * value;  // volume and rate: 1.0 in the middle, 2.0 at the top
}

double EnvelopeValue(int parameter, double y, double area_top, double area_bottom) {
  const double h = AreaHalf(area_top, area_bottom);
  if (h <= 0) return parameter == kParamPan ? 0.0 : 1.0;
  if (parameter == kParamPan) return std::clamp((y - area_top - h) / h, -1.0, 1.0);
  const double value = (area_bottom - y) / h;
  if (parameter == kParamRate) return std::max(value, 0.01);
  return std::clamp(value, 0.0, 2.0);
}

TimelineItem* ItemOf(CAudioAtom* atom) {
  return atom ? static_cast<TimelineItem*>(atom->GetPrivateData()) : nullptr;
}

TimelineItem::TimelineItem(CAudioAtom* atom, BarRect* bar) : atom_(atom), bar_(bar) {}

TimelineItem::~TimelineItem() = default;

int TimelineItem::Kind() const { return atom_->Type() == kAtomTypeGroup ? 2 : 1; }

QRect TimelineItem::PixelRect(const ViewTransform& transform) const {
  const long left = transform.ToPixelX(bar_->left);
  const long right = std::max(transform.ToPixelX(bar_->right), left + 1);
  const long top = transform.ToPixelY(bar_->top);
  const long bottom = transform.ToPixelY(bar_->bottom);
  // Far-off bars stay far off without overflowing QRect's int coordinates.
  auto fit = [](long v) { return static_cast<int>(std::clamp(v, -1000000L, 1000000000L)); };
  return QRect(QPoint(fit(left), fit(top)), QPoint(fit(right) - 1, fit(bottom) - 1));
}

void TimelineItem::FollowAtom() {
  if (frozen) return;
  const long left = atom_->AbsoluteOffset();
  bar_->left = static_cast<int32_t>(left);
  bar_->right = static_cast<int32_t>(left + atom_->Length(0));
}

bool TimelineItem::Contains(long x, long y, double ms_per_pixel) const {
  const long widened = bar_->right + static_cast<long>(8 * ms_per_pixel);
  return x >= bar_->left && x < widened && y >= bar_->top && y < bar_->bottom;
}

void TimelineItem::SetName(const char* name) {
  name_.assign(name ? name : "");
  if (name_.size() > 127) name_.resize(127);
  title_.setText(QString::fromUtf8(name_.c_str()));
  title_.setTextFormat(Qt::PlainText);
}

void TimelineItem::CopyDisplayFrom(const TimelineItem& other) {
  SetName(other.name_.c_str());
  parameter_ = other.parameter_;
  locked = other.locked;
  muted = other.muted;
  rebuild_waveform_ = true;
}

CPeaks* TimelineItem::Waveform(unsigned long resolution) {
  std::lock_guard<std::mutex> hold(waveform_lock_);
  if (rebuild_waveform_) RebuildWaveform(resolution);
  return waveform_.get();
}

void TimelineItem::RebuildWaveform(unsigned long resolution) {
  rebuild_waveform_ = false;
  window_count_ = 0;
  waveform_.reset();
  if (atom_->Type() == kAtomTypeSound) {
    CPeaks* own = static_cast<CPCMSound*>(atom_)->GetPeaks();
    if (own != nullptr) waveform_.reset(own->Copy());
    return;
  }
  // A group shows the mix of its members' pictures.
  auto* group = static_cast<CSoundGroup*>(atom_);
  if (resolution == 0) resolution = 20;
  const long length = group->Length(0);
  const long count = std::max(1L, length / static_cast<long>(resolution));
  auto mix = std::make_unique<CPeaks>();
  if (!mix->InitPeaksForMix(resolution, count, length)) return;
  group->Lock();
  for (int i = 0;; ++i) {
    long offset = 0;
    CAudioAtom* member = group->GetAtom(i, &offset);
    if (member == nullptr) break;
    TimelineItem* item = ItemOf(member);
    CPeaks* peaks = item ? item->Waveform(resolution) : nullptr;
    if (peaks == nullptr || peaks->GetNumPeaks() == 0) continue;
    mix->Mix(peaks, static_cast<unsigned long>(offset) / resolution,
             static_cast<unsigned long>(member->Length(0)) / resolution);
  }
  group->Unlock();
  waveform_ = std::move(mix);
}

int TimelineItem::StreamedPeak(CPeaks* peaks, unsigned long index) {
  if (index >= window_start_ && index - window_start_ < window_count_) {
    const unsigned char* data = peaks->GetDataPtr();
    return data ? data[index - window_start_] : 0;
  }
  if (!peaks->IsPeakFileOpen() && !peaks->OpenPeaksFile(nullptr, 0)) return 0;
  unsigned long got = 0;
  int at_end = 0;
  window_count_ = 0;
  if (!peaks->SeekToPeakIndex(index)) return 0;
  peaks->StreamPeaksFromFile(peaks->GetBufferedPeaks(), &got, &at_end);
  window_start_ = index;
  window_count_ = got;
  const unsigned char* data = peaks->GetDataPtr();
  return got > 0 && data ? data[0] : 0;
}

void TimelineItem::Draw(QPainter& painter, const ItemPaintContext& context) {
  const ViewTransform& transform = *context.transform;
  const QRect bar = PixelRect(transform);
  if (!bar.intersects(context.clip)) return;
  const bool chosen = selected || preselected;

  painter.fillRect(bar, chosen ? kSelectedBodyColour : kBodyColour);
  const QRect title(bar.left(), bar.top(), bar.width(), kTitleStripHeight);
  painter.fillRect(title, chosen ? kSelectedTitleColour : locked ? kLockedTitleColour : kTitleColour);
  if (title.intersects(context.clip) && bar.width() > 12 && !name_.empty()) {
    painter.save();
    painter.setClipRect(title.adjusted(4, 0, -2, 0).intersected(context.clip));
    painter.setPen(kTitleTextColour);
    const int rise = (kTitleStripHeight - painter.fontMetrics().height()) / 2;
    painter.drawStaticText(bar.left() + 4, bar.top() + rise, title_);
    painter.restore();
  }
  painter.setPen(kFrameColour);
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(bar);

  // The area runs from top + 18 to bottom - 2, as QRect's inclusive edges: A .. B - 1.
  const int area_top = bar.top() + kTitleStripHeight;
  const int area_bottom = bar.bottom() + 1 - kAreaBottomMargin;
  if (area_bottom <= area_top) return;
  const QRect area(QPoint(bar.left() + 1, area_top), QPoint(bar.right() - 1, area_bottom - 1));

  bool has_audio = true;
  if (atom_->Type() == kAtomTypeSound) {
    has_audio = static_cast<CPCMSound*>(atom_)->DataLength() > 0;
  } else {
    has_audio = static_cast<CSoundGroup*>(atom_)->NumAtoms(kAtomTypeMembers, 0) > 0;
  }
  if (!has_audio || muted) {
    static const QString empty = Text("IDS_BAREMPTY", 64);
    static const QString muted_text = Text("IDS_BARMUTED", 32);
    painter.setPen(kEmptyTextColour);
    painter.drawText(area, Qt::AlignCenter, has_audio ? muted_text : empty);
  } else {
    DrawWaveform(painter, context, area, bar.left());
  }
  DrawEnvelope(painter, context, area);
}

void TimelineItem::DrawWaveform(QPainter& painter, const ItemPaintContext& context,
                                const QRect& area, long bar_left_px) {
  std::lock_guard<std::mutex> hold(waveform_lock_);
  if (rebuild_waveform_) {
    TimelineView* view = view_.load();
    unsigned long resolution = view ? static_cast<unsigned long>(view->WaveResolution()) : 20;
    RebuildWaveform(resolution);
  }
  CPeaks* peaks = waveform_.get();
  if (peaks == nullptr) return;
  const unsigned long count = peaks->GetNumPeaks();
  const unsigned long resolution = peaks->NumMilsPerPeak();
  const unsigned char* data = peaks->GetDataPtr();
  if (count == 0 || resolution == 0 || data == nullptr) return;
  const bool streaming = peaks->IsStreaming() != 0;

  const ViewTransform& transform = *context.transform;
  const double ms_per_pixel = transform.XScale();
  const double data_start =
      atom_->Type() == kAtomTypeSound
          ? static_cast<double>(static_cast<CPCMSound*>(atom_)->GetVirtualTimeStart())
          : 0.0;
  const QRect visible = area.intersected(context.clip);
  if (visible.isEmpty()) return;
  // Area A .. B (B exclusive): half-heights are peak x (B - A) / 512 about the middle.
  const int a = area.top();
  const int b = area.bottom() + 1;
  const int height = b - a;
  const int middle = a + height / 2;

  // Columns go straight into a 32-bit image: far cheaper than a line through the painter.
  QImage* image = dynamic_cast<QImage*>(painter.device());
  const bool direct = image != nullptr && image->depth() == 32 &&
                      painter.worldTransform().isIdentity();
  uchar* bits = direct ? image->bits() : nullptr;
  const qsizetype stride = direct ? image->bytesPerLine() : 0;
  for (int x = visible.left(); x <= visible.right(); ++x) {
    const double column = x - bar_left_px;
    const double position = (data_start + column * ms_per_pixel) / resolution;
    const unsigned long index = static_cast<unsigned long>(position) % count;
    const int peak = streaming ? StreamedPeak(peaks, index) : data[index];
    const int half = peak * height / 512;
    const long time = transform.ToLogicalX(x);
    const bool in_selection =
        context.selection_end > context.selection_start && time >= context.selection_start &&
        time < context.selection_end;
    const QRgb pen = in_selection ? kSelectedWavePen : kWavePen;
    const int y0 = std::max(middle - half, visible.top());
    const int y1 = std::min(middle + half, visible.bottom());
    if (direct) {
      for (int y = y0; y <= y1; ++y) reinterpret_cast<QRgb*>(bits + y * stride)[x] = pen;
    } else if (y0 <= y1) {
      painter.setPen(QColor(pen));
      painter.drawLine(x, y0, x, y1);
    }
  }
}

void TimelineItem::DrawEnvelope(QPainter& painter, const ItemPaintContext& context,
                                const QRect& area) {
  const ViewTransform& transform = *context.transform;
  const double a = area.top();
  const double b = area.bottom() + 1;
  const long left = bar_->left;
  // The visible part of the bar, in the atom's own time.
  const long from = std::max(transform.ToLogicalX(context.clip.left()), static_cast<long>(left)) - left;
  const long to = std::min(transform.ToLogicalX(context.clip.right() + 1),
                           static_cast<long>(bar_->right)) - left;
  if (to < from) return;

  std::vector<QPointF> line;
  std::vector<QPointF> nodes;
  atom_->Lock();
  CMap* map = atom_->GetSrcMap();
  int index = 0;
  long time = 0;
  long first = -1;
  long last = -1;
  std::vector<std::pair<long, double>> events;
  while (_tvol_pan_data* event = map->GetNextEvent(parameter_, index, &time)) {
    double value = 0;
    if (CMap::GetSimpleValue(event, &value)) events.emplace_back(time, value);
    ++index;
  }
  if (!events.empty()) {
    first = events.front().first;
    last = events.back().first;
  }
  const long lo = std::max(first, from);
  const long hi = std::min(last, to);
  if (!events.empty() && lo <= hi) {
    auto point = [&](long t, double value) {
      return QPointF(static_cast<double>(transform.ToPixelX(left + t)),
                     EnvelopeY(parameter_, value, a, b));
    };
    // Linear values where the visible range cuts the curve.
    line.push_back(point(lo, map->GetSimpleValueAtTime(lo, parameter_)));
    for (const auto& [t, value] : events) {
      if (t >= lo && t <= hi) nodes.push_back(point(t, value));
      if (t > lo && t < hi) line.push_back(point(t, value));
    }
    line.push_back(point(hi, map->GetSimpleValueAtTime(hi, parameter_)));
  }
  atom_->Unlock();
  if (line.empty()) return;
  painter.save();
  painter.setClipRect(area.intersected(context.clip).adjusted(-kNodeSize, 0, kNodeSize, 0));
  painter.setPen(kEnvelopeColour);
  painter.drawPolyline(line.data(), static_cast<int>(line.size()));
  painter.setBrush(kEnvelopeColour);
  for (const QPointF& node : nodes) {
    painter.drawRect(QRectF(node.x() - kNodeSize / 2, node.y() - kNodeSize / 2, kNodeSize - 1,
                            kNodeSize - 1));
  }
  painter.restore();
}

void TimelineItem::Invalidate() {
  if (TimelineView* view = view_.load()) view->InvalidateBar(*bar_);
}
