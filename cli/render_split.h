#pragma once

#include <session/marker_list.h>

#include <string>
#include <vector>

// One file of a render split at the session's CD-track markers.
struct TrackSpan {
  long from = 0;      // ms on the time line
  long to = 0;        // ms, not included
  int number = 0;     // the separator's CD-track ordinal (1 for the first separator of the session)
  std::string title;  // the marker's title
  std::string path;
};

// The tracks of the stretch [from, to): one per CD-track separator inside it, each running to
// the next separator; the part before the first of them belongs to the first track and the last
// runs to `to`. Files are named "BASE - NN -  TITLE.EXT" after `out` without its extension.
// False with `error` set when fewer than two separators lie inside the stretch.
bool SplitIntoTracks(const std::vector<MarkerRecord>& markers, long from, long to,
                     const std::string& out, const char* extension, std::vector<TrackSpan>* tracks,
                     std::string* error);

// `out` without its extension ("dir/show.mp3" gives "dir/show"; a dot in a folder's name is
// not an extension).
std::string WithoutExtension(const std::string& out);

// The file name of a track: "%s - %02d - %s.%s" with the base, the number, and the title
// preceded by one blank ("Show - 01 -  Intro.wav"; an untitled track gives "Show - 01 -  .wav").
// A '/' of the title, which would name a folder, becomes '_'.
std::string TrackFileName(const std::string& base, int number, const std::string& title,
                          const char* extension);
