#include <cli/record_meter.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr double kFloorDb = -60.0;
constexpr int kBarWidth = 20;

// "m:ss.t"
std::string Clock(long ms) {
  ms = std::max(ms, 0L);
  char text[32];
  snprintf(text, sizeof text, "%ld:%02ld.%ld", ms / 60000, ms / 1000 % 60, ms / 100 % 10);
  return text;
}

}  // namespace

std::string LevelBar(double level, int width) {
  const double db = level > 0.0 ? 20.0 * std::log10(level) : kFloorDb;
  const double fraction = std::clamp((db - kFloorDb) / -kFloorDb, 0.0, 1.0);
  const int filled = static_cast<int>(std::lround(fraction * width));
  return std::string(static_cast<size_t>(filled), '#')
      .append(static_cast<size_t>(width - filled), '-');
}

RecordMeterLine::RecordMeterLine() : visible_(isatty(STDERR_FILENO) != 0) {}

RecordMeterLine::~RecordMeterLine() { Clear(); }

void RecordMeterLine::Show(long elapsedMs, long totalMs, double left, double right, bool stereo) {
  if (!visible_) return;
  std::string text = "recording " + Clock(elapsedMs);
  if (totalMs >= 0) text.append(" / ").append(Clock(totalMs));
  if (stereo) {
    text.append("  L ").append(LevelBar(left, kBarWidth));
    text.append("  R ").append(LevelBar(right, kBarWidth));
  } else {
    text.append("  ").append(LevelBar(std::max(left, right), kBarWidth));
  }
  if (text == shown_) return;
  fprintf(stderr, "\r%s\033[K", text.c_str());
  fflush(stderr);
  shown_ = std::move(text);
}

void RecordMeterLine::Clear() {
  if (shown_.empty()) return;
  fputs("\r\033[K", stderr);
  fflush(stderr);
  shown_.clear();
}
