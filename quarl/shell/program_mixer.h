#pragma once

#include <sonark/mixer/pcm_mixer.h>

#include <QObject>
#include <memory>

class AppSettings;
class CSoundGroup;
class Preferences;

// What the mixer tells the windows. The mixer calls these from the engine's mixing thread as
// well as from the window's; receivers connect with Qt::QueuedConnection so that their slots
// always run on their own thread, never inside the engine lock.
class MixerSignals : public QObject {
  Q_OBJECT

 signals:
  // The device opened or closed: the toolbar's states change.
  void refreshToolbar();
  // 0 stopped, otherwise playing.
  void playModeChanged(int mode);
  // While recording: the input levels (0.0 ... 1.0) and the position.
  void recordLevels(double left, double right, long position);
};

// The engine's mixer as the program uses it: it tells the windows when the device opens and
// closes, when playback starts and stops, and the levels while it records.
class ProgramMixer : public CPCMMixer {
 public:
  // `events` (kept, not owned) carries the notices; null gives the mixer its own, so that a
  // receiver connects to Events().
  explicit ProgramMixer(const _tInitMixer* playback, MixerSignals* events = nullptr);
  ~ProgramMixer() override;

  MixerSignals* Events() { return events_; }

  int Open() override;
  void Close() override;
  void UpdatePeak(double left, double right, long position) override;
  void SetPlayMode(int mode) override;

 private:
  std::unique_ptr<MixerSignals> own_events_;
  MixerSignals* events_;
};

// The playback record: the device and buffers of the Preferences, and the best format of the
// session's root group (when "bUseBest" is set and there is a root) or the stored format.
_tInitMixer PlaybackRecord(const Preferences& preferences, CSoundGroup* root);

// Replaces the program's mixer with one made from the settings: playback as PlaybackRecord,
// recording with the stored recording device whose format becomes the last recording format.
// The old mixer, if any, is deleted first. Returns the new mixer, which is also the engine's
// current one.
ProgramMixer* CreateProgramMixer(AppSettings& settings, CSoundGroup* root,
                                 MixerSignals* events = nullptr);
// Stops playback when the mixer plays, deletes it and forgets it.
void DeleteProgramMixer();
// The program's mixer, or null between a deletion and the next creation.
ProgramMixer* TheProgramMixer();
