#pragma once

#include <QRgb>
#include <array>
#include <string>

// Where the program keeps and finds its files, and the start-up texts and colours every window
// shares.

// ${XDG_CACHE_HOME:-~/.cache}/tessel/: peak files and seek maps are caches. "" without a home.
std::string CacheFolder();
// ${XDG_DATA_HOME:-~/.local/share}/tessel/recordings/: recordings must survive a reboot, so
// never a RAM-backed /tmp. "" without a home.
std::string RecordingsFolder();
// The running executable's folder with a trailing '/', "" when it cannot be found.
std::string ExeFolder();

// The strings file, "quarl-strings.ini" beside the executable (an installed program also looks
// in ../share/tessel/), made the default for every text lookup. Returns its path; a missing
// file is no failure, the keys then stand in for the texts.
std::string UseProgramStrings();

// The two texts read at start-up.
struct StartupTexts {
  std::string versionCheckUrl;  // "IDS_VERSION_CHECK_URL", up to 1023 characters
  std::string recording;        // "IDS_RECORDING", up to 255 characters
};
StartupTexts ReadStartupTexts();

// The example session opened on the first run: the executable's folder and the file name of
// "IDS_EXAMPLE_SGP".
std::string ExampleSessionPath();

// The marker colours, in order.
constexpr std::array<QRgb, 6> kMarkerColours = {qRgb(188, 188, 188), qRgb(255, 0, 0),
                                                qRgb(255, 130, 130), qRgb(0, 0, 255),
                                                qRgb(64, 128, 128),  qRgb(255, 255, 0)};
