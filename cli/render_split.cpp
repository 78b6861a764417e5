#include <cli/render_split.h>

#include <cstdio>
#include <cstring>

std::string WithoutExtension(const std::string& out) {
  const size_t slash = out.rfind('/');
  const size_t dot = out.rfind('.');
  const size_t name = slash == std::string::npos ? 0 : slash + 1;
  // A name that is all extension (".mp3") keeps it: it is the name.
  if (dot == std::string::npos || dot <= name) return out;
  return out.substr(0, dot);
}

std::string TrackFileName(const std::string& base, int number, const std::string& title,
                          const char* extension) {
  std::string safe_title = title;
  for (char& c : safe_title)
    if (c == '/') c = '_';
  char number_text[16];
  snprintf(number_text, sizeof number_text, "%02d", number);
  return base + " - " + number_text + " - " + " " + safe_title + "." + extension;
}

bool SplitIntoTracks(const std::vector<MarkerRecord>& markers, long from, long to,
                     const std::string& out, const char* extension, std::vector<TrackSpan>* tracks,
                     std::string* error) {
  tracks->clear();
  const std::string base = WithoutExtension(out);
  int ordinal = 0;
  for (const MarkerRecord& m : markers) {
    if (!m.cdTrack) continue;
    ++ordinal;
    if (m.time < from || m.time >= to) continue;
    TrackSpan track;
    track.from = tracks->empty() ? from : m.time;
    track.number = ordinal;
    track.title.assign(m.title, strnlen(m.title, sizeof m.title));
    track.path = TrackFileName(base, ordinal, track.title, extension);
    if (!tracks->empty()) tracks->back().to = m.time;
    tracks->push_back(track);
  }
  if (tracks->size() < 2) {
    *error = "--split needs at least two CD-track markers within the rendered stretch (" +
             std::to_string(from) + " to " + std::to_string(to) + " ms); it has " +
             std::to_string(tracks->size());
    tracks->clear();
    return false;
  }
  tracks->back().to = to;
  return true;
}
