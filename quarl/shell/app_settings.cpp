#include <platform/last_error.h>
#include <platform/settings_store.h>
#include <quarl/shell/app_settings.h>
#include <quarl/shell/texts.h>
#include <tarnell/errors.h>
#include <tarnell/file_obj.h>
#include <tarnell/reg_key.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

std::string IndexedName(const char* stem, int index) {
  char name[64];
  snprintf(name, sizeof name, "%s%i", stem, index);
  return name;
}

// The settings key, created level by level when missing. A damaged settings file is set aside
// by the attempt that finds it; the second attempt then starts a fresh one.
std::unique_ptr<CRegKey> CreateSettingsKey() {
  CRegKey machine;
  std::unique_ptr<CRegKey> key(machine.CreateSubKey(kSettingsKeyPath));
  if (key == nullptr && platform::last_error() == tarnell::kErrRegDamaged)
    key.reset(machine.CreateSubKey(kSettingsKeyPath));
  return key;
}

}  // namespace

void AppSettings::Load(bool create) {
  CRegKey machine;
  std::unique_ptr<CRegKey> key =
      create ? CreateSettingsKey() : std::unique_ptr<CRegKey>(machine.GetSubKey(kSettingsKeyPath));
  if (key == nullptr) return;
  for (int i = 0; i < kRecentFileCount; ++i)
    ReadText(*key, IndexedName("RecentFile", i).c_str(), &recentFiles[i]);
  ReadNumber(*key, "LastWinMaxState", &lastWinMaxState);
  unsigned char rect[kStoredRectBytes];
  if (ReadBytes(*key, "LastWinRect", rect, sizeof rect)) lastWinRect = stored::UnpackRect(rect);
  unsigned char format[kStoredFormatBytes];
  if (ReadBytes(*key, "LastRecFormat", format, sizeof format))
    lastRecFormat = stored::UnpackFormatAt(format);
  ReadText(*key, "LastSaveDir", &lastSaveDir);
  ReadText(*key, "LastSoundDir", &lastSoundDir);
  ReadText(*key, "LastGroupDir", &lastGroupDir);
  ReadNumber(*key, "SetPlaybackToRecFormat", &setPlaybackToRecFormat);
  ReadNumber(*key, "bShowRecordLevel", &showRecordLevel);
  ReadNumber(*key, "bAddRecordedSounds", &addRecordedSounds);
  ReadNumber(*key, "FirstTime", &firstTime);
  ReadNumber(*key, "SyncRecordings", &syncRecordings);
  ReadNumber(*key, "EditCopies", &editCopies);
  ReadNumber(*key, "AutoNameEdits", &autoNameEdits);
  ReadNumber(*key, "MultiWaveSave", &multiWaveSave);
  auto overlap = static_cast<uint32_t>(trackOverlapTime);
  ReadNumber(*key, "TrackOverlapTime", &overlap);
  trackOverlapTime = static_cast<int32_t>(overlap);
  ReadNumber(*key, "FadeLength", &fadeLength);
  ReadNumber(*key, "AddCDMarkersBetweenTracks", &addCDMarkersBetweenTracks);
  ReadNumber(*key, "LastRACodec", &lastRACodec);
  ReadBytes(*key, "LastG2Settings", lastG2Settings.data(), lastG2Settings.size());
  renderedFiles.clear();
  for (int i = 0; i < kRenderedFileCount; ++i) {
    std::string name;
    ReadText(*key, IndexedName("RecentlyRenderedFiles", i).c_str(), &name);
    if (!name.empty()) renderedFiles.push_back(name);
  }
}

int AppSettings::Save() {
  const std::string file = platform::SettingsStore::DefaultFile();
  for (int attempt = 0; attempt < 2; ++attempt) {
    // One replacement of the settings file: a crash halfway leaves the old settings whole.
    platform::SettingsBatch batch(file);
    std::unique_ptr<CRegKey> key = CreateSettingsKey();
    if (key == nullptr) return 0;
    bool ok = true;
    auto text = [&](const std::string& name, const std::string& value) {
      ok = key->SetKeyString(name.c_str(), value.c_str()) && ok;
    };
    auto folder = [&](const char* name, const std::string& value) {
      if (!value.empty()) text(name, value);
    };
    auto number = [&](const char* name, uint32_t value) { ok = key->SetKeyNum(name, value) && ok; };
    auto bytes = [&](const char* name, const unsigned char* data, size_t size) {
      ok = key->SetKeyData(name, data, size) && ok;
    };
    number("LastWinMaxState", lastWinMaxState);
    const auto rect = stored::PackRect(lastWinRect);
    bytes("LastWinRect", rect.data(), rect.size());
    const auto format = stored::PackFormat(lastRecFormat);
    bytes("LastRecFormat", format.data(), format.size());
    for (int i = 0; i < kRecentFileCount; ++i) text(IndexedName("RecentFile", i), recentFiles[i]);
    folder("LastSaveDir", lastSaveDir);
    folder("LastSoundDir", lastSoundDir);
    folder("LastGroupDir", lastGroupDir);
    number("SetPlaybackToRecFormat", setPlaybackToRecFormat);
    number("bShowRecordLevel", showRecordLevel);
    number("bAddRecordedSounds", addRecordedSounds);
    number("FirstTime", firstTime);
    number("SyncRecordings", syncRecordings);
    number("EditCopies", editCopies);
    number("AutoNameEdits", autoNameEdits);
    number("MultiWaveSave", multiWaveSave);
    const size_t rendered = std::min<size_t>(renderedFiles.size(), kRenderedFileCount);
    for (size_t i = 0; i < rendered; ++i)
      text(IndexedName("RecentlyRenderedFiles", static_cast<int>(i)), renderedFiles[i]);
    // Names past the list's end are from a longer list of an earlier run: left in place they
    // would come back at the next start.
    for (size_t i = rendered; i < kRenderedFileCount; ++i)
      key->DeleteRegValue(IndexedName("RecentlyRenderedFiles", static_cast<int>(i)).c_str());
    number("LastRACodec", lastRACodec);
    bytes("LastG2Settings", lastG2Settings.data(), lastG2Settings.size());
    // Sign-extended, as the store takes a negative 32-bit number.
    ok = key->SetKeyNum("TrackOverlapTime",
                        static_cast<unsigned long>(static_cast<long>(trackOverlapTime))) &&
         ok;
    number("FadeLength", fadeLength);
    number("AddCDMarkersBetweenTracks", addCDMarkersBetweenTracks);
    ok = preferences.Save(key.get()) && ok;
    const platform::SettingsStatus saved = batch.Commit();
    // A file damaged since the load was set aside by this attempt; the next one writes afresh.
    if (saved == platform::SettingsStatus::kDamaged) continue;
    return ok && saved == platform::SettingsStatus::kOk ? 1 : 0;
  }
  return 0;
}

QString AppSettings::LoadProblem() {
  QString problem;
  for (const std::string& copy : platform::SettingsStore::TakeDamagedCopies()) {
    QString text = copy.empty() ? Text("IDS_SETTINGS_DAMAGED")
                                : Text("IDS_SETTINGS_DAMAGED_KEPT")
                                      .replace(QStringLiteral("%s"), QString::fromStdString(copy));
    if (!problem.isEmpty()) problem += QLatin1Char('\n');
    problem += text;
  }
  return problem;
}

AppSettings& TheAppSettings() {
  static AppSettings settings;
  return settings;
}

std::vector<std::string> RebuildRecentList(
    const std::array<std::string, kRecentFileCount>& stored) {
  std::vector<std::string> list;
  for (int i = kRecentFileCount - 1; i >= 0; --i) {
    const std::string& name = stored[i];
    if (name.empty() || !DoesFileExist(name.c_str())) continue;
    // Added to the front as a recent-file list adds: a name already listed moves up.
    std::erase(list, name);
    list.insert(list.begin(), name);
  }
  return list;
}

StoredRect WindowRectToUse(const StoredRect& stored, int screenWidth, int screenHeight) {
  constexpr int kWidth = 636;
  constexpr int kHeight = 460;
  // The first run's (-2, -2, -1, -1) falls under the first test.
  if (stored.right >= 10 && stored.bottom >= 10 && stored.left < screenWidth &&
      stored.top < screenHeight)
    return stored;
  const int left = std::max(0, (screenWidth - kWidth) / 2);
  const int top = std::max(0, (screenHeight - kHeight) / 2);
  return StoredRect{left, top, left + kWidth, top + kHeight};
}
