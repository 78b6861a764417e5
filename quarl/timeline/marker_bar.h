#pragma once

#include <QWidget>

#include <string>
#include <vector>

class ViewTransform;

// One tick of the ruler: its time, its length in pixels (8 on multiples of the base interval,
// else 5) and its label.
struct RulerTick {
  long time;
  int length;
  std::string label;
};

struct RulerLayout {
  long interval = 0;  // ms between ticks
  std::vector<RulerTick> ticks;
};

// The ruler's ticks from `left_ms` to `right_ms` at `ms_per_pixel`, for ruler level `level`
// (0: 100 ms, 1: seconds, 2: minutes, 3: hours as the base interval).
RulerLayout LayOutRuler(long left_ms, long right_ms, double ms_per_pixel, int level);

// The strip above the bars: the ruler along its bottom edge (and the markers, drawn over it).
class MarkerBar : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kHeight = 52;

  MarkerBar(const ViewTransform* transform, QWidget* parent);

  // The zoom value and the ruler level that follows from it.
  void SetZoom(int value, int level);
  int Level() const { return level_; }
  int ZoomValue() const { return zoom_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  const ViewTransform* transform_;
  int zoom_ = 20;
  int level_ = 1;
};
