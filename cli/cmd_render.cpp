// quarl-cli render [options] IN OUT: option parsing (render_options), loading, the converter
// and its format (a wave writer, or the MP3 encoder: render_mp3), the tracks of a split
// (render_split), then for each output a size check and the mixer into a chain of small sinks
// (render_sinks).
#include <cli/commands.h>
#include <cli/disk_room.h>
#include <cli/interrupt.h>
#include <cli/progress.h>
#include <cli/render_mp3.h>
#include <cli/render_options.h>
#include <cli/render_sinks.h>
#include <cli/render_split.h>
#include <cli/session_io.h>
#include <cli/timeline_load.h>
#include <platform/last_error.h>
#include <session/safe_replace.h>
#include <session/session_atoms.h>
#include <sonark/export/conv_file_format.h>
#include <sonark/export/conv_mp3.h>
#include <sonark/export/conv_wave_file.h>
#include <sonark/load/music_info.h>
#include <sonark/mixer/pcm_mixer.h>
#include <sonark/model/atom_ref.h>
#include <sonark/render/buffer_format.h>
#include <sys/stat.h>
#include <tarnell/ref_ptr.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The software text of the information list and the encoder field of the tags.
constexpr const char* kSoftwareText = "Tessel quarl-cli";

void Report(const std::string& what, const std::string& text) {
  ReportCommandProblem("render", what, text);
}

// The wave output format: the session's best format unless the options say otherwise.
tWAVEFORMATEX ChooseWaveFormat(SessionRootGroup* root, const RenderOptions& options) {
  tWAVEFORMATEX format = root->BestFormat();
  format.wFormatTag = kWaveFormatPcm;
  format.cbSize = 0;
  if (options.rate) format.nSamplesPerSec = static_cast<uint32_t>(options.rate);
  if (options.channels) format.nChannels = static_cast<uint16_t>(options.channels);
  if (options.bits) format.wBitsPerSample = static_cast<uint16_t>(options.bits);
  ValidateFormat(&format, kWaveFormatPcm);
  return format;
}


// One file to write: the stretch of the time line it holds and its file information.
struct OutputJob {
  std::string path;
  long from = 0;
  long to = 0;
  TMusicInfo info;
  std::string label;  // the progress bar's
};

// What every output of one run shares: the time line, the kind of file and its settings.
class RenderRun {
 public:
  RenderRun(const RenderOptions& options, SessionRootGroup* root)
      : options_(options), root_(root) {}

  // Picks the converter and settings; false after reporting why (`status` is the exit status).
  bool Prepare(int* status);
  // Writes one output; false after reporting why, with the partial file deleted.
  bool Write(OutputJob& job);
  // The extension of split track files: the converter's own.
  const char* Extension() const { return options_.kind == OutputKind::kMp3 ? "mp3" : "wav"; }

 private:
  // A fresh converter for one output, with one reference.
  CConv2FileObj* NewConverter();
  bool CheckSize(CConv2FileObj& converter, CConv2FileFormat& target_format, tWAVEFORMATEX& pcm,
                 long length_ms, const SafeReplace& target, std::string* error);
  bool WriteSound(CConv2FileObj& converter, tWAVEFORMATEX& pcm, const OutputJob& job,
                  std::string* error);
  bool Steps(OutputJob& job, SafeReplace& target, bool* created, std::string* error);

  const RenderOptions& options_;
  SessionRootGroup* root_;
  tWAVEFORMATEX wave_format_{};
  CConv2FileFormat mp3_settings_{kWaveFormatMpegLayer3};
};

bool RenderRun::Prepare(int* status) {
  *status = kExitFailure;
  if (options_.kind == OutputKind::kWave) {
    wave_format_ = ChooseWaveFormat(root_, options_);
    if (options_.verbose) {
      char text[256];
      SoundFormatToString(&wave_format_, text, sizeof text, nullptr);
      fprintf(stderr, "quarl-cli render: wave %s\n", text);
    }
    return true;
  }
  std::string error;
  CConv2MP3* converter = NewMp3Converter(&error);
  if (converter == nullptr) {
    Report(options_.out, error);
    return false;
  }
  RefPtr<CConv2MP3> hold(converter);
  if (!BuildMp3Format(*converter, options_, &mp3_settings_, &error)) {
    Report(options_.out, error);
    *status = kExitUsage;
    return false;
  }
  if (options_.verbose) PrintMp3Settings(stderr, *converter, mp3_settings_, options_);
  return true;
}

CConv2FileObj* RenderRun::NewConverter() {
  if (options_.kind == OutputKind::kWave) return new CConv2WaveFile();
  std::string ignored;
  return NewMp3Converter(&ignored);
}

// Refuses, before anything is written, an output that its format cannot hold or that the disk
// has no room for.
bool RenderRun::CheckSize(CConv2FileObj& converter, CConv2FileFormat& target_format,
                          tWAVEFORMATEX& pcm, long length_ms, const SafeReplace& target,
                          std::string* error) {
  const double bytes =
      converter.GetBytesToWrite(&target_format, &pcm, static_cast<double>(length_ms)) +
      kFileOverheadBytes;
  // Devices and FIFOs take a stream of any length, its sizes marked unknown.
  if (target.Direct()) return true;
  if (options_.kind == OutputKind::kWave && bytes > kWaveFileLimitBytes) {
    *error = "the render would take " + SizeText(bytes) +
             ", more than a wave file can hold (4 GB); choose a shorter stretch (--from, --to) "
             "or a smaller format";
    return false;
  }
  const double free_bytes = FreeBytes(FolderOf(target.TempPath()));
  if (free_bytes >= 0) {
    if (bytes > free_bytes) {
      *error = "the render needs " + SizeText(bytes) + " but the disk has " +
               SizeText(free_bytes) + " free";
      return false;
    }
  }
  return true;
}

// Mixes the job's stretch into `converter` and ends its sound data.
bool RenderRun::WriteSound(CConv2FileObj& converter, tWAVEFORMATEX& pcm, const OutputJob& job,
                           std::string* error) {
  WriteSink write(converter);
  ProgressBar bar(job.label.c_str());
  ProgressSink progress(write, bar,
                        static_cast<double>(job.to - job.from) * pcm.nAvgBytesPerSec / 1000.0);
  CPCMMixer mixer(nullptr);
  // The mix starts at `from` itself, each sound entered at its own offset: nothing before
  // it is mixed. The MP3 encoder wants blocks of its own size (-1 for the wave writer).
  const int mixed = mixer.MixToDataSinkFrom(root_, FeedSink, &progress, &pcm, job.from, job.to,
                                            converter.GetDesiredBufferSize());
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
  if (converter.EndWriteStream() < 0) {
    *error = DescribeError(platform::last_error());
    return false;
  }
  return true;
}

// The export protocol for one file, into the target's temporary file.
bool RenderRun::Steps(OutputJob& job, SafeReplace& target, bool* created, std::string* error) {
  const bool mp3 = options_.kind == OutputKind::kMp3;
  // Its tags and the Xing header are written into the finished file by name, which a FIFO or
  // device cannot take.
  if (mp3 && target.Direct()) {
    *error =
        "is a FIFO or device; an MP3 is written to a file only (its header and tags are "
        "completed after the sound)";
    return false;
  }
  RefPtr<CConv2FileObj> converter(NewConverter());
  if (converter == nullptr) {
    *error = "MP3 export is unavailable";
    return false;
  }
  CConv2FileFormat target_format(mp3 ? kWaveFormatMpegLayer3 : kWaveFormatPcm);
  tWAVEFORMATEX pcm = wave_format_;
  if (mp3) {
    // The mix goes to the encoder in 16 bits at the MP3's rate and channels.
    tWAVEFORMATEX wanted = PcmFormat(mp3_settings_.nSamplesPerSec, mp3_settings_.nChannels, 16);
    converter->GetTargetFormat(&target_format, &mp3_settings_, &wanted, &job.info, nullptr);
    pcm = PcmFormat(target_format.nSamplesPerSec, target_format.nChannels, 16);
  } else {
    target_format.nChannels = pcm.nChannels;
    target_format.nSamplesPerSec = pcm.nSamplesPerSec;
    target_format.wBitsPerSample = pcm.wBitsPerSample;
    target_format.CalcBlockAlignNAvgBytesPerSec();
  }
  if (!CheckSize(*converter, target_format, pcm, job.to - job.from, target, error)) return false;
  const char* temp = target.TempPath().c_str();
  if (!converter->Create(temp, &target_format, &pcm)) {
    *error = DescribeError(platform::last_error());
    return false;
  }
  *created = true;
  if (mp3 && converter->ReserveTagSpace() < 0) {
    *error = DescribeError(platform::last_error());
    return false;
  }
  if (!WriteSound(*converter, pcm, job, error)) return false;
  int ok = 0;
  if (converter->FinalData(mp3 ? temp : nullptr, kSoftwareText, &ok, &job.info) < 0 || !ok) {
    *error = DescribeError(platform::last_error());
    return false;
  }
  converter->Close();
  if (mp3 && !target.Direct() &&
      converter->WriteTag(temp, kSoftwareText, nullptr, &job.info, nullptr) < 0) {
    *error = DescribeError(platform::last_error());
    return false;
  }
  return true;
}

bool RenderRun::Write(OutputJob& job) {
  SafeReplace target(job.path);
  std::string error;
  if (!target.Usable(&error)) {
    Report(job.path, error);
    return false;
  }
  bool created = false;
  bool ok = Steps(job, target, &created, &error);
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
    Report(job.path, error);
    return false;
  }
  if (options_.verbose) fprintf(stderr, "quarl-cli render: wrote %s\n", job.path.c_str());
  return true;
}

bool Exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

// The outputs of a split; false after reporting why there are none.
bool SplitJobs(const RenderOptions& options, SessionRootGroup* root, long end,
               const char* extension, std::vector<OutputJob>* jobs) {
  std::vector<TrackSpan> tracks;
  std::string error;
  if (!SplitIntoTracks(root->Markers().Records(), options.from, end, options.out, extension,
                       &tracks, &error)) {
    Report(options.in, error + "; nothing rendered");
    return false;
  }
  if (!options.overwrite) {
    std::vector<std::string> existing;
    for (const TrackSpan& t : tracks)
      if (Exists(t.path)) existing.push_back(t.path);
    if (!existing.empty()) {
      Report(existing.front(),
             "exists" +
                 (existing.size() > 1
                      ? " (with " + std::to_string(existing.size() - 1) + " more track file(s))"
                      : std::string()) +
                 "; nothing rendered (--overwrite replaces the track files)");
      return false;
    }
  }
  const int count = root->Markers().CdTrackCount();
  for (const TrackSpan& t : tracks) {
    OutputJob job;
    job.path = t.path;
    job.from = t.from;
    job.to = t.to;
    TagOptions tags = options.tags;
    // A track without a title of its own is named after its file.
    if (!tags.title && !t.title.empty()) tags.title = t.title;
    tags.track = t.number;
    tags.totalTracks = count;
    FillMusicInfo(tags, t.path, &job.info);
    job.label =
        "track " + std::to_string(jobs->size() + 1) + " of " + std::to_string(tracks.size());
    jobs->push_back(std::move(job));
  }
  return true;
}

}  // namespace

int RunRender(int argc, char** argv) {
  RenderOptions options;
  if (int status = ParseRenderOptions(argc, argv, &options); status >= 0) return status;

  if (!options.split) {
    SafeReplace target(options.out);
    std::string error;
    if (!target.Usable(&error)) {
      Report(options.out, error);
      return kExitFailure;
    }
    SweepLeftovers(FolderOf(target.Resolved()));
  } else {
    // The track files are named after OUT; a device or FIFO there would put them among the
    // devices.
    struct stat info {};
    if (stat(options.out.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
      Report(options.out, "is not a file; --split names its track files after a file's name");
      return kExitFailure;
    }
    SweepLeftovers(FolderOf(options.out));
  }
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

  RenderRun run(options, root.get());
  int status = kExitOk;
  if (!run.Prepare(&status)) return status;

  std::vector<OutputJob> jobs;
  if (options.split) {
    if (!SplitJobs(options, root.get(), end, run.Extension(), &jobs)) return kExitFailure;
  } else {
    OutputJob job;
    job.path = options.out;
    job.from = options.from;
    job.to = end;
    FillMusicInfo(options.tags, options.out, &job.info);
    job.label = "rendering";
    jobs.push_back(std::move(job));
  }
  for (size_t i = 0; i < jobs.size(); ++i) {
    if (!run.Write(jobs[i])) {
      if (i > 0)
        Report(options.out, "stopped after " + std::to_string(i) + " of " +
                                std::to_string(jobs.size()) + " track files");
      return kExitFailure;
    }
  }
  return kExitOk;
}
