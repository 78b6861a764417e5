// quarl-cli play [options] FILE: the session or sound through an output device, loaded as
// render loads it, with the position on one line of a terminal and the space bar to pause.
#include <cli/command_args.h>
#include <cli/commands.h>
#include <cli/interrupt.h>
#include <cli/session_io.h>
#include <cli/status_line.h>
#include <cli/terminal_keys.h>
#include <cli/terminal_text.h>
#include <cli/timeline_load.h>
#include <platform/clock.h>
#include <platform/last_error.h>
#include <platform/wave_out.h>
#include <session/session_atoms.h>
#include <sonark/errors.h>
#include <sonark/mixer/pcm_mixer.h>
#include <sonark/model/atom_ref.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

struct PlayOptions {
  std::string in;
  long from = 0;     // ms
  long device = -1;  // -1: the system's default device
  bool salvage = false;
};

// The device record of a play: 8 buffers of 16 KB, 44.1 kHz 16-bit stereo.
constexpr int kBufferCount = 8;
constexpr int kBufferBytes = 16384;
// How often the position line is redrawn and the keys and signals are looked at.
constexpr int kTickMs = 50;
// How long a stopped play may take to hand its device back before we leave without it.
constexpr uint64_t kCloseWaitMs = 3000;

void PrintUsage(FILE* out) {
  fputs(
      "usage: quarl-cli play [--from MS] [--device N] [--salvage] [--] FILE\n"
      "\n"
      "Plays a session (.sgp) or a single sound through an output device, from its start or\n"
      "from --from milliseconds. On a terminal the position is shown on one line and the\n"
      "space bar pauses and resumes. Ctrl-C (or SIGTERM) stops. Sounds that cannot be found\n"
      "are listed and nothing is played; a damaged session is refused unless --salvage plays\n"
      "what can be read of it.\n"
      "\n"
      "--device N plays on device N of 'quarl-cli devices' (default: the system's default).\n"
      "QUARL_AUDIO chooses the backend: portaudio (the default), null (plays nothing, paced\n"
      "by the clock), or wav:out=FILE.wav[,fast] (writes what is played to a wave file,\n"
      "paced, or as fast as it is mixed with ',fast').\n",
      out);
}

int UsageError(const std::string& what) { return CommandUsageError("play", what); }

// -1 to go on with `options` filled, else the exit status.
int ParseOptions(int argc, char** argv, PlayOptions* options) {
  CommandArgs args(argc, argv);
  while (const char* arg = args.NextOption()) {
    std::string error;
    if (IsHelpOption(arg)) {
      PrintUsage(stdout);
      return kExitOk;
    } else if (strcmp(arg, "--salvage") == 0) {
      options->salvage = true;
    } else if (strcmp(arg, "--from") == 0) {
      error = TakeNumber(args, arg, 0, 0x7FFFFFFF, "milliseconds from 0", &options->from);
    } else if (strcmp(arg, "--device") == 0) {
      error = TakeNumber(args, arg, 0, 0x7FFFFFFE, "a device number from 0", &options->device);
    } else {
      error = std::string("unknown option '") + arg + "'";
    }
    if (!error.empty()) return UsageError(error);
  }
  const std::vector<const char*>& files = args.Operands();
  if (files.size() != 1)
    return UsageError(files.empty() ? "expected FILE" : "more than FILE given");
  options->in = files[0];
  return -1;
}

int CannotPlay(const std::string& in, uint32_t code, const std::string& why) {
  std::string text = DescribeError(code);
  if (!why.empty()) text += ": " + why;
  fprintf(stderr, "quarl-cli: cannot play %s: %s\n", TerminalText(in).c_str(),
          TerminalText(text).c_str());
  return kExitFailure;
}

// Plays until the end, a stop by the user or a device failure. True when the user stopped.
bool Follow(CPCMMixer& mixer, long from, long length) {
  TerminalKeys keys;
  StatusLine line;
  // Once the device has closed at the end the clock falls back to the tick count less the
  // latency, which lies behind; the shown position never goes back.
  long position = from;
  while (mixer.Playing()) {
    if (Interrupted()) {
      mixer.Stop();
      return true;
    }
    if (keys.Wait(kTickMs) == ' ') mixer.Pause(mixer.IsPaused() ? 0 : 1);
    position = std::clamp(from + mixer.GetMillisecondsPlayedSoFar(), position, length);
    std::string text = Clock(position);
    text.append(" / ").append(Clock(length)).append(mixer.IsPaused() != 0 ? "  paused" : "");
    line.Show(std::move(text));
  }
  return Interrupted();
}

}  // namespace

int RunPlay(int argc, char** argv) {
  PlayOptions options;
  if (int status = ParseOptions(argc, argv, &options); status >= 0) return status;
  // Before a long load: a backend that cannot be used at all.
  if (const std::string problem = platform::WaveOutBackendProblem(); !problem.empty())
    return CannotPlay(options.in, sonark::kErrDeviceOpen, problem);
  // A backend that lists no device at all cannot be checked against; opening it says why.
  const uint32_t devices = platform::WaveOutDeviceCount();
  if (options.device >= 0 && devices > 0 && static_cast<uint32_t>(options.device) >= devices) {
    fprintf(stderr, "quarl-cli play: no output device %ld (see 'quarl-cli devices')\n",
            options.device);
    return kExitUsage;
  }
  InstallInterruptHandler();

  AtomRef<SessionRootGroup> root(new SessionRootGroup());
  const TimelineRequest request{options.in, options.salvage, "play", "played"};
  if (!LoadTimeline(request, root.get())) return kExitFailure;
  // Stopped by the user before anything played.
  if (Interrupted()) return kExitOk;
  const long length = TimelineEndAfter(request, options.from, root.get());
  if (length < 0) return kExitFailure;

  const _tInitMixer init{
      options.device < 0 ? platform::kWaveDefaultDevice : static_cast<uint32_t>(options.device),
      kBufferCount, kBufferBytes, PcmFormat(44100, 2, 16)};
  CPCMMixer mixer(&init);
  std::string why;
  if (!mixer.Play(root.get(), options.from, 0)) {
    const unsigned long code = platform::last_error();
    const uint32_t failure = mixer.GetDeviceError(&why);
    return CannotPlay(options.in,
                      failure != 0 ? failure
                      : code != 0  ? static_cast<uint32_t>(code)
                                   : sonark::kErrDeviceOpen,
                      why);
  }
  const bool stopped = Follow(mixer, options.from, length);
  // The mixing thread hands the device back once the buffers have drained.
  const uint64_t waited_from = platform::monotonic_ms();
  while (mixer.IsOpen() && platform::monotonic_ms() - waited_from < kCloseWaitMs) usleep(5000);
  if (!stopped) {
    if (const uint32_t failure = mixer.GetDeviceError(&why); failure != 0)
      return CannotPlay(options.in, failure, why);
  }
  if (const uint64_t gaps = mixer.GetUnderruns(); gaps > 0)
    fprintf(stderr,
            "quarl-cli play: warning: the device had to fill %llu gap(s) with silence because "
            "the next block came too late (the machine was too busy)\n",
            static_cast<unsigned long long>(gaps));
  return kExitOk;
}
