#pragma once

#include <platform/wave_format.h>
#include <quarl/shell/preferences.h>
#include <quarl/shell/settings_records.h>

#include <QString>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

constexpr int kRecentFileCount = 8;
constexpr int kRenderedFileCount = 8;
constexpr size_t kG2SettingsBytes = 100;

// Every value the program remembers between runs besides the Preferences: the recent
// sessions, the main window's place, the last folders and the options of the record, editor,
// export and playlist-import dialogs. It embeds the Preferences record, which it saves with its
// own values at exit.
class AppSettings {
 public:
  AppSettings() = default;

  // Opens the settings key, creating missing levels, and takes every stored value that exists.
  // A key that can neither be opened nor created leaves the defaults. The Preferences are
  // loaded separately (Preferences::Load), later in the start-up. Without `create` a missing
  // key is left missing, for a run that must not change the user's settings file.
  void Load(bool create = true);
  // The save at exit: these values, then the Preferences, as one atomic change of the settings
  // file. 1 when everything was written.
  int Save();

  // The text the program shows when a settings file could not be read since the last call
  // (the damaged file was set aside under another name and the defaults were taken); empty
  // when every read went well. Call it after the loads of the start-up.
  QString LoadProblem();

  std::array<std::string, kRecentFileCount> recentFiles;  // newest first
  uint32_t lastWinMaxState = 0;
  StoredRect lastWinRect{-2, -2, -1, -1};  // the first-run marker
  tWAVEFORMATEX lastRecFormat = PcmFormat(22050, 2, 16);
  std::string lastSaveDir;
  std::string lastSoundDir;
  std::string lastGroupDir;
  uint32_t setPlaybackToRecFormat = 1;
  uint32_t showRecordLevel = 0;
  uint32_t addRecordedSounds = 1;
  uint32_t firstTime = 1;
  uint32_t syncRecordings = 0;
  uint32_t editCopies = 1;
  uint32_t autoNameEdits = 1;
  uint32_t multiWaveSave = 1;
  int32_t trackOverlapTime = -10000;  // ms between playlist tracks; negative overlaps them
  uint32_t fadeLength = 2000;         // ms
  uint32_t addCDMarkersBetweenTracks = 1;
  // The RealAudio export's values, kept and written back for it.
  uint32_t lastRACodec = 0;
  std::array<unsigned char, kG2SettingsBytes> lastG2Settings{};
  std::vector<std::string> renderedFiles;  // at most kRenderedFileCount

  Preferences preferences;
};

// The program's one record, shared by the main window and the dialogs; loaded by the start-up
// and saved at exit.
AppSettings& TheAppSettings();

// The recent-session list built from the stored names, newest first: index 7 down to 0, each
// added to the front, skipping empty names and files that no longer exist.
std::vector<std::string> RebuildRecentList(const std::array<std::string, kRecentFileCount>& stored);

// The main window's normal rectangle to use: the stored one, or 636 x 460 centred on the
// desktop on a first run and when the stored one lies off the screen.
StoredRect WindowRectToUse(const StoredRect& stored, int screenWidth, int screenHeight);
