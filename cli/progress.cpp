#include <cli/progress.h>

#include <unistd.h>

#include <algorithm>

#include <platform/clock.h>

ProgressBar::ProgressBar(const char* label) : label_(label), visible_(isatty(STDERR_FILENO) != 0) {}

ProgressBar::~ProgressBar() { Finish(); }

void ProgressBar::Update(double done, double total) {
  if (!visible_) return;
  uint64_t now = platform::monotonic_ms();
  if (drawn_ && now - last_draw_ms_ < 100 && done < total) return;
  last_draw_ms_ = now;
  drawn_ = true;
  if (total <= 0) {
    fprintf(stderr, "\r%s %.0f", label_, done);
  } else {
    constexpr int kWidth = 40;
    double fraction = std::clamp(done / total, 0.0, 1.0);
    int filled = static_cast<int>(fraction * kWidth);
    char bar[kWidth + 1];
    for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '.';
    bar[kWidth] = '\0';
    fprintf(stderr, "\r%s [%s] %3d%%", label_, bar, static_cast<int>(fraction * 100));
  }
  fflush(stderr);
}

void ProgressBar::Finish() {
  if (!visible_ || !drawn_) return;
  fprintf(stderr, "\r\033[K");
  fflush(stderr);
  drawn_ = false;
}
