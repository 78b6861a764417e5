#pragma once

#include <platform/wave_format.h>
#include <sonark/export/conv_file_format.h>
#include <sonark/mixer/pcm_mixer.h>

#include <cstdint>
#include <string>

class CRegKey;

// The program's settings key below HKEY_LOCAL_MACHINE; Preferences and AppSettings share it.
constexpr const char* kSettingsKeyPath = "SOFTWARE\\Brenwick\\Halvard";

// The user's choices from the Preferences sheet: playback and recording devices, folders, the
// update check's connection and the export defaults. Every field starts at its default; Load
// takes each stored value that exists.
class Preferences {
 public:
  Preferences();

  // Sets the temporary folder to the cache folder (the executable's folder without a home),
  // then reads every stored value that exists; nothing when the settings key is missing. In
  // every case the temporary folder becomes the engine's side-file folder.
  void Load();
  // Writes every value into `key` (the settings key) and the encoder's sub-key, which is
  // created when missing. 1, or 0 when a value could not be written.
  int Save(CRegKey* key);

  // Start-up: looks for the encoder libraries with the chosen one first and keeps the mask of
  // the conversion types that are available.
  void DiscoverEncoders();

  std::string userName;
  std::string copyright;
  std::string comments;
  uint32_t useBest = 1;  // play in the session's best format rather than waveFormat
  tWAVEFORMATEX waveFormat = PcmFormat(22050, 2, 16);
  uint32_t numBuffers = 8;
  uint32_t bufferSize = 16384;
  uint32_t playbackDevice = kDefaultWaveDevice;
  // Its format is replaced by the last recording format when the mixer is made.
  _tInitMixer recordSettings{kDefaultWaveDevice, 16, 32768, tWAVEFORMATEX{}};
  uint32_t lastDuplexTest = 0;
  std::string tempRecordingDir;  // the recordings folder by default
  uint32_t setIndicatorOnSessionClick = 1;
  uint32_t autoScroll = 1;
  uint32_t restartNearEnd = 1;
  uint32_t askToPlayAfterRender = 1;
  uint32_t waveResolution = 20;  // ms, 1-100
  std::string waveEditorPath;
  uint32_t connectViaModem = 1;
  uint32_t useProxy = 0;
  std::string proxyAddress;
  uint32_t proxyPort = 0;
  uint32_t maxLengthDisplay = 0x7FFFFFFF;
  std::string tempDirectory;  // ends in '/' once loaded
  uint32_t defaultEncoderType = 2;
  uint32_t mp3EncoderCodec = 2;

  // The export defaults: an MP3 format record at sound quality 2.
  CConv2FileFormat encoder;
  // Bit n set when conversion type n can be exported to (DiscoverEncoders).
  uint32_t convertersAvailable = 0;
};
