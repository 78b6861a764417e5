#pragma once

#include <platform/wave_format.h>
#include <platform/wave_out.h>
#include <sonark/visibility.h>
#include <sonark/containers/my_list.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace platform {
class WaveIn;
class WaveOut;
struct WaveHeader;
}  // namespace platform

class CAudioAtom;
class CRefObj;
class CPCMSound;
namespace sonark::mixer {
class ParallelFill;
}
class CSoundGroup;

// The mixer's device record: which output device, how many buffers of how many bytes, and the
// format to play in. The program stores it whole as a binary setting (32 bytes with the two
// bytes of padding behind the packed format).
struct _tInitMixer {
  uint32_t device;  // kDefaultWaveDevice selects the system's default device
  int32_t bufferCount;
  int32_t bufferSize;  // bytes
  tWAVEFORMATEX format;
};
static_assert(sizeof(_tInitMixer) == 32, "_tInitMixer is stored as 32 bytes");

constexpr uint32_t kDefaultWaveDevice = 0xFFFFFFFF;

// One output buffer of the device ring. The mixer owns the sample memory.
struct _pcm_mix_buffer {
  unsigned char* data;
  uint32_t size;  // bytes, a whole number of frames
  platform::WaveHeader* header;  // the device's header for this buffer, prepared while open
  int free;       // 1 when the buffer may be filled
};

// What a data sink of MixToDataSink answers; every value other than dwcNextBlock stops.
enum TDataWriteCode : int32_t {
  dwcNextBlock = 0,
  dwcStop = 1,
};

// Receives one rendered block. `length` comes in as the bytes at `data`; the sink may lower it
// to the bytes it took, and the rest is offered again. The lowered length becomes the block
// size of the blocks that follow.
using TDataSink = TDataWriteCode (*)(void* data, long* length, void* context);

// Turns a tree of audio atoms into one stream of PCM blocks, in the output format directly:
// every block starts as silence and each sound adds its contribution with saturation.
//
// Two paths share the sounds' rendering. Playback: the engine's mixing thread runs the device
// pump (Mix) every millisecond while the current mixer plays; it collects the output buffers the
// device has finished, schedules their time of the top atom (IncrementTimeWindow), mixes each
// (MixIntoBuffer), hands it to the device, and tells the atoms that started that they play.
// Offline: MixToDataSink renders a whole group, block by block, into a caller's sink on the
// caller's thread.
//
// Locking: every playback operation runs under the engine lock (Lock), which is taken before
// any atom's lock. MixToDataSink takes no engine lock; it must not run on a mixer that plays.
// A derived mixer calls StopBeingCurrent first thing in its own destructor, so that the mixing
// thread is done with it before its part of the object goes.
//
// Ownership: the mixer holds one reference on every atom it plays (from PlayAtom to
// StopAtom) and on every sound rendering in MixToDataSink.
//
// The virtual operations are part of the library's interface and keep their order.
class SONARK_API CPCMMixer {
 public:
  // Sets up playback with `playback` (null: 8 buffers of 16384 bytes, 44100 Hz 16-bit stereo)
  // and makes the new mixer the current one.
  explicit CPCMMixer(const _tInitMixer* playback);
  CPCMMixer(const CPCMMixer&) = delete;
  CPCMMixer& operator=(const CPCMMixer&) = delete;
  // Stops everything, releases the atoms it holds and stops being the current mixer.
  virtual ~CPCMMixer();

  // Copies the record, snaps the rate to 11025, 22050 or 44100, normalises the format and
  // rebuilds the output buffers (whole frames). 0 (kErrOutOfMemory) when they cannot be
  // allocated; the mixer then has no buffers.
  virtual int InitPlayback(const _tInitMixer* record);
  virtual int InitRecording(const _tInitMixer* record);
  virtual int Open();
  virtual void Close();
  virtual int IsOpen();
  // Plays `atom` from `start` ms; a group is scheduled window by window, a sound plays alone.
  // 0 while already playing or when the device cannot be opened.
  virtual int Play(CAudioAtom* atom, long start, long length);
  virtual void Stop();
  // The format for the next Open; 1.
  virtual int SetFormat(const tWAVEFORMATEX* format);
  // Mode != 0: `atom` is told it plays after the next block. Mode 0: it is told at once that
  // it stopped.
  virtual void SetAtomPlayMode(CAudioAtom* atom, int mode, long offset);
  virtual long GetMillisecondsPlayedSoFar();
  // Ends the mixer's part in `atom` (for a group, in everything below it) and releases the
  // mixer's reference. Without `force` an atom the mixer does not play is left alone.
  virtual void StopAtom(CAudioAtom* atom, int force);
  virtual long Latency();
  virtual void Pause(int flag);
  virtual int IsPaused();
  virtual int FullDuplexTest(uint32_t device, tWAVEFORMATEX* input, tWAVEFORMATEX* output);
  virtual int Record(CPCMSound* sound, tWAVEFORMATEX* format);
  virtual CPCMSound* GetRecordingSound();
  virtual int Recording();
  virtual int StartRecording(tWAVEFORMATEX* format, int bufferCount, int bufferSize);
  virtual void ContinueRecording();
  virtual void EndRecording();
  // The hook for recording levels: the loudest left and right sample of the newest input
  // (0.0 ... 1.0) and the input position in bytes. Called on the mixing thread under the
  // engine lock, at most once per 80 ms of input; nothing here.
  virtual void UpdatePeak(double left, double right, long position);
  // Renders `group` from its start for `lengthMs` into `sink`, in blocks of `blockBytes`
  // (-1: one second) of `format` (linear PCM, 8 or 16 bits, 1 or 2 channels). Returns 1,
  // also when the sink stopped early; 0 when the block cannot be allocated
  // (kErrOutOfMemory), for a null group or sink (kErrInvalidAtomArgument), an unusable format
  // (kErrConvertFormat), or while this mixer already renders (kErrAlreadyPlaying).
  virtual int MixToDataSink(CSoundGroup* group, TDataSink sink, void* context,
                            const tWAVEFORMATEX* format, long lengthMs, long blockBytes);
  virtual void SetPlayMode(int mode);

  // MixToDataSink from `startMs` into the group on: delivers exactly the bytes that
  // MixToDataSink(group, sink, context, format, lengthMs, blockBytes) delivers from the frame
  // trunc(startMs x rate / 1000) on, without mixing what lies before. Sounds already playing
  // there are moved on to their own offsets (resampling, envelopes and loops as they would
  // have run); the block holding the start is mixed whole and delivered from the start. Nothing
  // is delivered when the mix ends at or before the start. Results as MixToDataSink's.
  int MixToDataSinkFrom(CSoundGroup* group, TDataSink sink, void* context,
                        const tWAVEFORMATEX* format, long startMs, long lengthMs, long blockBytes);

  int Playing();
  // Why the last Open or playback failed at the device: kErrDeviceOpen or kErrDeviceFailed, with
  // the device's own words in `why`; 0 when it did not. A successful Open clears it. The mixing
  // thread ends playback on a device failure, so the caller learns of it here rather than from
  // its thread's last error.
  uint32_t GetDeviceError(std::string* why = nullptr);
  // Times the device played silence because a block came too late, since it was last opened.
  uint64_t GetUnderruns();
  // Why the last recording could not start or ended on its own (the input device could not be
  // opened or failed, a block could not be written), or why the last FullDuplexTest gave 0:
  // kErrInputDeviceOpen, kErrInputDeviceFailed, kErrRecordWrite (or kErrDeviceOpen for the
  // output side of the test) with the words in `why`; 0 when it did
  // not. A recording that starts clears it.
  uint32_t GetRecordError(std::string* why = nullptr);
  // Bytes the input device has recorded since the recording started (0 when none ran), and
  // times input was lost because no buffer was free, for the recording running or last ended.
  uint64_t GetRecordPosition();
  uint64_t GetRecordOverruns();
  // Level metering while recording, on every pass of ContinueRecording: meters the input that
  // arrived and calls UpdatePeak once another 80 ms of it has come.
  void CheckLatestRecordings();
  // The earlier recording sounds that Record replaced, with the reference the mixer held on
  // each, for the caller to release once it has let go of the engine lock: a recording sound's
  // lock is taken before the engine lock, so it must not be released under it.
  std::vector<CAudioAtom*> TakeReplacedRecordingSounds();
  // The engine lock.
  void Lock();
  void Unlock();

  // The format of the blocks being produced: the sink format while MixToDataSink runs, else
  // the device format.
  tWAVEFORMATEX GetFormat();
  // Milliseconds into `atom` that playback has reached, limited to 0 ... its length.
  long CurrentOffset(CAudioAtom* atom);
  // Schedules the next `ms` of the top group and advances the window position.
  void IncrementTimeWindow(double ms);
  // Whether `sound` is rendering in MixToDataSink.
  int MixingSoundToFile(CPCMSound* sound);
  // Progress of MixToDataSink, 0 ... 100.
  long GetPercentageMixedToFile();

  double GetBlockLength();
  double GetWindowPosition();
  CAudioAtom* GetTopAtom();
  // A copy of the playback record in use.
  _tInitMixer GetInitRecord();

 protected:
  // Under the engine lock: when this mixer is the current one, there is none any more.
  void StopBeingCurrent();

  // Called with the engine lock held; the device pump is their caller.

  // Schedules the atoms of `group` (starting at `groupStart` in the top atom's time) for the
  // window from the window position to `windowEnd`.
  void MixTimeWindow(CSoundGroup* group, long windowEnd, long groupStart);
  // Fills one output buffer: silence, then the contribution of every rendering sound.
  void MixIntoBuffer(_pcm_mix_buffer* buffer);
  // Removes finished and stopped sounds (all of them with `all`), and restarts sounds whose
  // data position changed.
  void CleanUpPlayingSounds(int all);
  // A sound gets a mixing entry once it has been loaded from `start`; `delay` ms into the
  // next block is where it begins. Other atoms need none.
  void StartMixingAtom(CAudioAtom* atom, long start, double delay);
  void StopMixingAtom(CAudioAtom* atom);
  // Tells every atom started since the last call that it plays.
  void NotifyStartedAtoms();
  int OutputBufferCount();
  _pcm_mix_buffer* GetOutputBuffer(int index);

  // Offline: adds the sounds of `group` (recursively) that start in [windowStart, windowEnd)
  // to `list`, loaded from their beginning, and drops those whose time is over. Times are
  // milliseconds relative to `base`.
  void ReadAtomsOnRIFFList(CMyList* list, CSoundGroup* group, double windowStart, double windowEnd,
                           long base);

  // The pump of the device: refills and hands over every buffer the device has finished, ends
  // playback at the top atom's end, and closes the device once the last buffers have played.
  // 1 when it handed buffers over or waits for more.
  virtual int Mix();
  // Lets every rendering sound refill its buffer outside the time-critical mixing.
  virtual void Idle();
  // Starts playing `atom` from `start` ms, `delay` ms into the coming audio, unless the mixer
  // plays it already. Returns 1.
  virtual int PlayAtom(CAudioAtom* atom, long start, double delay);

 private:
  struct MixEntry;
  friend class MixingThread;

  // The device's side of Open and Close: opening it with the device format and handing it the
  // output buffers; taking them back and closing it.
  int OpenDevice();
  void CloseDevice();
  // Ends playback because the device failed, keeping its reason.
  void DeviceFailed();

  MixEntry* FindEntry(CPCMSound* sound, int* index);
  int Holds(CAudioAtom* atom);
  void ReleaseHeld(CAudioAtom* atom);
  void ReleaseSinkSounds();
  int Listed(CMyList* list, CPCMSound* sound);
  int SinkSoundCount();
  // With `skip` the sounds move on through the block without adding to it.
  void TopUpSinkSounds();
  void RenderSinkBlock(unsigned char* block, unsigned long blockSize, unsigned long windowFrame,
                       unsigned long* producedEnd, bool skip);
  // Puts every sound below `group` that can release its ring and file until it starts into
  // that state, listing (with a reference) those that did; WakeSounds gives them their files
  // back and releases the references once the render is over.
  static void RestSounds(CSoundGroup* group, std::vector<CPCMSound*>* rested);
  static void WakeSounds(std::vector<CPCMSound*>* rested);

  tWAVEFORMATEX requested_format_{};
  _tInitMixer init_{};
  std::unique_ptr<_pcm_mix_buffer[]> buffers_;
  std::unique_ptr<unsigned char[]> buffer_memory_;
  int buffer_count_ = 0;
  std::unique_ptr<platform::WaveHeader[]> headers_;  // one per output buffer
  std::unique_ptr<platform::WaveOut> device_;
  uint32_t device_error_ = 0;
  std::string device_why_;
  uint64_t underruns_ = 0;  // of the device last closed
  CMyList entries_;  // MixEntry*, keyed 0
  CMyList pending_;  // atoms started since the last notice, keyed by start offset
  std::atomic<long> percent_mixed_{0};
  tWAVEFORMATEX sink_format_{};
  CMyList sink_sounds_;          // CPCMSound*, keyed by start frame relative to the group
  std::atomic<int> sinking_{0};  // 0 idle, 2 setting up, 1 rendering
  // Guards the sink list, which MixingSoundToFile reads from other threads. Nothing else is
  // taken while it is held.
  std::mutex sink_lock_;
  // While a render runs: tops up its sounds' buffers on two threads (owned by the render).
  sonark::mixer::ParallelFill* sink_fill_ = nullptr;
  std::vector<std::pair<CRefObj*, CPCMSound*>> sink_top_up_;  // the sounds of one top-up
  std::vector<size_t> sink_groups_;                            // their runs by data object
  // Recording. The mixer holds a reference on the recording sound from Record on, until the
  // next Record or its own end, so that GetRecordingSound stays valid.
  struct InputBuffer {
    std::unique_ptr<unsigned char[]> data;
    uint32_t size = 0;
    platform::WaveHeader header;
    int skip = 0;  // set after a failure: the buffer's bytes must not reach the sound
  };
  // Walks the input from the metered position to `position`, raising the pending maxima.
  void MeterUpTo(uint64_t position);
  // Why the recording or the test failed, for GetRecordError; also the last error.
  void RecordFailed(uint32_t code, const std::string& why);
  CPCMSound* recording_sound_ = nullptr;
  std::vector<CAudioAtom*> replaced_recordings_;
  _tInitMixer record_requested_{};
  _tInitMixer record_in_use_{};
  std::unique_ptr<platform::WaveIn> input_;
  std::unique_ptr<InputBuffer[]> input_buffers_;
  int input_count_ = 0;
  int input_next_ = 0;        // the buffer expected back next
  std::atomic<int> recording_{0};
  uint64_t metered_ = 0;      // input bytes walked for the meter
  uint64_t meter_step_ = 0;   // 80 ms of input, whole frames
  uint64_t meter_updated_ = 0;  // the position of the last UpdatePeak
  long meter_left_ = 0;       // loudest samples since the last UpdatePeak
  long meter_right_ = 0;
  uint64_t handed_ = 0;       // input bytes of the buffers handed back so far
  uint64_t record_start_tick_ = 0;
  std::atomic<uint64_t> record_position_{0};
  std::atomic<uint64_t> record_overruns_{0};
  uint32_t record_error_ = 0;
  std::string record_why_;
  uint64_t start_tick_ = 0;
  int paused_ = 0;
  std::atomic<int> play_mode_{0};
  int open_count_ = 0;
  double window_position_ = 0.0;
  double start_position_ = 0.0;
  double end_position_ = 0.0;
  CAudioAtom* top_atom_ = nullptr;
  double block_length_ = 0.0;
  CMyList held_;  // every atom the mixer holds a reference on
};
