#include <quarl/shell/preferences.h>
#include <quarl/shell/program_paths.h>
#include <quarl/shell/settings_records.h>
#include <sonark/export/conversion_types.h>
#include <sonark/temp_paths.h>
#include <tarnell/reg_key.h>

#include <memory>
#include <vector>

namespace {

constexpr const char* kEncoderKey = "MP3EncoderOptions";

}  // namespace

Preferences::Preferences() : tempRecordingDir(RecordingsFolder()), encoder(kWaveFormatMpegLayer3) {
  encoder.SetSoundQuality(sqQuality2);
}

void Preferences::Load() {
  tempDirectory = CacheFolder();
  if (tempDirectory.empty()) tempDirectory = ExeFolder();

  CRegKey machine;
  std::unique_ptr<CRegKey> key(machine.GetSubKey(kSettingsKeyPath));
  if (key != nullptr) {
    ReadText(*key, "UserName", &userName);
    ReadText(*key, "Copyright", &copyright);
    ReadText(*key, "Comments", &comments);
    ReadNumber(*key, "bUseBest", &useBest);
    unsigned char format[kStoredFormatBytes];
    if (ReadBytes(*key, "WaveFormat", format, sizeof format))
      waveFormat = stored::UnpackFormatAt(format);
    ReadNumber(*key, "NumBuffers", &numBuffers);
    ReadNumber(*key, "BufferSize", &bufferSize);
    ReadNumber(*key, "PlaybackDevice", &playbackDevice);
    unsigned char record[kStoredDeviceRecordBytes];
    if (ReadBytes(*key, "RecordSettings", record, sizeof record))
      recordSettings = stored::UnpackDeviceRecord(record);
    ReadNumber(*key, "LastDuplexTest", &lastDuplexTest);
    ReadText(*key, "TempRecordingDir", &tempRecordingDir);
    ReadNumber(*key, "SetIndicatorOnSessionClick", &setIndicatorOnSessionClick);
    ReadNumber(*key, "AutoScroll", &autoScroll);
    ReadNumber(*key, "RestartNearEnd", &restartNearEnd);
    ReadNumber(*key, "AskToPlayAfterRender", &askToPlayAfterRender);
    ReadNumber(*key, "WaveResolution", &waveResolution);
    ReadText(*key, "WaveEditorPath", &waveEditorPath);
    ReadNumber(*key, "ConnectViaModem", &connectViaModem);
    ReadNumber(*key, "UseProxy", &useProxy);
    ReadText(*key, "ProxyAddress", &proxyAddress);
    ReadNumber(*key, "ProxyPort", &proxyPort);
    ReadNumber(*key, "MaxLengthDisplay", &maxLengthDisplay);
    // An empty stored folder would become "/" below: the default stays instead.
    std::string temp;
    ReadText(*key, "TempDirectory", &temp);
    if (!temp.empty()) tempDirectory = temp.back() == '/' ? temp : temp + '/';
    ReadNumber(*key, "DefaultEncoderType", &defaultEncoderType);
    std::unique_ptr<CRegKey> options(key->GetSubKey(kEncoderKey));
    if (options != nullptr) {
      // The encoder's own options (bit rate, mode, VBR and the rest) lie beside the codec
      // choice.
      encoder.ReadPreferences(options.get());
      ReadNumber(*options, "MP3EncoderCodec", &mp3EncoderCodec);
    }
  }
  SetTempSndPath(tempDirectory.c_str());
}

int Preferences::Save(CRegKey* key) {
  if (key == nullptr) return 0;
  bool ok = true;
  auto text = [&](const char* name, const std::string& value) {
    ok = key->SetKeyString(name, value.c_str()) && ok;
  };
  auto number = [&](const char* name, uint32_t value) { ok = key->SetKeyNum(name, value) && ok; };
  text("UserName", userName);
  text("Copyright", copyright);
  text("Comments", comments);
  number("bUseBest", useBest);
  const auto format = stored::PackFormat(waveFormat);
  ok = key->SetKeyData("WaveFormat", format.data(), format.size()) && ok;
  number("NumBuffers", numBuffers);
  number("BufferSize", bufferSize);
  number("PlaybackDevice", playbackDevice);
  const auto record = stored::PackDeviceRecord(recordSettings);
  ok = key->SetKeyData("RecordSettings", record.data(), record.size()) && ok;
  number("LastDuplexTest", lastDuplexTest);
  text("TempRecordingDir", tempRecordingDir);
  number("SetIndicatorOnSessionClick", setIndicatorOnSessionClick);
  number("AutoScroll", autoScroll);
  number("RestartNearEnd", restartNearEnd);
  number("AskToPlayAfterRender", askToPlayAfterRender);
  number("WaveResolution", waveResolution);
  text("WaveEditorPath", waveEditorPath);
  number("ConnectViaModem", connectViaModem);
  number("UseProxy", useProxy);
  text("ProxyAddress", proxyAddress);
  number("ProxyPort", proxyPort);
  number("MaxLengthDisplay", maxLengthDisplay);
  text("TempDirectory", tempDirectory);
  number("DefaultEncoderType", defaultEncoderType);
  std::unique_ptr<CRegKey> options(key->CreateSubKey(kEncoderKey));
  if (options == nullptr) return 0;
  ok = encoder.WritePreferences(options.get()) && ok;
  ok = options->SetKeyNum("MP3EncoderCodec", mp3EncoderCodec) && ok;
  return ok ? 1 : 0;
}

void Preferences::DiscoverEncoders() {
  DetermineConvertersAvailable(static_cast<_tMP3EncoderDllTypedef>(mp3EncoderCodec), &encoder);
  std::vector<int> flags(static_cast<size_t>(GetConverterArraySize()));
  GetConvertersAvailable(flags.data());
  convertersAvailable = 0;
  for (size_t type = 0; type < flags.size(); ++type) {
    if (flags[type] != 0) convertersAvailable |= 1u << type;
  }
}
