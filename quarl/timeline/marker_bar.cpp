#include <quarl/timeline/marker_bar.h>

#include <quarl/timeline/view_transform.h>
#include <utilities/text_format.h>

#include <QPainter>

namespace {
constexpr long kBaseIntervals[] = {100, 1000, 60000, 3600000};
constexpr int kMajorTick = 8;
constexpr int kMinorTick = 5;
constexpr int kLabelRise = 18;
}  // namespace

RulerLayout LayOutRuler(long left_ms, long right_ms, double ms_per_pixel, int level) {
  RulerLayout layout;
  if (level < 0) level = 0;
  if (level > 3) level = 3;
  const long base = kBaseIntervals[level];
  long interval = base;
  auto pixels = [&](long ms) { return ms / ms_per_pixel; };
  if (pixels(interval) >= 201) {
    while (interval % 2 == 0 && interval / 2 % 2 == 0 && pixels(interval / 2) >= 201)
      interval /= 2;
  } else if (pixels(interval) < 35) {
    interval *= 2;
  }
  if (right_ms - left_ms < 10000 && right_ms > 3600000) interval *= 2;
  layout.interval = interval;

  long first = left_ms - ((left_ms % interval) + interval) % interval;
  const bool with_ms = interval % 1000 != 0 || first % 1000 != 0;
  for (long time = first; time <= right_ms; time += interval) {
    RulerTick tick{time, time % base == 0 ? kMajorTick : kMinorTick, {}};
    char text[kLengthStringSize];
    MakeLengthString(time, text, with_ms ? 1 : 0, layout.ticks.empty() ? 1 : 0);
    tick.label = text;
    layout.ticks.push_back(std::move(tick));
  }
  return layout;
}

MarkerBar::MarkerBar(const ViewTransform* transform, QWidget* parent)
    : QWidget(parent), transform_(transform) {
  setFixedHeight(kHeight);
  setAutoFillBackground(false);
}

void MarkerBar::SetZoom(int value, int level) {
  zoom_ = value;
  level_ = level;
  update();
}

void MarkerBar::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), QColor(232, 232, 226));
  const long left = transform_->XOrigin();
  const long right = transform_->ToLogicalX(width());
  const RulerLayout layout = LayOutRuler(left, right, transform_->XScale(), level_);
  const int bottom = height() - 1;
  painter.setPen(QColor(60, 60, 60));
  painter.drawLine(0, bottom, width(), bottom);
  QFont font = painter.font();
  font.setPixelSize(10);
  painter.setFont(font);
  for (const RulerTick& tick : layout.ticks) {
    const int x = static_cast<int>(transform_->ToPixelX(tick.time));
    painter.drawLine(x, bottom, x, bottom - tick.length);
    painter.drawText(x + 2, bottom - kLabelRise + 10, QString::fromUtf8(tick.label.c_str()));
  }
}
