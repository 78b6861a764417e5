// quarl-cli render [options] IN OUT.wav: option parsing (render_options), loading, format
// choice, size check, then the mixer into a chain of small sinks (render_sinks).
#include <cli/commands.h>
#include <cli/interrupt.h>
#include <cli/progress.h>
#include <cli/render_options.h>
#include <cli/render_sinks.h>
#include <session/safe_replace.h>
#include <cli/session_io.h>
#include <cli/timeline_load.h>
#include <platform/last_error.h>
#include <session/session_atoms.h>
#include <sonark/export/conv_file_format.h>
#include <sonark/export/conv_wave_file.h>
#include <sonark/load/music_info.h>
#include <sonark/mixer/pcm_mixer.h>
#include <sonark/model/atom_ref.h>
#include <sonark/render/buffer_format.h>
#include <sys/statvfs.h>
#include <tarnell/ref_ptr.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The largest file a wave's 32-bit sizes can describe.
constexpr double kWaveLimitBytes = 4294967295.0;
// Room for the headers and the information list on top of the sound data.
constexpr double kOverheadBytes = 4096.0;

void Report(const std::string& what, const std::string& text) {
  ReportCommandProblem("render", what, text);
}

// The output format: the session's best format unless the options say otherwise.
tWAVEFORMATEX ChooseFormat(SessionRootGroup* root, const RenderOptions& options) {
  tWAVEFORMATEX format = root->BestFormat();
  format.wFormatTag = kWaveFormatPcm;
  format.cbSize = 0;
  if (options.rate) format.nSamplesPerSec = static_cast<uint32_t>(options.rate);
  if (options.channels) format.nChannels = static_cast<uint16_t>(options.channels);
  if (options.bits) format.wBitsPerSample = static_cast<uint16_t>(options.bits);
  ValidateFormat(&format, kWaveFormatPcm);
  return format;
}

std::string Megabytes(double bytes) {
  char text[32];
  snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
  return text;
}

// Refuses, before anything is written, a render that a wave file cannot hold or that the
// disk has no room for.
bool CheckSize(CConv2WaveFile& writer, CConv2FileFormat& target_format, tWAVEFORMATEX& format,
               long length_ms, const SafeReplace& target, std::string* error) {
  const double bytes =
      writer.GetBytesToWrite(&target_format, &format, static_cast<double>(length_ms)) +
      kOverheadBytes;
  // Devices and FIFOs take a stream of any length, its sizes marked unknown.
  if (target.Direct()) return true;
  if (bytes > kWaveLimitBytes) {
    *error = "the render would take " + Megabytes(bytes) +
             ", more than a wave file can hold (4 GB); choose a shorter stretch (--from, --to) "
             "or a smaller format";
    return false;
  }
  struct statvfs disk {};
  if (statvfs(FolderOf(target.TempPath()).c_str(), &disk) == 0) {
    const double free_bytes = static_cast<double>(disk.f_bavail) * disk.f_frsize;
    if (bytes > free_bytes) {
      *error = "the render needs " + Megabytes(bytes) + " but the disk has " +
               Megabytes(free_bytes) + " free";
      return false;
    }
  }
  return true;
}

// Mixes `root` from `from` to `end` ms into `writer` and ends its sound data. False with
// `error` set when any step fails.
bool WriteRender(SessionRootGroup* root, tWAVEFORMATEX& format, long from, long end,
                 CConv2WaveFile& writer, std::string* error) {
  WriteSink write(writer);
  ProgressBar bar("rendering");
  ProgressSink progress(write, bar,
                        static_cast<double>(end - from) * format.nAvgBytesPerSec / 1000.0);
  CPCMMixer mixer(nullptr);
  // The mix starts at `from` itself, each sound entered at its own offset: nothing before
  // it is mixed.
  const int mixed = mixer.MixToDataSinkFrom(root, FeedSink, &progress, &format, from, end, -1);
  const unsigned long code = platform::last_error();
  bar.Finish();
  if (Interrupted()) {
    *error = InterruptReason();
    return false;
  }
  if (write.Failed()) {
    *error = DescribeError(write.Error());
    return false;
  }
  if (!mixed) {
    *error = DescribeError(code);
    return false;
  }
  if (writer.EndWriteStream() < 0) {
    *error = DescribeError(platform::last_error());
    return false;
  }
  return true;
}

bool WriteInformation(CConv2WaveFile& writer, const std::string& out, std::string* error) {
  TMusicInfo info;
  char title[1024];
  CreateDefaultTagTitleString(out.c_str(), title, sizeof title);
  sonark::SetMusicInfoText(info.title, title);
  int ok = 0;
  if (writer.FinalData(nullptr, "Tessel quarl-cli", &ok, &info) < 0 || !ok) {
    *error = DescribeError(platform::last_error());
    return false;
  }
  return true;
}

}  // namespace

int RunRender(int argc, char** argv) {
  RenderOptions options;
  if (int status = ParseRenderOptions(argc, argv, &options); status >= 0) return status;

  SafeReplace target(options.out);
  std::string error;
  if (!target.Usable(&error)) {
    Report(options.out, error);
    return kExitFailure;
  }
  SweepLeftovers(FolderOf(target.Resolved()));
  // From here on a signal must go through the cleanup below: one that killed the process
  // between creating the temporary output and the render would leave it behind.
  InstallInterruptHandler();

  AtomRef<SessionRootGroup> root(new SessionRootGroup());
  const TimelineRequest request{options.in, options.salvage, "render", "rendered"};
  if (!LoadTimeline(request, root.get())) return kExitFailure;
  if (Interrupted()) {
    Report(options.in, std::string(InterruptReason()) + "; nothing rendered");
    return kExitFailure;
  }
  const long session_end = TimelineEndAfter(request, options.from, root.get());
  if (session_end < 0) return kExitFailure;
  const long end = options.to >= 0 ? options.to : session_end;

  tWAVEFORMATEX format = ChooseFormat(root.get(), options);
  CConv2FileFormat target_format(kWaveFormatPcm);
  target_format.nChannels = format.nChannels;
  target_format.nSamplesPerSec = format.nSamplesPerSec;
  target_format.wBitsPerSample = format.wBitsPerSample;
  target_format.CalcBlockAlignNAvgBytesPerSec();

  RefPtr<CConv2WaveFile> writer(new CConv2WaveFile());
  bool ok = CheckSize(*writer, target_format, format, end - options.from, target, &error);
  bool created = false;
  if (ok && !(created = writer->Create(target.TempPath().c_str(), &target_format, &format))) {
    error = DescribeError(platform::last_error());
    ok = false;
  }
  ok = ok && WriteRender(root.get(), format, options.from, end, *writer, &error) &&
       WriteInformation(*writer, options.out, &error);
  writer->Close();
  writer.reset();
  if (ok && Interrupted()) {
    error = InterruptReason();
    ok = false;
  }
  if (ok && !target.Commit()) {
    error = strerror(errno);
    ok = false;
  }
  if (!ok) {
    target.Discard();
    // A signal that broke off a write or the wait for a FIFO's reader is the real cause.
    if (Interrupted()) error = InterruptReason();
    if (created && !target.Direct()) error += "; partial file deleted";
    Report(options.out, error);
    return kExitFailure;
  }
  return kExitOk;
}
