#include <cli/record_meter.h>
#include <cli/status_line.h>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kFloorDb = -60.0;
constexpr int kBarWidth = 20;

}  // namespace

std::string LevelBar(double level, int width) {
  const double db = level > 0.0 ? 20.0 * std::log10(level) : kFloorDb;
  const double fraction = std::clamp((db - kFloorDb) / -kFloorDb, 0.0, 1.0);
  const int filled = static_cast<int>(std::lround(fraction * width));
  return std::string(static_cast<size_t>(filled), '#')
      .append(static_cast<size_t>(width - filled), '-');
}

std::string RecordMeterText(long elapsedMs, long totalMs, double left, double right, bool stereo) {
  std::string text = "recording ";
  text.append(Clock(elapsedMs));
  if (totalMs >= 0) text.append(" / ").append(Clock(totalMs));
  if (stereo) {
    text.append("  L ").append(LevelBar(left, kBarWidth));
    text.append("  R ").append(LevelBar(right, kBarWidth));
  } else {
    text.append("  ").append(LevelBar(std::max(left, right), kBarWidth));
  }
  return text;
}
