#pragma once

#include <platform/wave_format.h>
#include <sonark/visibility.h>
#include <sonark/model/audio_atom.h>
#include <sonark/render/buffer_format.h>
#include <tarnell/ref_ptr.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>

class CRefObj;
class CPCMBuffer;
class CDecoder;
class ACMObject;
class CSeekMap;
class CEffect;
class CPeaks;
struct TMusicInfo;

// Releases a format record made with malloc (its size depends on its extra bytes).
struct FreeFormat {
  void operator()(tWAVEFORMATEX* format) const { std::free(format); }
};

// What a sound's ReadData tells the mixer.
enum TRenderResult : int {
  kRenderFailed = 0,
  kRenderMore = 1,      // more data follows
  kRenderFinished = 2,  // the sound has finished
};

// Render flags of a sound (RenderFlags).
constexpr uint32_t kRenderSourceStereo = 0x001;
constexpr uint32_t kRenderOutputStereo = 0x002;
constexpr uint32_t kRenderSource8Bit = 0x004;
constexpr uint32_t kRenderOutput8Bit = 0x008;
constexpr uint32_t kRenderEnvelopes = 0x010;  // envelopes are being followed
constexpr uint32_t kRenderRateNext = 0x020;   // the rate envelope has a next event
constexpr uint32_t kRenderVolumeNext = 0x040;
constexpr uint32_t kRenderPanNext = 0x080;
constexpr uint32_t kRenderVolumeRamp = 0x100;
constexpr uint32_t kRenderPanRamp = 0x200;
constexpr uint32_t kRenderRateRamp = 0x400;
constexpr uint32_t kRenderEnvelopeBits = 0x7F0;

// An event time meaning "none".
constexpr long kNoEventTime = 2147483647;

// One envelope kind while the sound plays: a straight line from the current event to the
// next. Frames are output frames on the sound's time line.
struct _envelopeTrack {
  double slope = 0.0;  // value per output frame
  long counter = 0;    // output frames since the current event
  int index = 0;       // position in the map's event list after the last event fetched
  double current = 0.0;
  double next = 0.0;
  long currentTime = kNoEventTime;  // ms
  long nextTime = kNoEventTime;
  long currentFrame = 0;
  long nextFrame = 0;
};

struct _envelopeState {
  long updateInterval = 0;   // output frames in 30 ms
  long updateCountdown = 0;  // output frames to the next re-evaluation
  long eventCountdown = 0;   // output frames to the next event
  _envelopeTrack tracks[3];  // volume, pan, rate (map-type order)
};

// A leaf of the session tree: one sound file (or recording) placed on the time line. It owns
// one reference on its data object, a copy of its source format and its streaming buffer.
//
// Rendering: the mixer calls Load (start) once, then ReadData for every block, which adds the
// sound's contribution (resampled to the output rate and speed, with gains and envelopes) to
// what the block holds, and Idle between blocks to refill the buffer. Gains are in 1/8192
// units (8192 leaves samples unchanged), speeds in 1/2^27 source frames per output frame.
//
// A sound gets its data with InitialLoad from a sound file (format, data range, peaks, music
// information), or with SetUpFromPCM over a data object that already holds PCM; either comes
// before the sound is added to a group (groups count the format a sound had when it joined
// them).
//
// Locking: Load, ReadData, Idle and the buffer and position queries take the sound's lock;
// the volume, pan and rate setters take none (a torn update mixes old and new gains for at
// most one block).
class SONARK_API CPCMSound : public CAudioAtom {
 public:
  CPCMSound();
  CPCMSound& operator=(const CPCMSound&) = delete;
  ~CPCMSound() override;

  // A part of the sound: its length is to - from (the whole length when `to` is
  // 2147483647), its data starts that much later (wrapping round the data). Null with
  // kErrOutOfMemory when its buffer or data object cannot be copied.
  CAudioAtom* Copy(long from, long to) override;
  // Duplicates the rendering settings, the buffer and the data object (shared when the
  // buffer holds the data whole, else a copy with its own position).
  CAudioAtom* Copy() override;
  int Type() override;
  // Refused (0) beyond the end or while playing; otherwise handed to the current mixer.
  int Play(long offset) override;
  // Requests a stop from the mixer; 1.
  int Stop() override;
  // Milliseconds handed out by the current read.
  long CurrentPlayOffset() override;
  // While playing, the current read grows or shrinks by the change of length.
  void NotifyOfNewLength() override;
  // Mode 0: the virtual length. Otherwise, while following envelopes, the virtual length
  // passed through the rate envelope (source milliseconds it consumes).
  long Length(int mode) override;
  // Stores the length (never below 0), then the atom's bookkeeping.
  void SetVirtualLength(long length) override;
  // A streaming sound: its data object has reached its end and the ring is empty. A sound
  // held whole: its read is complete.
  int FinishedWithPlayOnce() override;
  // The session file: the list "sndc" with the atom record, the map and the file's path
  // ("sref", relative to the session file where both lie on one local file system), or with
  // byReference 0 the data itself (a "WAVE" list). A sound whose file cannot be loaded is
  // reported through ErrorLoadingFile and Load fails with kErrSoundNotLoaded, which its group
  // takes as "left out"; a damaged list fails with kErrSessionDamaged.
  int Load(CRIFF* riff, int a, int b, int c, int d, TLoadProgress progress, void* context) override;
  int Save(CRIFF* riff, int byReference) override;
  unsigned long SaveSize(int byReference) override;
  int PreSave(CRIFF* riff) override;
  int PostSave(CRIFF* riff) override;
  int PreLoad(CRIFF* riff) override;
  int PostLoad(CRIFF* riff) override;

  using CAudioAtom::Load;
  // Prepares playback from `start` ms into the sound. 0 when the start lies beyond the end,
  // or (kErrBufferCannotStart) when the sound has no buffer or the read cannot start.
  virtual int Load(long start);
  // Loads the sound file behind `source` from its current position (CInitialLoad: formats
  // and their codes, peaks and their side file, progress with pause and cancel), takes over
  // its format, music information and peaks, sets the length from the data, creates a
  // buffer of `bufferMs` (the whole data when that is not longer) and joins the registry of
  // loaded sounds. Compressed data (MPEG audio, codec-manager formats) plays as its decoder's
  // PCM: Format() is the decoder's output, the length the decoded one, the buffer the
  // decoder's own (seeking through the seek map the load built or took from its side file). Takes a reference on `source`. 0 with the load's code, or with the last
  // error cleared when the progress callback cancelled; the sound is then left as it was.
  virtual int InitialLoad(CRefObj* source, long bufferMs, int determineLength, int buildPeaks,
                          int reserved, int buildSeekMap, int msPerPeak, TLoadProgress progress,
                          void* context);
  // Leaves the registry of loaded sounds and releases buffer, data object and formats.
  virtual void Unload();
  // Recording. Type 0 starts: the sound records `format` (linear PCM, 8 or 16 bits, 1 or 2
  // channels) from the current mixer's input into a new wave file at `path` (its folder made
  // when missing; in memory when the file cannot be created, or without a path), building
  // peaks of `msPerPeak` on the way when `withPeaks` is set. 0 with the reason in the last
  // error (and the mixer's GetRecordError) when the input cannot start. Any other type stops:
  // the last input is written, the file completed, and the sound becomes an ordinary
  // streaming sound of it (with its peaks). Takes the engine lock and the sound's lock, never
  // the one while holding the other; not to be called under either.
  virtual int Record(int type, const tWAVEFORMATEX* format, const char* path, int withPeaks,
                     long msPerPeak);
  // 1 from the start of a recording until its stop, also once the mixer's input ended on its
  // own (a failed write or device); the stop is still to be called then.
  int IsRecording() const { return recording_; }
  // Hooks for the program while a session loads. FindMissingFile is asked for another path
  // when the sound's file cannot be opened (the text is copied at once; null or "" offers
  // none). ErrorLoadingFile is told the code when the sound is left out.
  virtual char* FindMissingFile(char* path);
  virtual void ErrorLoadingFile(unsigned long code);
  // Not available in this build (0, kErrNotAvailable).
  virtual int SaveAs(const char* path, TLoadProgress progress, void* context);
  // Milliseconds of data, rounded to the nearest; 0 without data.
  virtual long DataLength();
  // Bytes of Format() PCM the data makes: the data object's data size for PCM, the decoded
  // size for compressed data. 0 without data.
  long PcmDataSize();
  // Frames of data.
  virtual long NumSamples();
  // The largest absolute sample of either channel among whole frames of Format() data.
  virtual long GetMaxSample(const unsigned char* first, const unsigned char* end);
  // From the buffer's unread data, one value per `framesPerValue` frames: the largest
  // absolute sample x 255 / 32767. Consumes what it read, advances `*framePosition` and
  // returns the values stored; 0 with kErrBufferCannotStart without a buffer.
  virtual long GetAmplitudes(long* framePosition, long framesPerValue, long count,
                             unsigned char* out);
  // Static pan, -1 full left ... +1 full right: recomputes the gains.
  virtual void Pan(double pan);
  // Static speed factor, in force from the next ReadData.
  virtual void Rate(double rate);
  // Static volume factor (1.0 leaves samples unchanged): recomputes the gains.
  virtual void Volume(double volume);
  // No effect can be attached here: 0.
  virtual int SetEffect(CEffect* effect);
  // Copies Format() (18 bytes); 0 without one.
  virtual int GetFormat(tWAVEFORMATEX* out);
  // 0: a sound's format comes from its data.
  virtual int SetFormat(const tWAVEFORMATEX* format);
  // Adds the sound's next samples into the block (ptInterleaved, 8 or 16-bit, 1 or 2
  // channels, any rate) from its start; `*bytesOut` gets the bytes produced. kRenderFailed
  // with kErrInvalidAtomArgument for an unusable block, kErrBufferCannotStart without a
  // buffer.
  virtual TRenderResult ReadData(_bufferType* block, unsigned long* bytesOut);
  // Moves on by the frames ReadData would render into `block`, exactly as ReadData would
  // (source, resampler, envelopes, end), without touching the block's samples: how a render
  // from a later start brings a sound that is already playing to its own offset.
  TRenderResult SkipData(_bufferType* block, unsigned long* bytesOut);
  // Appends one recorded block (ptInterleaved, in the recording format) to the recording's
  // file, and its peaks; the mixer calls it on the mixing thread under the engine lock, and it
  // takes no lock of the sound. 1 when everything was written; 0 otherwise, with the file's
  // reason in the last error (else kErrRecordWrite) and what was written before kept.
  virtual int WriteData(_bufferType* block);
  // Refills the buffer between blocks: its Fill result, 0 without a buffer.
  virtual int Idle(const tWAVEFORMATEX* format);
  // A sound has no sub-atoms: these do nothing and return 0.
  CAudioAtom* AddSubAtom(CAudioAtom* atom, long offset, int adjust, int resize) override;
  CAudioAtom* RemoveSubAtom(CAudioAtom* atom, int notify, int resize) override;
  CAudioAtom* MoveSubAtom(CAudioAtom* atom, long offset, int adjust, int resize) override;
  // Forwarded to a decoder; true without one.
  virtual bool Pause();
  virtual bool Resume();
  virtual int IsTotalSilence();
  virtual int IsPartialSong();
  // The file holds less sound data than its header claims (a recording cut short, a partial
  // download): the sound is what the file holds, in whole frames.
  int IsCutShort() const { return cut_short_; }
  // The file loaded for this sound from a session differs in size or in its sound data from
  // the one the session was saved with.
  int FileChangedSinceSave() const { return file_changed_; }
  virtual void SetAutoTrim(int on);
  virtual int IsAutoTrim();

  double Volume();
  double Pan();
  double Rate();
  // v x 32767 / the loudest peak; 1.0 without peaks.
  double GetNormalizedVolume(double volume);

  // Sets the sound up over `object`, whose data window holds PCM in `format`: validates the
  // format (kErrUnsupportedPcm), requires data (kErrEmptyData), leaves a trailing part of a
  // frame out of the window, takes a reference on the object, sets the length from the data
  // and creates a streaming buffer of `bufferMs` (the whole data when that is not longer).
  int SetUpFromPCM(CRefObj* object, const tWAVEFORMATEX* format, long bufferMs = 2000);
  // The same for compressed data in `sourceFormat` (kept with its extra bytes): the sound
  // plays the PCM of `decoder` (taken over, also on failure; its exact decoded size must be
  // known) through the decoder's buffer, which seeks with `seekMap` (may be null; the buffer
  // takes its own reference). kErrDecoderStream when the decoder cannot start.
  int SetUpFromDecoder(CRefObj* object, const tWAVEFORMATEX* sourceFormat, ACMObject* decoder,
                       CSeekMap* seekMap, long bufferMs = 2000);

  // The offset into the data at which the sound starts, in whole frames.
  void SetVirtualTimeStart(long ms);
  long GetVirtualTimeStart();
  // The data object's data size (held whole) or its position past its data start.
  long GetSourceBytesMixedInPlayOnceMode();
  // While a streaming sound does not play: releases its buffer's ring and closes its file when
  // nothing else shares it. 1 when the file was closed; a sound held whole keeps everything.
  // Load (start) and LeaveLowActivity open the file again.
  int EnterLowActivity();
  // Opens the file that EnterLowActivity closed, at the position it had; 1 when it is open.
  int LeaveLowActivity();
  // Replaces the buffer by one of `bytes` (whole frames, below the current capacity) that
  // holds the start of the data whole. 1 when replaced; the old buffer stays otherwise.
  int ShrinkBuffer(unsigned long bytes);

  // The format of the samples the sound delivers; null before a format is set.
  tWAVEFORMATEX* Format();
  // The format of the file's data, with its extra bytes.
  tWAVEFORMATEX* ActualFormat();
  // Copies the format and its cbSize extra bytes. 0 (kErrInvalidAtomArgument or
  // kErrOutOfMemory) leaves the old format.
  int SetSourceFormat(const tWAVEFORMATEX* format);
  void GetSrcFormatString(char* out, long outSize);
  void GetDestFormatString(char* out, long outSize);
  CRefObj* GetRefObj();
  // Takes a reference on `object` (which may be null) and drops the one on the old object;
  // the buffer reads from the new object from its next read on.
  void SetRefObj(CRefObj* object);
  CPCMBuffer* GetBuffer() { return buffer_.get(); }
  CDecoder* GetACMObj() { return decoder_.get(); }
  TMusicInfo* GetMusicInfo() { return music_info_.get(); }
  // Null when the sound was loaded without peaks.
  CPeaks* GetPeaks() { return peaks_.get(); }
  long GetAutoTrimTimeStart() const { return auto_trim_start_; }
  long GetAutoTrimTimeEnd() const { return auto_trim_end_; }

  // Rendering state, for inspection.
  int32_t LeftGain() const { return left_gain_.load(std::memory_order_relaxed); }
  int32_t RightGain() const { return right_gain_.load(std::memory_order_relaxed); }
  int32_t RateStep() const { return rate_step_; }
  uint32_t RenderFlags() const { return render_flags_; }

  // The envelope state machine (runs under the sound's lock, from Load and ReadData).
  // Prepares the envelopes for playback from `start` ms at the output format's rate.
  void ReadyMapForPlayback(long start, const tWAVEFORMATEX* output);
  // Ramps towards the next events of the kinds in `mask` (has-next bits) from `time`.
  void SetMapSkipVariables(long time, uint32_t mask, const tWAVEFORMATEX* output);
  // Re-evaluates the running ramps into gains and rate step.
  void CalculateVolumes(const tWAVEFORMATEX* output);
  // Moves the kinds whose next event has been reached on to their following event.
  void GetNextMapSkipInfo(const tWAVEFORMATEX* output);

 protected:
  CPCMSound(const CPCMSound& other);
  CPCMSound(const CPCMSound& other, long from, long to);
  // Why a copy made with the copy constructors is unusable (its buffer or data object could
  // not be copied): the error code, 0 when it is whole. A subclass's Copy checks it.
  uint32_t CopyFailure() const { return copy_failed_; }

  // The rendering loop over the buffer's regions.
  virtual TRenderResult ReadDataMix(_bufferType* block, unsigned long* bytesOut);
  // Renders whole source frames from `cursor` (moved on past what was consumed) up to
  // `sourceEnd` into whole output frames of `format` between `destination` and
  // `destinationEnd`; returns the destination bytes written.
  virtual unsigned long MixLoop(unsigned char*& cursor, unsigned char* sourceEnd,
                                unsigned char* destination, unsigned char* destinationEnd,
                                const tWAVEFORMATEX* format);
  // Copies the auto-trim times from the peaks and raises the total-silence flag, or else the
  // partial-song flag, when the peaks say so; nothing without peaks.
  virtual void DetermineSilenceAndPartialSong();

 private:
  void CopySoundPart(const CPCMSound& other);
  // SkipData in one step where nothing changes on the way: 1 when it moved on over the block.
  int JumpOver(_bufferType* block, unsigned long* bytesOut);
  // Session storage helpers.
  friend CPCMSound* FindSoundThatCannotBeStored(CAudioAtom* atom, CRIFF* riff);
  int StoredSoundPath(CRIFF* riff, char* out);
  // Compares the sound's file with the sizes its session recorded (-1: none).
  void CheckFileAgainstSaved(int64_t savedFileBytes, int64_t savedDataBytes);
  int SaveEmbeddedData(CRIFF* riff);
  int LoadReferencedFile(CRIFF* riff, const char* stored, int a, int b, int c, int d,
                         TLoadProgress progress, void* context);
  int LoadEmbeddedData(CRIFF* riff, int a, int b, int c, int d, TLoadProgress progress,
                       void* context);
  int ShareLoadedSound(CPCMSound* loaded, TLoadProgress progress, void* context);
  void ReadyMapAtFrame(long frame, const tWAVEFORMATEX* output);
  int FetchNextEvent(int kind);
  void HoldEnvelopeValue(int kind, double value, const tWAVEFORMATEX* output);

  // Recording: the file being written, its peaks on the way, the size patches.
  struct RecordState;
  struct RecordStateDeleter {
    void operator()(RecordState* state) const;
  };
  // Ends the file's data stream and, with `becomeSound`, turns the sound into a sound of what
  // was recorded.
  int FinishRecording(bool becomeSound);
  std::unique_ptr<RecordState, RecordStateDeleter> record_state_;

  // Owned parts; the data object is shared with copies that load the data once.
  std::unique_ptr<CPCMBuffer> buffer_;
  std::unique_ptr<tWAVEFORMATEX, FreeFormat> source_format_;
  int recording_ = 0;
  long play_start_ = 0;
  std::atomic<int32_t> left_gain_{8192};
  std::atomic<int32_t> right_gain_{8192};
  int32_t rate_step_ = int32_t{1} << 27;
  int32_t phase_ = 0;
  int32_t previous_left_ = 0;
  int32_t previous_right_ = 0;
  uint32_t render_flags_ = 0;
  _envelopeState envelope_;
  std::atomic<double> rate_{1.0};
  std::atomic<double> volume_{1.0};
  std::atomic<double> pan_{0.0};
  std::atomic<long> virtual_length_{0};
  long adjusted_length_ = 0;
  long auto_trim_start_ = 0;
  long auto_trim_end_ = 2147483647;
  int auto_trim_ = 0;
  int total_silence_ = 0;
  int partial_song_ = 0;
  int cut_short_ = 0;
  int file_changed_ = 0;
  std::unique_ptr<CDecoder> decoder_;
  RefPtr<> data_object_;
  std::unique_ptr<CPeaks> peaks_;
  std::unique_ptr<TMusicInfo> music_info_;

  // The envelope clock: the output frame on the sound's time line about to be rendered, and
  // the output rate the envelopes were prepared for (0: not yet).
  long envelope_frame_ = 0;
  uint32_t envelope_rate_ = 0;
  // Time-line milliseconds rendered since Load, where changed envelopes are read again.
  double rendered_ms_ = 0.0;
  // Set while SkipData runs: the loop moves on as a muted sound does.
  bool skipping_ = false;
  // The file closed by EnterLowActivity: its size and position then, to open it as it was.
  bool file_rested_ = false;
  long rested_size_ = 0;
  long rested_position_ = 0;
  // The error code of a copy constructor that could not copy a part of the sound; 0.
  uint32_t copy_failed_ = 0;
};

// The first sound at or below `atom` that a session saved through `riff` cannot store by
// reference (no file, or a path that does not fit its record), with the code in the thread's
// last error; null when every sound can be stored. No reference is added.
SONARK_API CPCMSound* FindSoundThatCannotBeStored(CAudioAtom* atom, CRIFF* riff);
