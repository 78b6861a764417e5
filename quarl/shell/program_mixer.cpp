#include <quarl/shell/app_settings.h>
#include <quarl/shell/program_mixer.h>
#include <sonark/model/sound_group.h>

namespace {

// Used on the window's thread only.
ProgramMixer* g_mixer = nullptr;

}  // namespace

ProgramMixer::ProgramMixer(const _tInitMixer* playback, MixerSignals* events)
    : CPCMMixer(playback),
      own_events_(events == nullptr ? std::make_unique<MixerSignals>() : nullptr),
      events_(events != nullptr ? events : own_events_.get()) {}

ProgramMixer::~ProgramMixer() {
  // The mixing thread must be done with this mixer before its notices go.
  StopBeingCurrent();
}

int ProgramMixer::Open() {
  Lock();
  const int result = CPCMMixer::Open();
  if (result) emit events_->refreshToolbar();
  Unlock();
  return result;
}

void ProgramMixer::Close() {
  Lock();
  CPCMMixer::Close();
  emit events_->refreshToolbar();
  Unlock();
}

void ProgramMixer::UpdatePeak(double left, double right, long position) {
  if (Recording()) emit events_->recordLevels(left, right, position);
}

void ProgramMixer::SetPlayMode(int mode) {
  CPCMMixer::SetPlayMode(mode);
  emit events_->playModeChanged(mode);
}

_tInitMixer PlaybackRecord(const Preferences& preferences, CSoundGroup* root) {
  return _tInitMixer{
      preferences.playbackDevice, static_cast<int32_t>(preferences.numBuffers),
      static_cast<int32_t>(preferences.bufferSize),
      preferences.useBest && root != nullptr ? root->BestFormat() : preferences.waveFormat};
}

ProgramMixer* CreateProgramMixer(AppSettings& settings, CSoundGroup* root, MixerSignals* events) {
  DeleteProgramMixer();
  const _tInitMixer playback = PlaybackRecord(settings.preferences, root);
  auto* mixer = new ProgramMixer(&playback, events);
  settings.preferences.recordSettings.format = settings.lastRecFormat;
  mixer->InitRecording(&settings.preferences.recordSettings);
  g_mixer = mixer;
  return mixer;
}

void DeleteProgramMixer() {
  if (g_mixer == nullptr) return;
  if (g_mixer->Playing()) g_mixer->Stop();
  delete g_mixer;
  g_mixer = nullptr;
}

ProgramMixer* TheProgramMixer() { return g_mixer; }
