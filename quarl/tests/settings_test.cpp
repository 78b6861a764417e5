#include <platform/settings_store.h>
#include <quarl/shell/app_settings.h>
#include <quarl/shell/program_paths.h>
#include <quarl/shell/startup_file.h>
#include <sonark/temp_paths.h>
#include <tarnell/reg_key.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

int g_saves = 0;

std::unique_ptr<CRegKey> OpenSettingsKey(const char* below = nullptr) {
  CRegKey machine;
  std::string path = kSettingsKeyPath;
  if (below != nullptr) path = path + "\\" + below;
  return std::unique_ptr<CRegKey>(machine.GetSubKey(path.c_str()));
}

std::vector<std::string> ValueNames(CRegKey& key) {
  std::vector<std::string> names;
  char name[256];
  for (unsigned long i = 0; key.EnumerateValues(i, name, sizeof name); ++i) names.push_back(name);
  return names;
}

// The stored type and bytes of one value of the settings key.
platform::SettingValue Stored(const char* name, const char* below = nullptr) {
  std::string key = std::string("HKEY_LOCAL_MACHINE\\") + kSettingsKeyPath;
  if (below != nullptr) key = key + "\\" + below;
  platform::SettingValue value;
  platform::SettingsStore(platform::SettingsStore::DefaultFile()).QueryValue(key, name, &value);
  return value;
}

void WriteFile(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.write(bytes);
}

QByteArray Riff(const char* form) { return QByteArray("RIFF\x04\0\0\0", 8) + form; }

}  // namespace

class SettingsTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir folder_;
  QString registry_;

  std::string Under(const char* name) { return (folder_.path() + "/" + name).toStdString(); }

 private slots:
  void init() {
    registry_ = folder_.path() + "/registry.reg";
    QFile::remove(registry_);
    qputenv("QUARL_REGISTRY", registry_.toUtf8());
    qputenv("XDG_CACHE_HOME", (folder_.path() + "/cache").toUtf8());
    qputenv("XDG_DATA_HOME", (folder_.path() + "/data").toUtf8());
    platform::SettingsStore::TakeDamagedCopies();
  }

  // Defaults from an empty store, then every value written as stored at exit, in order, with
  // its type and bytes.
  void emptyStoreGivesDefaultsAndSaveWritesEveryValue() {
    AppSettings settings;
    // The Preferences alone never create the key, nor a load told not to.
    settings.preferences.Load();
    settings.Load(false);
    QVERIFY(!QFile::exists(registry_));
    settings.Load();
    QCOMPARE(settings.lastWinRect, (StoredRect{-2, -2, -1, -1}));
    QCOMPARE(settings.firstTime, 1u);
    QCOMPARE(settings.trackOverlapTime, -10000);
    const Preferences& prefs = settings.preferences;
    QCOMPARE(prefs.tempDirectory, Under("cache/tessel/"));
    QCOMPARE(prefs.tempRecordingDir, Under("data/tessel/recordings/"));
    char engine[1100];
    GetTempSndPath(engine, sizeof engine);
    QCOMPARE(std::string(engine), prefs.tempDirectory);
    QCOMPARE(prefs.encoder.wFormatTag, kWaveFormatMpegLayer3);
    QCOMPARE(prefs.encoder.GetSoundQuality(), sqQuality2);

    settings.recentFiles[0] = "/music/one.sgp";
    settings.lastSoundDir = "/music";
    settings.renderedFiles = {"/out/a.rm", "/out/b.rm"};
    g_saves = 0;
    platform::set_settings_save_hook([](const char*) { ++g_saves; });
    QCOMPARE(settings.Save(), 1);
    platform::set_settings_save_hook(nullptr);
    QCOMPARE(g_saves, 1);

    std::unique_ptr<CRegKey> key = OpenSettingsKey();
    QVERIFY(key != nullptr);
    const std::vector<std::string> expected = {
        "LastWinMaxState", "LastWinRect", "LastRecFormat", "RecentFile0", "RecentFile1",
        "RecentFile2", "RecentFile3", "RecentFile4", "RecentFile5", "RecentFile6", "RecentFile7",
        "LastSoundDir", "SetPlaybackToRecFormat", "bShowRecordLevel", "bAddRecordedSounds",
        "FirstTime", "SyncRecordings", "EditCopies", "AutoNameEdits", "MultiWaveSave",
        "RecentlyRenderedFiles0", "RecentlyRenderedFiles1", "LastRACodec", "LastG2Settings",
        "TrackOverlapTime", "FadeLength", "AddCDMarkersBetweenTracks",
        // The Preferences.
        "UserName", "Copyright", "Comments", "bUseBest", "WaveFormat", "NumBuffers", "BufferSize",
        "PlaybackDevice", "RecordSettings", "LastDuplexTest", "TempRecordingDir",
        "SetIndicatorOnSessionClick", "AutoScroll", "RestartNearEnd", "AskToPlayAfterRender",
        "WaveResolution", "WaveEditorPath", "ConnectViaModem", "UseProxy", "ProxyAddress",
        "ProxyPort", "MaxLengthDisplay", "TempDirectory", "DefaultEncoderType"};
    QCOMPARE(ValueNames(*key), expected);

    auto check = [](const char* name, uint32_t type, const Bytes& bytes,
                    const char* below = nullptr) {
      const platform::SettingValue value = Stored(name, below);
      QVERIFY2(value.type == type, name);
      QVERIFY2(value.data == bytes, name);
    };
    check("LastWinRect", platform::kSettingBinary,
          {0xFE, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
           0xFF});
    const Bytes pcm22050 = {1, 0, 2, 0, 0x22, 0x56, 0, 0, 0x88, 0x58, 1, 0, 4, 0, 16, 0, 0, 0};
    check("LastRecFormat", platform::kSettingBinary, pcm22050);
    check("WaveFormat", platform::kSettingBinary, pcm22050);
    Bytes record = {0xFF, 0xFF, 0xFF, 0xFF, 16, 0, 0, 0, 0, 0x80, 0, 0};
    record.resize(32, 0);  // a zero format and the padding
    check("RecordSettings", platform::kSettingBinary, record);
    check("RecentFile0", platform::kSettingString,
          Bytes{'/', 'm', 'u', 's', 'i', 'c', '/', 'o', 'n', 'e', '.', 's', 'g', 'p'});
    check("RecentFile7", platform::kSettingString, {});
    check("TrackOverlapTime", platform::kSettingNumber, {0xF0, 0xD8, 0xFF, 0xFF});
    check("PlaybackDevice", platform::kSettingNumber, {0xFF, 0xFF, 0xFF, 0xFF});
    check("MaxLengthDisplay", platform::kSettingNumber, {0xFF, 0xFF, 0xFF, 0x7F});
    check("LastG2Settings", platform::kSettingBinary, Bytes(100, 0));
    check("MP3EncoderCodec", platform::kSettingNumber, {2, 0, 0, 0}, "MP3EncoderOptions");

    // A stored empty temporary folder (it would become "/") and a format of the wrong size are
    // not taken.
    QVERIFY(key->SetKeyString("TempDirectory", ""));
    QVERIFY(key->SetKeyData("WaveFormat", "\1\0\2", 3));
    Preferences again;
    again.Load();
    QCOMPARE(again.tempDirectory, Under("cache/tessel/"));
    QCOMPARE(again.waveFormat.nSamplesPerSec, 22050u);
  }

  // What one run saves, the next reads back; a shorter rendered list leaves no old names.
  void secondLoadReadsChangedValues() {
    {
      AppSettings first;
      first.Load();
      first.preferences.Load();
      first.lastWinMaxState = 1;
      first.lastWinRect = {10, 20, 646, 480};
      first.lastRecFormat = PcmFormat(44100, 1, 8);
      first.recentFiles[3] = "/music/four.sgp";
      first.lastGroupDir = "/sessions";
      first.firstTime = 0;
      first.trackOverlapTime = 1500;
      first.lastG2Settings[99] = 7;
      first.renderedFiles = {"/out/1", "/out/2", "/out/3"};
      Preferences& prefs = first.preferences;
      prefs.userName = "Ada";
      prefs.useBest = 0;
      prefs.waveFormat = PcmFormat(11025, 1, 16);
      prefs.recordSettings = _tInitMixer{2, 4, 8192, PcmFormat(44100, 2, 16)};
      prefs.tempDirectory = "/var/tmp/side";  // read back with its '/'
      prefs.mp3EncoderCodec = 1;
      prefs.encoder.bitrate = 128;
      QCOMPARE(first.Save(), 1);
      first.renderedFiles = {"/out/only"};
      QCOMPARE(first.Save(), 1);
    }
    AppSettings second;
    second.Load();
    second.preferences.Load();
    QCOMPARE(second.lastWinMaxState, 1u);
    QCOMPARE(second.lastWinRect, (StoredRect{10, 20, 646, 480}));
    QCOMPARE(second.lastRecFormat.nSamplesPerSec, 44100u);
    QCOMPARE(second.lastRecFormat.wBitsPerSample, uint16_t{8});
    QCOMPARE(second.recentFiles[3], std::string("/music/four.sgp"));
    QCOMPARE(second.lastGroupDir, std::string("/sessions"));
    QCOMPARE(second.firstTime, 0u);
    QCOMPARE(second.trackOverlapTime, 1500);
    QCOMPARE(int{second.lastG2Settings[99]}, 7);
    QCOMPARE(second.renderedFiles, std::vector<std::string>{"/out/only"});
    const Preferences& prefs = second.preferences;
    QCOMPARE(prefs.userName, std::string("Ada"));
    QCOMPARE(prefs.useBest, 0u);
    QCOMPARE(prefs.waveFormat.nSamplesPerSec, 11025u);
    QCOMPARE(prefs.recordSettings.device, 2u);
    QCOMPARE(prefs.recordSettings.bufferSize, 8192);
    QCOMPARE(prefs.recordSettings.format.nChannels, uint16_t{2});
    QCOMPARE(prefs.tempDirectory, std::string("/var/tmp/side/"));
    QCOMPARE(prefs.mp3EncoderCodec, 1u);
    QCOMPARE(prefs.encoder.bitrate, 128u);
    char engine[1100];
    GetTempSndPath(engine, sizeof engine);
    QCOMPARE(std::string(engine), std::string("/var/tmp/side/"));
  }

  // A settings file that does not parse is set aside whole and reported; the save writes anew.
  void damagedFileIsReportedAndSetAside() {
    const QByteArray damaged = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFT";
    WriteFile(registry_, damaged);
    UseProgramStrings();
    AppSettings settings;
    settings.Load();
    QCOMPARE(settings.firstTime, 1u);
    const QString problem = settings.LoadProblem();
    const QStringList aside =
        QDir(folder_.path()).entryList({"registry.reg.damaged-*"}, QDir::Files);
    QCOMPARE(aside.size(), 1);
    QVERIFY2(problem.contains(aside[0]), qPrintable(problem));
    QVERIFY(settings.LoadProblem().isEmpty());  // told once
    settings.firstTime = 0;
    QCOMPARE(settings.Save(), 1);
    QFile copy(folder_.path() + "/" + aside[0]);
    QVERIFY(copy.open(QIODevice::ReadOnly));
    QCOMPARE(copy.readAll(), damaged);
    QVERIFY(OpenSettingsKey() != nullptr);
    QFile::remove(copy.fileName());
  }

  // The RIFF form decides whatever the name; other files by their names.
  void commandLineFileKinds() {
    WriteFile(folder_.path() + "/session.wav", Riff("sess"));
    WriteFile(folder_.path() + "/sound.pls", Riff("WAVE"));
    WriteFile(folder_.path() + "/movie.avi", Riff("AVI "));
    WriteFile(folder_.path() + "/tune.rmp", Riff("RMP3"));
    WriteFile(folder_.path() + "/list.PLS", "[playlist]\n");
    WriteFile(folder_.path() + "/list.m3u", "#EXTM3U\n");
    WriteFile(folder_.path() + "/tune.mp3", "ID3");
    QCOMPARE(ClassifyStartFile(Under("session.wav")), StartFileKind::kSession);
    QCOMPARE(ClassifyStartFile(Under("sound.pls")), StartFileKind::kSound);
    QCOMPARE(ClassifyStartFile(Under("movie.avi")), StartFileKind::kNothing);
    QCOMPARE(ClassifyStartFile(Under("tune.rmp")), StartFileKind::kSound);
    QCOMPARE(ClassifyStartFile(Under("list.PLS")), StartFileKind::kPlaylist);
    QCOMPARE(ClassifyStartFile(Under("list.m3u")), StartFileKind::kPlaylist);
    QCOMPARE(ClassifyStartFile(Under("tune.mp3")), StartFileKind::kSound);
    QCOMPARE(ClassifyStartFile(Under("missing.sgp")), StartFileKind::kNothing);
    QCOMPARE(ClassifyStartFile(folder_.path().toStdString()), StartFileKind::kNothing);
  }

  // Beside the executable: the strings file with the start-up texts, and the example session.
  void programFiles() {
    QCOMPARE(UseProgramStrings(), ExeFolder() + "quarl-strings.ini");
    const StartupTexts texts = ReadStartupTexts();
    QVERIFY(texts.versionCheckUrl.starts_with("https://"));
    QVERIFY(texts.recording != "IDS_RECORDING");
    QCOMPARE(ClassifyStartFile(ExampleSessionPath()), StartFileKind::kSession);
  }

  void windowRectangle() {
    const StoredRect centred{642, 310, 1278, 770};  // 636 x 460 on 1920 x 1080
    QCOMPARE(WindowRectToUse({-2, -2, -1, -1}, 1920, 1080), centred);
    QCOMPARE(WindowRectToUse({100, 50, 900, 650}, 1920, 1080), (StoredRect{100, 50, 900, 650}));
    QCOMPARE(WindowRectToUse({-500, 0, 9, 600}, 1920, 1080), centred);
    QCOMPARE(WindowRectToUse({-500, -400, 300, 9}, 1920, 1080), centred);
    QCOMPARE(WindowRectToUse({1920, 0, 2500, 600}, 1920, 1080), centred);
    QCOMPARE(WindowRectToUse({0, 1080, 600, 1500}, 1920, 1080), centred);
  }

  // Oldest first into the front: index 0 ends on top; gone files and empty names drop out.
  void recentListRebuild() {
    for (const char* name : {"a.sgp", "b.sgp", "c.sgp"})
      WriteFile(folder_.path() + "/" + name, "x");
    const std::array<std::string, kRecentFileCount> stored = {Under("b.sgp"),
                                                              "",
                                                              Under("deleted.sgp"),
                                                              Under("a.sgp"),
                                                              Under("c.sgp"),
                                                              Under("a.sgp"),
                                                              "",
                                                              ""};
    const std::vector<std::string> expected = {Under("b.sgp"), Under("a.sgp"), Under("c.sgp")};
    QCOMPARE(RebuildRecentList(stored), expected);
  }
};

QTEST_MAIN(SettingsTest)
#include "settings_test.moc"
