#pragma once

#include <cstdio>
#include <optional>
#include <string>

// What the output's name makes of the render: ".mp3", ".mp2" and ".mp1" (any letter case) are
// MPEG audio, written by the MP3 encoder; any other name gets a wave file.
enum class OutputKind { kWave, kMp3 };
OutputKind OutputKindOf(const std::string& path);

// The MPEG version (1 MPEG-1, 0 MPEG-2, 2 MPEG-2.5) whose sample rates hold `rate`; -1 for none.
long Mp3VersionOfRate(long rate);

// The MP3 encoder settings asked for; unset values keep those of the default preset.
struct Mp3Options {
  long preset = 0;   // 1-10; 0: none, the settings below apply
  long bitrate = 0;  // kbit/s: the constant rate, or the lowest rate with --vbr; 0: unset
  long vbr = -1;     // VBR quality 0 (best) - 9; -1: constant bit rate
  long abr = 0;      // average bit rate in kbit/s; 0: unset
  long mode = -1;    // 0 stereo, 1 joint stereo, 2 dual channel, 3 mono; -1: unset
  long mpeg = -1;    // 1 MPEG-1, 0 MPEG-2, 2 MPEG-2.5 (the settings record's numbers); -1: unset
  bool Any() const {
    return preset != 0 || bitrate != 0 || vbr >= 0 || abr != 0 || mode >= 0 || mpeg >= 0;
  }
};

// The file information written into the output's tags or information list.
struct TagOptions {
  std::optional<std::string> title;
  std::optional<std::string> artist;
  std::optional<std::string> album;
  std::optional<std::string> comment;
  std::optional<std::string> genre;
  long year = 0;    // 0: none
  long track = -1;  // 1-99, -1: none
  long totalTracks = -1;
};

// What `quarl-cli render` was asked to do.
struct RenderOptions {
  std::string in;
  std::string out;
  OutputKind kind = OutputKind::kWave;
  long from = 0;  // ms
  long to = -1;   // ms; -1: the end of the last sound
  long rate = 0;  // 0: the session's own format (wave), the MPEG version's rate (MP3)
  long channels = 0;
  long bits = 0;
  bool salvage = false;  // render what is readable of a damaged session
  Mp3Options mp3;
  TagOptions tags;
  bool verbose = false;    // print the settings used on standard error
  bool split = false;      // one file per CD track
  bool overwrite = false;  // --split may replace existing track files
};

void PrintRenderUsage(FILE* out);

// Reads the arguments after `render`. Returns -1 to go on with `options` filled, else the exit
// status to end with: 0 after --help, 2 after a usage error (explained on one line).
int ParseRenderOptions(int argc, char** argv, RenderOptions* options);
