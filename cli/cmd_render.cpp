// quarl-cli render IN OUT.wav [--from MS] [--to MS] [--rate HZ] [--channels N] [--bits N]
#include <cli/commands.h>
#include <cli/interrupt.h>
#include <cli/progress.h>
#include <cli/safe_replace.h>
#include <cli/session_io.h>
#include <platform/last_error.h>
#include <quarl/timeline/session_atoms.h>
#include <sonark/export/conv_file_format.h>
#include <sonark/export/conv_wave_file.h>
#include <sonark/load/music_info.h>
#include <sonark/render/buffer_format.h>
#include <sonark/render/pcm_mixer.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void Usage(FILE* out) {
  fputs(
      "usage: quarl-cli render IN OUT.wav [--from MS] [--to MS] [--rate HZ] [--channels N]\n"
      "                        [--bits N]\n"
      "\n"
      "Renders a session (.sgp) or a single sound to a wave file. Without options the whole\n"
      "session is rendered in its best format; --from and --to choose a stretch of the time\n"
      "line in milliseconds, --rate (8000-48000), --channels (1 or 2) and --bits (8 or 16)\n"
      "the output format. Sounds that cannot be found are listed and nothing is rendered.\n"
      "Ctrl-C stops the render and deletes the partial file.\n",
      out);
}

bool ParseNumber(const char* text, long low, long high, long* out) {
  char* end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

// Everything the sink needs: where the blocks go, which leading bytes to skip (--from) and how
// to show progress.
struct RenderSink {
  CConv2WaveFile* writer = nullptr;
  long skip_bytes = 0;
  double total_bytes = 0;
  double done_bytes = 0;
  ProgressBar* progress = nullptr;
  bool write_failed = false;
};

TDataWriteCode WriteBlock(void* data, long* length, void* context) {
  auto* sink = static_cast<RenderSink*>(context);
  if (Interrupted()) return dwcStop;
  unsigned char* bytes = static_cast<unsigned char*>(data);
  long count = *length;
  sink->done_bytes += static_cast<double>(count);
  if (sink->skip_bytes > 0) {
    long skipped = std::min(sink->skip_bytes, count);
    sink->skip_bytes -= skipped;
    bytes += skipped;
    count -= skipped;
  }
  if (count > 0) {
    long written = 0;
    if (sink->writer->WriteStreamData(bytes, count, &written) < 0 || written != count) {
      sink->write_failed = true;
      return dwcStop;
    }
  }
  sink->progress->Update(sink->done_bytes, sink->total_bytes);
  return dwcNextBlock;
}

}  // namespace

int RunRender(int argc, char** argv) {
  std::vector<const char*> files;
  long from = 0, to = -1, rate = 0, channels = 0, bits = 0;
  for (int i = 0; i < argc; ++i) {
    const char* arg = argv[i];
    if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
      Usage(stdout);
      return kExitOk;
    }
    bool ok = true;
    if (strncmp(arg, "--", 2) == 0) {
      if (i + 1 >= argc) {
        ok = false;
      } else if (strcmp(arg, "--from") == 0) {
        ok = ParseNumber(argv[++i], 0, 0x7FFFFFFF, &from);
      } else if (strcmp(arg, "--to") == 0) {
        ok = ParseNumber(argv[++i], 0, 0x7FFFFFFF, &to);
      } else if (strcmp(arg, "--rate") == 0) {
        ok = ParseNumber(argv[++i], 8000, 48000, &rate);
      } else if (strcmp(arg, "--channels") == 0) {
        ok = ParseNumber(argv[++i], 1, 2, &channels);
      } else if (strcmp(arg, "--bits") == 0) {
        ok = ParseNumber(argv[++i], 8, 16, &bits) && (bits == 8 || bits == 16);
      } else {
        ok = false;
      }
      if (!ok) {
        fprintf(stderr, "quarl-cli render: bad option '%s'\n", arg);
        Usage(stderr);
        return kExitUsage;
      }
    } else {
      files.push_back(arg);
    }
  }
  if (files.size() != 2 || (to >= 0 && to <= from)) {
    Usage(stderr);
    return kExitUsage;
  }
  const std::string in = files[0];
  const std::string out = files[1];
  // From here on Ctrl-C must go through the cleanup below: a signal that killed the process
  // between creating the temporary output and the render would leave it behind.
  InstallInterruptHandler();

  // The time line to render: a session as stored, or one sound at 0.
  SessionRootGroup* root = new SessionRootGroup();
  auto release_root = [&root] {
    CAudioAtom* held = root;
    DeleteAtom(&held);
  };
  std::vector<LoadProblem> problems;
  if (IsSessionFile(in)) {
    std::string error;
    if (!OpenSession(in, root, &problems, &error)) {
      fprintf(stderr, "quarl-cli render: %s: %s\n", in.c_str(), error.c_str());
      release_root();
      return kExitFailure;
    }
  } else {
    LoadProblem problem;
    BarSound* sound = LoadSound(in, &problem);
    if (sound == nullptr) {
      problems.push_back(problem);
    } else {
      sound->Add(root, 0);
      CAudioAtom* creator = sound;
      DeleteAtom(&creator);
    }
  }
  if (!problems.empty()) {
    for (const LoadProblem& p : problems)
      fprintf(stderr, "quarl-cli render: %s: %s\n", p.what.c_str(), p.reason.c_str());
    fprintf(stderr, "quarl-cli render: %s: %zu sound(s) could not be loaded; nothing rendered\n",
            in.c_str(), problems.size());
    release_root();
    return kExitFailure;
  }

  if (Interrupted()) {
    fprintf(stderr, "quarl-cli render: %s: interrupted; nothing rendered\n", in.c_str());
    release_root();
    return kExitFailure;
  }

  // The output format: the session's best format unless the options say otherwise.
  tWAVEFORMATEX format = root->BestFormat();
  format.wFormatTag = kWaveFormatPcm;
  format.cbSize = 0;
  if (rate) format.nSamplesPerSec = static_cast<uint32_t>(rate);
  if (channels) format.nChannels = static_cast<uint16_t>(channels);
  if (bits) format.wBitsPerSample = static_cast<uint16_t>(bits);
  ValidateFormat(&format, kWaveFormatPcm);

  long end = to >= 0 ? to : SessionEnd(root);
  if (end <= from) end = from;
  RenderSink sink;
  // Whole frames of the stretch before --from are rendered and dropped, so the cut is exact.
  sink.skip_bytes = static_cast<long>(static_cast<double>(from) * format.nSamplesPerSec / 1000.0) *
                    format.nBlockAlign;
  sink.total_bytes = static_cast<double>(end) * format.nAvgBytesPerSec / 1000.0;

  SafeReplace target(out);
  CConv2FileFormat target_format(kWaveFormatPcm);
  target_format.nChannels = format.nChannels;
  target_format.nSamplesPerSec = format.nSamplesPerSec;
  target_format.wBitsPerSample = format.wBitsPerSample;
  target_format.CalcBlockAlignNAvgBytesPerSec();
  CConv2WaveFile* writer = new CConv2WaveFile();
  sink.writer = writer;
  int status = kExitOk;
  std::string error;
  if (!writer->Create(target.TempPath().c_str(), &target_format, &format)) {
    error = DescribeError(platform::last_error());
    status = kExitFailure;
  }
  if (status == kExitOk) {
    ProgressBar progress("rendering");
    sink.progress = &progress;
    CPCMMixer mixer(nullptr);
    int mixed = mixer.MixToDataSink(root, WriteBlock, &sink, &format, end, -1);
    unsigned long code = platform::last_error();
    progress.Finish();
    if (Interrupted()) {
      error = "interrupted; partial file deleted";
      status = kExitFailure;
    } else if (!mixed || sink.write_failed) {
      error = DescribeError(code);
      status = kExitFailure;
    }
  }
  if (status == kExitOk && writer->EndWriteStream() < 0) {
    error = DescribeError(platform::last_error());
    status = kExitFailure;
  }
  if (status == kExitOk) {
    TMusicInfo info;
    char title[1024];
    CreateDefaultTagTitleString(out.c_str(), title, sizeof title);
    sonark::SetMusicInfoText(info.title, title);
    int ok = 0;
    writer->FinalData(nullptr, "Tessel quarl-cli", &ok, &info);
  }
  writer->Close();
  CRefObj* held = writer;
  DeleteRefObject(&held);
  if (status == kExitOk && Interrupted()) {
    error = "interrupted; partial file deleted";
    status = kExitFailure;
  }
  if (status == kExitOk && !target.Commit()) {
    error = strerror(errno);
    status = kExitFailure;
  }
  if (status != kExitOk) fprintf(stderr, "quarl-cli render: %s: %s\n", out.c_str(), error.c_str());
  release_root();
  return status;
}
