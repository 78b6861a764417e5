// quarl-cli info FILE
#include <cli/commands.h>
#include <cli/session_io.h>
#include <cli/terminal_text.h>
#include <sys/stat.h>
#include <session/session_atoms.h>
#include <platform/codec_manager.h>
#include <sonark/file_dates.h>
#include <sonark/load/format_support.h>
#include <sonark/load/mp3_info.h>
#include <sonark/load/music_info.h>
#include <sonark/load/peaks.h>
#include <sonark/render/decoder.h>
#include <sonark/strings.h>
#include <sonark/temp_paths.h>
#include <tarnell/file_obj.h>
#include <sonark/model/atom_ref.h>
#include <sonark/render/buffer_format.h>
#include <tarnell/ref_obj.h>
#include <utilities/text_format.h>

#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

void Usage(FILE* out) {
  fputs(
      "usage: quarl-cli info FILE\n"
      "\n"
      "For a sound: its format, length, data size, music information and peak summary\n"
      "(auto-trim times, silence), and whether the file is shorter than its header claims.\n"
      "For a session (.sgp): its tree of groups and sounds with names, offsets and lengths,\n"
      "the sounds that cannot be found, the sound files changed since it was saved and the\n"
      "damaged parts of the file that were left out.\n",
      out);
}

std::string Length(long ms) {
  char text[kLengthStringSize];
  MakeLengthString(ms, text, 1, 0);
  return text;
}

std::string Size(double bytes) {
  char text[64];
  MakeFileSizeString(static_cast<unsigned long>(bytes), text, sizeof text);
  return text;
}

// Text from a file goes to the terminal only through the filter.
std::string Safe(const std::string& text) { return TerminalText(text); }

void PrintText(const char* label, const char* value) {
  if (value != nullptr && value[0] != '\0') printf("  %-10s %s\n", label, Safe(value).c_str());
}

// What the MPEG stream of an MP3, MP2 or MPEG wave file holds, found without decoding.
void PrintMpegStream(const std::string& path) {
  CFileObj file;
  CMP3Info mpeg;
  if (!file.Open(path.c_str(), 0, 0) || mpeg.loadInfo(&file) != 0) return;
  char version[32];
  char mode[32];
  mpeg.getVersion(version);
  mpeg.getMode(mode);
  printf("  stream     %s, %s, %d Hz, %d kbit/s%s\n", version, mode, mpeg.getFrequency(),
         mpeg.getBitrate(), mpeg.isVBitRate() ? " (variable bit rate)" : "");
  if (mpeg.XingFound()) {
    printf("  xing       %d frames, %lu bytes%s\n", mpeg.XingHeader().getNumberOfFrames(),
           static_cast<unsigned long>(mpeg.XingHeader().getNumberOfBytes()),
           mpeg.XingHeader().isVariable() ? "" : " (an Info header: constant bit rate)");
  }
  printf("  frames     %d, %ld ms by the frame count\n", mpeg.getNumberOfFrames(),
         mpeg.getLengthInMs());
  const char* tag = mpeg.GetTagType() == ttId3V1   ? "ID3v1"
                    : mpeg.GetTagType() == ttId3V2 ? "ID3v2"
                                                   : "none";
  printf("  tag        %s", tag);
  if (mpeg.GetTagSize() > 0) printf(" (%lu bytes)", mpeg.GetTagSize());
  printf("\n");
}

// Whether a side file of the sound is there and still serves.
void PrintSideFile(const char* label, const std::string& sound, const char* side) {
  struct stat st {};
  if (side == nullptr) {
    printf("  %-10s none (side files are off)\n", label);
  } else if (stat(side, &st) != 0) {
    printf("  %-10s none yet (%s)\n", label, Safe(side).c_str());
  } else {
    printf("  %-10s %s, %ld bytes (%s)\n", label,
           IsRightFileOlder(side, sound.c_str()) ? "up to date" : "older than the sound: rebuilt",
           static_cast<long>(st.st_size), Safe(side).c_str());
  }
}

void PrintSideFiles(const std::string& given, bool seekMap) {
  // Side files are kept by the sound's absolute path, as the engine opened it.
  char resolved[PATH_MAX];
  const std::string path = realpath(given.c_str(), resolved) != nullptr ? resolved : given;
  char peaks[PATH_MAX];
  const bool havePeaks = CPeaks::PeakFilePathFor(path.c_str(), peaks, sizeof peaks, 0) != 0;
  PrintSideFile("peak file", path, havePeaks ? peaks : nullptr);
  if (!seekMap) return;
  char map[PATH_MAX];
  const bool haveMap = MakeTempPath1(path.c_str(), ".isk", map, sizeof map, 0) != 0;
  PrintSideFile("seek map", path, haveMap ? map : nullptr);
}

void PrintSound(const std::string& path, CPCMSound* sound) {
  char format[256];
  SoundFormatToString(sound->Format(), format, sizeof format, nullptr);
  CRefObj* data = sound->GetRefObj();
  CDecoder* decoder = sound->GetACMObj();
  const bool mpeg = decoder != nullptr && !decoder->IsACM();
  printf("%s\n", Safe(path).c_str());
  printf("  format     %s%s\n", format, decoder != nullptr ? " (decoded)" : "");
  if (mpeg) PrintMpegStream(path);
  _formatSupportedInfo wave;
  if (decoder != nullptr && decoder->IsACM() && FileFormatSupported(path.c_str(), &wave)) {
    const uint16_t tag = static_cast<uint16_t>(wave.format[0] | wave.format[1] << 8);
    printf("  stored as  %s (format tag 0x%04x)\n", platform::CodecFormatTagName(tag), tag);
  }
  printf("  length     %s (%ld ms)\n", Length(sound->Length(0)).c_str(), sound->Length(0));
  if (data != nullptr)
    printf("  data       %s (%ld bytes)\n", Size(static_cast<double>(data->DataSize())).c_str(),
           data->DataSize());
  if (TMusicInfo* info = sound->GetMusicInfo()) {
    PrintText("title", info->title);
    PrintText("artist", info->artist);
    PrintText("album", info->album);
    // A genre stored as its number, "(17)", shows the number's name.
    char genre[256] = {};
    if (info->genreIndex >= 0 && info->genreIndex < sonark::kId3GenreCount &&
        (info->genre[0] == '\0' || info->genre[0] == '(')) {
      SonarkLoadString(sonark::Id3GenreKey(info->genreIndex), genre, sizeof genre);
    }
    PrintText("genre", genre[0] != '\0' ? genre : info->genre);
    PrintText("comment", info->comment);
    PrintText("copyright", info->copyright);
    PrintText("encoder", info->encoder);
    if (info->year > 0) printf("  %-10s %ld\n", "year", info->year);
    if (info->track > 0 && info->totalTracks > 0) {
      printf("  %-10s %d of %d\n", "track", info->track, info->totalTracks);
    } else if (info->track > 0) {
      printf("  %-10s %d\n", "track", info->track);
    }
  }
  printf("  auto trim  %s to %s\n", Length(sound->GetAutoTrimTimeStart()).c_str(),
         Length(sound->GetAutoTrimTimeEnd()).c_str());
  printf("  silence    %s\n", sound->IsTotalSilence() ? "the whole sound is silent" : "no");
  printf("  partial    %s\n", sound->IsPartialSong() ? "ends abruptly (partial song)" : "no");
  if (sound->IsCutShort())
    printf("  damaged    the file is shorter than its header claims: loaded up to its end\n");
  PrintSideFiles(path, mpeg);
}

void PrintTree(CSoundGroup* group, int depth) {
  long offset = 0;
  for (int i = 0; CAudioAtom* atom = group->GetAtom(i, &offset); ++i) {
    const bool is_group = (atom->Type() & 2) != 0;
    auto* sound = is_group ? nullptr : dynamic_cast<CPCMSound*>(atom);
    printf("%*s%s %-24s at %s  length %s%s%s%s%s\n", depth * 2, "", is_group ? "group" : "sound",
           Safe(atom->GetInfo()->name).c_str(), Length(offset).c_str(),
           Length(atom->Length(0)).c_str(), atom->Muted() ? "  muted" : "",
           atom->Locked() ? "  locked" : "",
           sound != nullptr && sound->FileChangedSinceSave() ? "  file changed" : "",
           sound != nullptr && sound->IsCutShort() ? "  file cut short" : "");
    if (is_group) PrintTree(static_cast<CSoundGroup*>(atom), depth + 1);
  }
}

}  // namespace

int RunInfo(int argc, char** argv) {
  if (argc >= 1 && (strcmp(argv[0], "--help") == 0 || strcmp(argv[0], "-h") == 0)) {
    Usage(stdout);
    return kExitOk;
  }
  if (argc != 1) {
    Usage(stderr);
    return kExitUsage;
  }
  const std::string path = argv[0];
  if (!IsSessionFile(path)) {
    LoadProblem problem;
    AtomRef<BarSound> sound(LoadSound(path, &problem));
    if (sound == nullptr) {
      fprintf(stderr, "quarl-cli info: %s: %s\n", problem.what.c_str(), problem.reason.c_str());
      return kExitFailure;
    }
    PrintSound(path, sound.get());
    return kExitOk;
  }

  AtomRef<SessionRootGroup> root(new SessionRootGroup());
  SessionReport report;
  std::string error;
  int status = kExitOk;
  if (!OpenSession(path, root.get(), &report, &error)) {
    fprintf(stderr, "quarl-cli info: %s: %s\n", Safe(path).c_str(), error.c_str());
    status = kExitFailure;
  } else {
    printf("%s\n", Safe(path).c_str());
    if (report.Damaged())
      printf("  damaged    the session file is damaged: what follows is what could be read\n");
    printf("  session    %s, %d sound(s) and group(s) at the top\n",
           Length(SessionEnd(root.get())).c_str(), root->NumAtoms(30, 0));
    tWAVEFORMATEX best = root->BestFormat();
    char format[256];
    SoundFormatToString(&best, format, sizeof format, nullptr);
    printf("  best       %s\n", format);
    PrintTree(root.get(), 1);
    auto list = [](const char* label, const std::vector<LoadProblem>& problems) {
      for (const LoadProblem& p : problems)
        printf("  %-10s %s: %s\n", label, Safe(p.what).c_str(), Safe(p.reason).c_str());
    };
    list("missing", report.missing);
    list("changed", report.changed);
    list("skipped", report.skipped);
  }
  return status;
}
