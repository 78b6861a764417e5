// quarl-cli record [options] OUT.wav: the input device into a wave file, for a time or until
// stopped, optionally while a session plays (and then into that session).
#include <cli/command_args.h>
#include <cli/commands.h>
#include <cli/disk_room.h>
#include <cli/interrupt.h>
#include <cli/record_meter.h>
#include <cli/record_target.h>
#include <cli/session_io.h>
#include <cli/status_line.h>
#include <cli/terminal_text.h>
#include <cli/timeline_load.h>
#include <platform/clock.h>
#include <platform/last_error.h>
#include <platform/wave_in.h>
#include <platform/wave_out.h>
#include <session/session_atoms.h>
#include <sonark/errors.h>
#include <sonark/mixer/pcm_mixer.h>
#include <sonark/model/atom_ref.h>
#include <sys/stat.h>
#include <tarnell/file_obj.h>
#include <tarnell/ref_obj.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct RecordOptions {
  std::string out;
  double seconds = 0.0;  // 0: until stopped (or the end of the session played)
  long rate = 44100;
  long channels = 2;
  long bits = 16;
  long device = -1;  // -1: the system's default input
  std::string over;  // a session to play while recording
  bool add = false;
  bool overwrite = false;
};

constexpr long kMinRate = 4000;
constexpr long kMaxRate = 48000;
constexpr double kMaxSeconds = 24.0 * 3600.0;
// The input ring: 16 buffers of 32 KB (whole frames), about 3 s of CD-quality input, so a busy
// machine loses nothing for a while.
constexpr int kInputBufferCount = 16;
constexpr long kInputBufferBytes = 32768;
// The output while a session plays, as quarl-cli play has it.
constexpr int kOutputBufferCount = 8;
constexpr int kOutputBufferBytes = 16384;
// Peaks are built while recording, so a later load of the file is fast.
constexpr int kWithPeaks = 1;
// The time and the input are looked at this often: often enough that a fast input (a wave
// file read as quickly as the engine takes it) stops close to the time asked for.
constexpr int kTickMs = 5;
// How long a stopped play may take to hand its device back before we leave without it.
constexpr uint64_t kCloseWaitMs = 3000;
// Room left below the 4 GB of a wave file when a recording runs until stopped: more than the
// whole input ring, which is still written after the stop.
constexpr double kWaveHeadroomBytes = 4.0 * 1024 * 1024;

void PrintUsage(FILE* out) {
  fputs(
      "usage: quarl-cli record [--seconds N] [--rate HZ] [--channels 1|2] [--bits 8|16]\n"
      "                        [--device N] [--over SESSION.sgp [--add]] [--overwrite]\n"
      "                        [--] OUT.wav\n"
      "\n"
      "Records the input device into the wave file OUT.wav until N seconds are recorded\n"
      "(decimals allowed, at most 24 hours) or Ctrl-C (or SIGTERM) stops it; on a terminal one\n"
      "line shows the time and the level of each channel. The format is 44100 Hz, 16-bit,\n"
      "stereo unless --rate (4000 to 48000 Hz), --bits or --channels say otherwise. A missing\n"
      "folder of OUT.wav is made; an existing file is recorded over only with --overwrite.\n"
      "\n"
      "--over SESSION.sgp plays the session from its start while recording; without --seconds\n"
      "the recording stops at the session's end. --add then puts the recording into the\n"
      "session, at the time it began, and saves the session.\n"
      "\n"
      "When the recording ends on its own (the disk is full, the device failed) what was\n"
      "recorded is kept, and the exit status is 1. --device N records from input device N of\n"
      "'quarl-cli devices' (default: the system's default). QUARL_AUDIO chooses the backend:\n"
      "portaudio (the default), null (records silence, paced by the clock), or\n"
      "wav:in=FILE.wav[,fast] (records that wave file, which must have the recording's rate,\n"
      "paced or as fast as it can be written with ',fast'; silence after its end).\n",
      out);
}

int UsageError(const std::string& what) { return CommandUsageError("record", what); }

// A positive number of seconds, decimals allowed; false for anything else.
bool ParseSeconds(const char* text, double* out) {
  char* end = nullptr;
  errno = 0;
  const double value = strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !std::isfinite(value) || value <= 0.0 ||
      value > kMaxSeconds)
    return false;
  *out = value;
  return true;
}

// -1 to go on with `options` filled, else the exit status.
int ParseOptions(int argc, char** argv, RecordOptions* options) {
  CommandArgs args(argc, argv);
  while (const char* arg = args.NextOption()) {
    std::string error;
    if (IsHelpOption(arg)) {
      PrintUsage(stdout);
      return kExitOk;
    } else if (strcmp(arg, "--seconds") == 0) {
      const char* value = args.Value();
      if (value == nullptr) {
        error = "--seconds needs a value";
      } else if (!ParseSeconds(value, &options->seconds)) {
        error = std::string("bad value '") + value +
                "' for --seconds (a number of seconds above 0, at most 86400)";
      }
    } else if (strcmp(arg, "--rate") == 0) {
      error = TakeNumber(args, arg, kMinRate, kMaxRate, "4000 to 48000 Hz", &options->rate);
    } else if (strcmp(arg, "--channels") == 0) {
      error = TakeNumber(args, arg, 1, 2, "1 or 2", &options->channels);
    } else if (strcmp(arg, "--bits") == 0) {
      error = TakeNumber(args, arg, 8, 16, "8 or 16", &options->bits);
      if (error.empty() && options->bits != 8 && options->bits != 16)
        error = "bad value '" + std::to_string(options->bits) + "' for --bits (8 or 16)";
    } else if (strcmp(arg, "--device") == 0) {
      error = TakeNumber(args, arg, 0, 0x7FFFFFFE, "a device number from 0", &options->device);
    } else if (strcmp(arg, "--over") == 0) {
      const char* value = args.Value();
      if (value == nullptr || value[0] == '\0') {
        error = "--over needs a session";
      } else {
        options->over = value;
      }
    } else if (strcmp(arg, "--add") == 0) {
      options->add = true;
    } else if (strcmp(arg, "--overwrite") == 0) {
      options->overwrite = true;
    } else {
      error = std::string("unknown option '") + arg + "'";
    }
    if (!error.empty()) return UsageError(error);
  }
  const std::vector<const char*>& files = args.Operands();
  if (files.size() != 1)
    return UsageError(files.empty() ? "expected OUT.wav" : "more than OUT.wav given");
  options->out = files[0];
  if (options->add && options->over.empty())
    return UsageError("--add puts the recording into the session of --over, which is missing");
  return -1;
}

// The mixer of a recording: keeps the levels the mixing thread reports for the main thread's
// meter.
class MeteredMixer : public CPCMMixer {
 public:
  explicit MeteredMixer(const _tInitMixer* playback) : CPCMMixer(playback) {}
  ~MeteredMixer() override { StopBeingCurrent(); }
  MeteredMixer(const MeteredMixer&) = delete;
  MeteredMixer& operator=(const MeteredMixer&) = delete;

  // On the mixing thread, under the engine lock: store and go.
  void UpdatePeak(double left, double right, long) override {
    left_.store(left, std::memory_order_relaxed);
    right_.store(right, std::memory_order_relaxed);
  }
  double Left() const { return left_.load(std::memory_order_relaxed); }
  double Right() const { return right_.load(std::memory_order_relaxed); }

 private:
  std::atomic<double> left_{0.0};
  std::atomic<double> right_{0.0};
};

void Fail(const std::string& what, const std::string& text) {
  ReportCommandProblem("record", what, text);
}

std::string ErrorText(uint32_t code, const std::string& why) {
  std::string text = DescribeError(code);
  if (!why.empty() && why != text) text.append(": ").append(why);
  return text;
}

// "2.5 s"
std::string Seconds(double ms) {
  char text[32];
  snprintf(text, sizeof text, "%.1f s", ms / 1000.0);
  return text;
}

// Whether the sound records into the file at `path` rather than into memory, where the
// engine puts a recording whose file it cannot create.
bool RecordsIntoFile(CPCMSound* sound, const std::string& path) {
  CRefObj* data = sound->GetRefObj();
  if (data == nullptr || data->Type() != 1) return false;
  const char* recorded = static_cast<CFileObj*>(data)->FilePath();
  struct stat info {};
  return recorded != nullptr && path == recorded && stat(path.c_str(), &info) == 0 &&
         S_ISREG(info.st_mode);
}

// Why a recording stopped.
enum class Stop { kTimeUp, kSessionEnd, kUser, kOnItsOwn, kWaveFull };

// Follows the recording until it is to stop, with the meter on a terminal.
Stop Follow(MeteredMixer& mixer, CPCMSound* sound, const tWAVEFORMATEX& format, long limitMs) {
  StatusLine line;
  const double bytes_per_ms = format.nAvgBytesPerSec / 1000.0;
  uint64_t shown_at = 0;
  for (;;) {
    if (Interrupted()) return Stop::kUser;
    // The input ended by itself (a failed write or device); the stop is still ours to call.
    if (!mixer.Recording() && sound->IsRecording()) return Stop::kOnItsOwn;
    // Time is what the device recorded, not the clock: a fast input records quickly.
    const uint64_t bytes = mixer.GetRecordPosition();
    const long elapsed = static_cast<long>(static_cast<double>(bytes) / bytes_per_ms);
    if (limitMs >= 0 && elapsed >= limitMs) return Stop::kTimeUp;
    if (static_cast<double>(bytes) + kWaveHeadroomBytes > kWaveFileLimitBytes)
      return Stop::kWaveFull;
    const uint64_t now = platform::monotonic_ms();
    if (now - shown_at >= 100) {
      line.Show(RecordMeterText(elapsed, limitMs, mixer.Left(), mixer.Right(), format.nChannels == 2));
      shown_at = now;
    }
    usleep(kTickMs * 1000);
  }
}

// The lane below every bar at the top of the session, for a sound added to it.
int FreeLane(SessionRootGroup* root) {
  int lane = 0;
  long offset = 0;
  for (int i = 0; CAudioAtom* atom = root->GetAtom(i, &offset); ++i) {
    const BarRect* bar = nullptr;
    if (auto* sound = dynamic_cast<BarSound*>(atom)) bar = &sound->Bar();
    if (auto* group = dynamic_cast<BarGroup*>(atom)) bar = &group->Bar();
    if (bar != nullptr) lane = std::max(lane, bar->bottom / kLaneSpacing + 1);
  }
  return lane;
}

// Puts the recorded sound into the session at `offset` and saves the session.
bool AddToSession(const RecordOptions& options, SessionRootGroup* root, BarSound* sound,
                  const std::string& path, long offset) {
  const size_t slash = path.rfind('/');
  sound->SetAtomName(path.substr(slash == std::string::npos ? 0 : slash + 1).c_str());
  sound->GetSrcMap()->SetDefaultMap(sound->Length(0), kMapAll);
  sound->Bar() = BarInLane(offset, sound->Length(0), FreeLane(root));
  sound->Add(root, offset);
  root->CombineWithSubMaps(kMapAll, 1);
  std::string error;
  if (!SaveSession(root, options.over, &error)) {
    Fail(options.over, error + "; the recording is kept in " + options.out);
    return false;
  }
  return true;
}

}  // namespace

int RunRecord(int argc, char** argv) {
  RecordOptions options;
  if (int status = ParseOptions(argc, argv, &options); status >= 0) return status;
  const tWAVEFORMATEX format =
      PcmFormat(static_cast<uint32_t>(options.rate), static_cast<uint16_t>(options.channels),
                static_cast<uint16_t>(options.bits));
  // A backend that cannot be used at all.
  if (const std::string problem = platform::WaveOutBackendProblem(); !problem.empty()) {
    Fail(options.out, ErrorText(sonark::kErrInputDeviceOpen, problem));
    return kExitFailure;
  }
  const uint32_t devices = platform::WaveInDeviceCount();
  if (options.device >= 0 && devices > 0 && static_cast<uint32_t>(options.device) >= devices) {
    fprintf(stderr, "quarl-cli record: no input device %ld (see 'quarl-cli devices')\n",
            options.device);
    return kExitUsage;
  }
  if (options.add && !IsSessionFile(options.over)) {
    Fail(options.over, "is not a session; --add puts the recording into a session");
    return kExitFailure;
  }
  const double expected_bytes =
      options.seconds > 0 ? options.seconds * format.nAvgBytesPerSec : -1.0;
  std::string path;
  std::string reason;
  if (!PrepareRecordTarget(options.out, options.overwrite, expected_bytes, &path, &reason)) {
    Fail(options.out, reason);
    return kExitFailure;
  }
  InstallInterruptHandler();

  AtomRef<SessionRootGroup> root(new SessionRootGroup());
  long session_end = -1;
  if (!options.over.empty()) {
    const TimelineRequest request{options.over, false, "record", "recorded"};
    if (!LoadTimeline(request, root.get())) return kExitFailure;
    session_end = TimelineEndAfter(request, 0, root.get());
    if (session_end < 0) return kExitFailure;
  }
  if (Interrupted()) return kExitOk;

  const _tInitMixer playback{platform::kWaveDefaultDevice, kOutputBufferCount, kOutputBufferBytes,
                             PcmFormat(44100, 2, 16)};
  MeteredMixer mixer(&playback);
  _tInitMixer input{
      options.device < 0 ? kDefaultWaveDevice : static_cast<uint32_t>(options.device),
      kInputBufferCount,
      static_cast<int32_t>(kInputBufferBytes / format.nBlockAlign * format.nBlockAlign), format};
  mixer.InitRecording(&input);

  std::string why;
  if (!options.over.empty() && !mixer.Play(root.get(), 0, 0)) {
    const unsigned long code = platform::last_error();
    const uint32_t failure = mixer.GetDeviceError(&why);
    Fail(options.over, ErrorText(failure != 0 ? failure
                                 : code != 0  ? static_cast<uint32_t>(code)
                                              : sonark::kErrDeviceOpen,
                                 why));
    return kExitFailure;
  }
  AtomRef<BarSound> sound(new BarSound());
  tWAVEFORMATEX record_format = format;
  struct stat before {};
  const bool existed = lstat(path.c_str(), &before) == 0;
  if (!sound->Record(0, &record_format, path.c_str(), kWithPeaks, kCliMsPerPeak)) {
    const unsigned long code = platform::last_error();
    const uint32_t failure = mixer.GetRecordError(&why);
    mixer.Stop();
    // A start that failed recorded nothing; the part of a header it may have left goes.
    if (!existed) unlink(path.c_str());
    Fail(options.out, ErrorText(failure != 0 ? failure
                                : code != 0  ? static_cast<uint32_t>(code)
                                             : sonark::kErrInputDeviceOpen,
                                why));
    return kExitFailure;
  }
  // Where the session was when the input started: the recording's place in it.
  const long offset = options.over.empty() ? 0 : std::max(0L, mixer.GetMillisecondsPlayedSoFar());

  Stop stop = Stop::kOnItsOwn;
  const bool into_file = RecordsIntoFile(sound.get(), path);
  if (into_file) {
    long limit = options.seconds > 0 ? std::lround(options.seconds * 1000.0) : -1;
    if (limit < 0 && session_end >= 0) limit = std::max(0L, session_end - offset);
    stop = Follow(mixer, sound.get(), format, limit);
  }
  // What ended the input on its own, read before the stop (which may add its own).
  uint32_t failure = mixer.GetRecordError(&why);
  tWAVEFORMATEX stop_format = format;
  const int stopped = sound->Record(1, &stop_format, path.c_str(), kWithPeaks, kCliMsPerPeak);
  if (failure == 0) failure = mixer.GetRecordError(&why);
  if (!stopped && failure == 0) {
    failure = static_cast<uint32_t>(platform::last_error());
    if (failure == 0) failure = sonark::kErrRecordWrite;
  }
  const uint64_t lost = mixer.GetRecordOverruns();
  mixer.Stop();
  const uint64_t waited_from = platform::monotonic_ms();
  while (mixer.IsOpen() && platform::monotonic_ms() - waited_from < kCloseWaitMs) usleep(5000);

  if (!into_file) {
    Fail(options.out,
         "the file cannot be created (the engine fell back to recording into memory); nothing "
         "recorded");
    return kExitFailure;
  }
  const long kept_ms = stopped ? sound->DataLength() : 0;
  const std::string kept = Seconds(static_cast<double>(kept_ms));
  if (stop == Stop::kOnItsOwn || !stopped || failure != 0) {
    if (failure == 0) failure = sonark::kErrInputDeviceFailed;
    Fail(options.out, ErrorText(failure, why) + "; the recording stopped, " + kept +
                          " recorded up to then kept");
    return kExitFailure;
  }
  if (stop == Stop::kWaveFull) {
    Fail(options.out, "the wave file is full (4 GB); the recording stopped, " + kept + " kept");
    return kExitFailure;
  }
  std::string summary = "recorded " + kept + " to " + TerminalText(options.out);
  if (lost > 0)
    summary +=
        "; " + std::to_string(lost) + " input buffer(s) lost because the machine was too busy";
  if (options.add) {
    if (!AddToSession(options, root.get(), sound.get(), path, offset)) return kExitFailure;
    summary += "; added to " + TerminalText(options.over) + " at " + std::to_string(offset) + " ms";
  }
  if (stop == Stop::kUser) summary += " (" + std::string(InterruptReason()) + ")";
  printf("%s\n", summary.c_str());
  return kExitOk;
}
