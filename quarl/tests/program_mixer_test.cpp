#include <quarl/shell/app_settings.h>
#include <quarl/shell/program_mixer.h>
#include <sonark/mixer/current_mixer.h>
#include <sonark/model/atom_ref.h>
#include <sonark/model/pcm_sound.h>
#include <sonark/model/sound_group.h>
#include <sonark/tests/mixer_test_support.h>
#include <tarnell/mem_obj.h>
#include <tarnell/ref_ptr.h>

#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <mutex>
#include <vector>

namespace {

// A group holding `ms` of a 44100 Hz 16-bit stereo staircase, its data in memory.
AtomRef<CSoundGroup> NewSession(long ms) {
  AtomRef<CSoundGroup> group(new CSoundGroup());
  mixer_test::AddOwned(mixer_test::NewSound(mixer_test::Staircase(44100 * ms / 1000, 1)),
                       group.get(), 0);
  return group;
}

}  // namespace

class ProgramMixerTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    if (qEnvironmentVariableIsEmpty("QUARL_AUDIO")) qputenv("QUARL_AUDIO", "null");
  }

  // The mixer is made from the settings: devices and buffers from the Preferences, the
  // session's best format or the stored one, the last recording format for recording.
  void madeFromTheSettings() {
    AtomRef<CSoundGroup> session = NewSession(100);
    AppSettings settings;
    settings.preferences.waveFormat = PcmFormat(11025, 1, 8);
    settings.preferences.numBuffers = 3;
    settings.lastRecFormat = PcmFormat(44100, 1, 16);
    QCOMPARE(PlaybackRecord(settings.preferences, session.get()).format.nSamplesPerSec, 44100u);
    settings.preferences.useBest = 0;
    const _tInitMixer playback = PlaybackRecord(settings.preferences, session.get());
    QCOMPARE(playback.format.nSamplesPerSec, 11025u);
    QCOMPARE(playback.bufferCount, 3);
    QCOMPARE(playback.device, kDefaultWaveDevice);

    ProgramMixer* mixer = CreateProgramMixer(settings, session.get());
    QCOMPARE(TheProgramMixer(), mixer);
    QCOMPARE(GetCurrentMixer(), static_cast<CPCMMixer*>(mixer));
    QCOMPARE(settings.preferences.recordSettings.format.nChannels, uint16_t{1});
    QCOMPARE(settings.preferences.recordSettings.bufferCount, 16);
    ProgramMixer* again = CreateProgramMixer(settings, session.get());
    QCOMPARE(TheProgramMixer(), again);
    QCOMPARE(GetCurrentMixer(), static_cast<CPCMMixer*>(again));
    DeleteProgramMixer();
    QVERIFY(TheProgramMixer() == nullptr);
    QVERIFY(GetCurrentMixer() == nullptr);
  }

  // A short play on the null device: the device's opening and closing and the play mode reach
  // the receiver on its own thread, though the end of the play happens on the mixing thread.
  void noticesReachTheWindowThread() {
    AtomRef<CSoundGroup> session = NewSession(150);
    AppSettings settings;
    settings.preferences.numBuffers = 4;
    settings.preferences.bufferSize = 4096;
    ProgramMixer* mixer = CreateProgramMixer(settings, session.get());
    MixerSignals* events = mixer->Events();

    QObject window;
    std::vector<QString> seen;  // on the window's thread only
    bool elsewhere = false;
    connect(
        events, &MixerSignals::refreshToolbar, &window,
        [&] {
          elsewhere |= QThread::currentThread() != window.thread();
          seen.push_back("toolbar");
        },
        Qt::QueuedConnection);
    connect(
        events, &MixerSignals::playModeChanged, &window,
        [&](int mode) {
          elsewhere |= QThread::currentThread() != window.thread();
          seen.push_back(QString("mode %1").arg(mode));
        },
        Qt::QueuedConnection);
    // Where the notices come from.
    std::mutex lock;
    std::vector<QThread*> emitters;
    connect(
        events, &MixerSignals::playModeChanged, events,
        [&] {
          std::lock_guard<std::mutex> guard(lock);
          emitters.push_back(QThread::currentThread());
        },
        Qt::DirectConnection);
    QSignalSpy levels(events, &MixerSignals::recordLevels);

    QVERIFY(mixer->Play(session.get(), 0, 0));
    QTRY_VERIFY_WITH_TIMEOUT(!mixer->Playing() && !mixer->IsOpen(), 5000);
    QTRY_VERIFY(!seen.empty() && seen.back() == "toolbar" && seen.size() >= 4);
    QCOMPARE(seen.front(), QString("toolbar"));
    const auto started = std::find(seen.begin(), seen.end(), "mode 1");
    QVERIFY(started != seen.end());
    QVERIFY(std::find(started, seen.end(), "mode 0") != seen.end());
    QVERIFY(!elsewhere);
    {
      std::lock_guard<std::mutex> guard(lock);
      QVERIFY(std::find_if(emitters.begin(), emitters.end(), [&](QThread* thread) {
                return thread != window.thread();
              }) != emitters.end());
    }
    // Levels are passed on only while recording.
    mixer->UpdatePeak(0.5, 0.5, 100);
    QCoreApplication::processEvents();
    QCOMPARE(levels.count(), 0);
    DeleteProgramMixer();
  }
};

QTEST_MAIN(ProgramMixerTest)
#include "program_mixer_test.moc"
