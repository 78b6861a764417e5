#pragma once

#include <cli/tests/cli_test_support.h>

#include <cstdio>
#include <string>

// What the MP3 and split render tests share: running the peers that read our files back.
namespace cli_test {

// Everything `command` prints on standard output.
inline std::string Capture(const std::string& command) {
  std::string text;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buf[512];
    while (fgets(buf, sizeof buf, pipe) != nullptr) text += buf;
    pclose(pipe);
  }
  return text;
}

// One value ffprobe shows of `path`, such as "stream=sample_rate" or "format_tags=title".
inline std::string Probe(const std::string& path, const std::string& entry) {
  std::string text = Capture("ffprobe -v error -show_entries " + entry +
                             " -of default=nw=1:nk=1 '" + path + "' 2>/dev/null");
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// The frames mpg123 decodes from an MP3 file, or -1.
inline long DecodedFrames(Folder& folder, const std::string& name) {
  const std::string decoded = folder.File(name + ".decoded.wav");
  if (std::system(("mpg123 -q -w '" + decoded + "' '" + folder.File(name) + "'").c_str()) != 0)
    return -1;
  const Wave wave = ReadWave(decoded);
  return wave.ok ? static_cast<long>(wave.data.size() / wave.block_align) : -1;
}

// The encoder's delay and padding: a constant-rate file records neither, so its decoded
// length exceeds the sound by up to this many frames.
constexpr long kEncoderSlackFrames = 1105 + 1152;

}  // namespace cli_test
