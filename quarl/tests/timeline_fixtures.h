#pragma once

// Sounds and sessions made on the spot for the time line's tests.

#include <quarl/timeline/timeline_atoms.h>
#include <quarl/timeline/timeline_view.h>
#include <sonark/model/atom_ref.h>
#include <sonark/tests/wave_test_support.h>
#include <tarnell/file_obj.h>
#include <tarnell/ref_ptr.h>
#include <tarnell/riff.h>

#include <QFile>
#include <QString>

#include <cstdint>
#include <string>
#include <vector>

namespace timeline_test {

constexpr int kRate = 44100;
constexpr int kSliceFrames = kRate / 50;  // 20 ms, one peak at the program's resolution

// A 16-bit mono wave in which 20 ms slice k is a square wave of amplitude levels[k].
inline std::string WriteWave(const QString& path, const std::vector<int>& levels) {
  std::vector<int16_t> samples;
  for (int level : levels)
    for (int i = 0; i < kSliceFrames; ++i)
      samples.push_back(static_cast<int16_t>(i % 2 ? -level : level));
  const std::string file = path.toStdString();
  return wave_test::WriteMono16(file, samples, kRate) ? file : std::string();
}

// Loads `path` into a new sound of kind T with peaks of 20 ms; null when it cannot.
template <typename T>
T* LoadSound(const std::string& path) {
  RefPtr<CFileObj> file(new CFileObj());
  if (!file->Open(path.c_str(), 0, 0)) return nullptr;
  AtomRef<T> sound(new T());
  if (!sound->InitialLoad(file.get(), 2000, 1, 1, 1, 1, 20, nullptr, nullptr)) return nullptr;
  sound->SetAtomName("tone");
  return sound.release();
}

inline bool SaveTree(CSoundGroup* root, const std::string& path) {
  RefPtr<CFileObj> file(new CFileObj());
  if (!file->Create(path.c_str())) return false;
  CRIFF riff;
  const bool ok = riff.Create(file.get(), tarnell::FourCC("sess")) && root->Save(&riff, 1);
  riff.Close();
  file->Close();
  return ok;
}

// Opens a saved session into the view's root, as the open task does.
inline bool OpenInto(TimelineView& view, const std::string& path) {
  RefPtr<CFileObj> file(new CFileObj());
  if (!file->Open(path.c_str(), 0, 0)) return false;
  CRIFF riff;
  _chunkInfo form{};
  bool ok = riff.Open(file.get(), &form) != 0;
  {
    MapCombiningPause pause;
    ok = ok && view.Root()->Load(&riff, 1, 1, 1, 20, nullptr, nullptr) != 0;
  }
  riff.Close();
  view.Root()->CombineWithSubMaps(kMapAll, 1);
  view.SessionLoaded();
  return ok;
}

}  // namespace timeline_test
