#include <quarl/timeline/time_texts.h>

#include <cstdio>

namespace {

// Whole units and hundredths of a unit, the hundredths rounded (or cut) and carried into the
// units when they round up to a whole one, so 5.999 s reads 6.00 rather than 5.100.
std::string Hundredths(long ms, long unit, bool rounded, const char* suffix) {
  long whole = ms / unit;
  const double fraction = static_cast<double>(ms) / unit - whole;
  long hundredths = static_cast<long>(fraction * 100 + (rounded ? 0.5 : 0.0));
  if (hundredths >= 100) {
    whole += 1;
    hundredths -= 100;
  }
  char text[64];
  snprintf(text, sizeof text, "%ld.%02ld %s", whole, hundredths, suffix);
  return text;
}

}  // namespace

std::string LengthText(long ms) {
  if (ms < 0) ms = 0;
  if (ms < 60000) return Hundredths(ms, 1000, true, "(secs)");
  if (ms >= 3600000) return Hundredths(ms, 3600000, false, "(hrs)");
  return Hundredths(ms, 60000, true, "(mins)");
}

std::string PositionText(long ms, bool long_form) {
  if (ms < 0) ms = 0;
  const long hours = ms / 3600000;
  const long minutes = ms / 60000 % 60;
  const long seconds = ms / 1000 % 60;
  const long millis = ms % 1000;
  char text[64];
  // Milliseconds always in three digits: with two, 1.050 s would read "01:50", like 1.5 s.
  if (hours == 0 && minutes == 0) {
    snprintf(text, sizeof text, "%02ld:%03ld", seconds, millis);
  } else if (hours == 0) {
    snprintf(text, sizeof text, "%02ld:%02ld:%03ld", minutes, seconds, millis);
  } else if (long_form) {
    snprintf(text, sizeof text, "%02ld:%02ld:%02ld:%03ld", hours, minutes, seconds, millis);
  } else {
    snprintf(text, sizeof text, "%02ld:%02ld:%02ld", hours, minutes, seconds);
  }
  return text;
}
