#include <cli/status_line.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

std::string Clock(long ms) {
  ms = std::max(ms, 0L);
  char text[32];
  snprintf(text, sizeof text, "%ld:%02ld.%ld", ms / 60000, ms / 1000 % 60, ms / 100 % 10);
  return text;
}

StatusLine::StatusLine() : visible_(isatty(STDERR_FILENO) != 0) {}

StatusLine::~StatusLine() { Clear(); }

void StatusLine::Show(std::string text) {
  if (!visible_ || text == shown_) return;
  fprintf(stderr, "\r%s\033[K", text.c_str());
  fflush(stderr);
  shown_ = std::move(text);
}

void StatusLine::Clear() {
  if (shown_.empty()) return;
  fputs("\r\033[K", stderr);
  fflush(stderr);
  shown_.clear();
}
