#include <platform/last_error.h>
#include <sonark/errors.h>
#include <sonark/export/conv_file_format.h>
#include <sonark/export/conv_file_obj.h>
#include <sonark/export/conv_wave_file.h>
#include <sonark/model/pcm_sound.h>

// The operations that take a whole sound hand its parts to the operations on formats, music
// information and files. A sound loaded from a file carries its music information; a sound
// set up over bare PCM has none, and no sound has a decoder yet.

int CConv2FileObj::Create(const char* path, CConv2FileFormat* format, CPCMSound* sound) {
  if (sound == nullptr) {
    platform::set_last_error(sonark::kErrConvertFormat);
    return 0;
  }
  return Create(path, format, sound->Format());
}

void CConv2FileObj::GetTargetFormat(CConv2FileFormat* target, CConv2FileFormat* source,
                                    CPCMSound* sound) {
  GetTargetFormat(target, source, sound != nullptr ? sound->Format() : nullptr,
                  sound != nullptr ? sound->GetMusicInfo() : nullptr, nullptr);
}

int CConv2FileObj::WriteTag(const char* path, const char* encoderName, const char* text,
                            CPCMSound* sound) {
  CRefObj* object = sound != nullptr ? sound->GetRefObj() : nullptr;
  CFileObj* file =
      object != nullptr && object->Type() == 1 ? static_cast<CFileObj*>(object) : nullptr;
  return WriteTag(path, encoderName, text, sound != nullptr ? sound->GetMusicInfo() : nullptr,
                  file);
}

int CConv2WaveFile::Create(const char* path, CConv2FileFormat* format, CPCMSound* sound) {
  if (sound != nullptr) sound_length_ms_ = sound->Length(0);
  return CConv2FileObj::Create(path, format, sound);
}

void CConv2WaveFile::GetTargetFormat(CConv2FileFormat* target, CConv2FileFormat* source,
                                     CPCMSound* sound) {
  if (sound != nullptr) sound_length_ms_ = sound->Length(0);
  CConv2FileObj::GetTargetFormat(target, source, sound);
}
