#include <cli/command_args.h>
#include <cli/commands.h>
#include <cli/render_options.h>
#include <sonark/load/music_info.h>
#include <strings.h>

#include <cstring>
#include <vector>

namespace {

int UsageError(const std::string& what) { return CommandUsageError("render", what); }

// A number option: its range, and the field of `Owner` it sets (null: read apart).
template <typename Owner>
struct NumberOption {
  const char* name;
  long low;
  long high;
  long Owner::*field;
  const char* expected;
};

constexpr NumberOption<RenderOptions> kNumberOptions[] = {
    {"--from", 0, 0x7FFFFFFF, &RenderOptions::from, "milliseconds from 0"},
    {"--to", 0, 0x7FFFFFFF, &RenderOptions::to, "milliseconds from 0"},
    {"--rate", 8000, 48000, &RenderOptions::rate, "8000 to 48000"},
    {"--channels", 1, 2, &RenderOptions::channels, "1 or 2"},
    {"--bits", 8, 16, &RenderOptions::bits, "8 or 16"},
    {"--year", 1000, 3000, nullptr, "1000 to 3000"},
};

// The bit rates reach over every MPEG version's table; a rate between the table's steps is
// rounded to the nearest one of the version, as the export dialog's lists do.
constexpr NumberOption<Mp3Options> kMp3Options[] = {
    {"--preset", 1, 10, &Mp3Options::preset, "1 to 10"},
    {"--bitrate", 8, 320, &Mp3Options::bitrate, "8 to 320 kbit/s"},
    {"--vbr", 0, 9, &Mp3Options::vbr, "quality 0 (best) to 9"},
    {"--abr", 8, 320, &Mp3Options::abr, "8 to 320 kbit/s"},
};

struct Choice {
  const char* word;
  long value;
};

constexpr Choice kModes[] = {{"stereo", 0}, {"joint", 1}, {"dual", 2}, {"mono", 3}};
// The settings record numbers MPEG-2 as 0 and MPEG-2.5 as 2.
constexpr Choice kVersions[] = {{"1", 1}, {"2", 0}, {"2.5", 2}};

template <size_t N>
bool TakeChoice(const char* text, const Choice (&choices)[N], long* out) {
  for (const Choice& c : choices)
    if (strcmp(text, c.word) == 0) {
      *out = c.value;
      return true;
    }
  return false;
}

bool EndsWithNoCase(const std::string& text, const char* tail) {
  const size_t n = strlen(tail);
  return text.size() >= n && strcasecmp(text.c_str() + text.size() - n, tail) == 0;
}

// "5" or "5/12", each number 1 to 99.
bool ParseTrack(const char* text, TagOptions* tags) {
  const char* slash = strchr(text, '/');
  long track = 0;
  long total = -1;
  if (slash == nullptr) return ParseNumber(text, 1, 99, &tags->track);
  const std::string first(text, slash);
  if (!ParseNumber(first.c_str(), 1, 99, &track) || !ParseNumber(slash + 1, 1, 99, &total))
    return false;
  tags->track = track;
  tags->totalTracks = total;
  return true;
}

// The text options: the tag fields, and the choices among words.
std::string TakeText(CommandArgs& args, const char* arg, RenderOptions* options) {
  struct TextOption {
    const char* name;
    std::optional<std::string> TagOptions::*field;
  };
  static constexpr TextOption kTexts[] = {
      {"--title", &TagOptions::title}, {"--artist", &TagOptions::artist},
      {"--album", &TagOptions::album}, {"--comment", &TagOptions::comment},
      {"--genre", &TagOptions::genre},
  };
  const char* value = args.Value();
  if (value == nullptr) return std::string(arg) + " needs a value";
  for (const TextOption& t : kTexts)
    if (strcmp(arg, t.name) == 0) {
      options->tags.*t.field = value;
      return {};
    }
  const std::string bad = std::string("bad value '") + value + "' for " + arg;
  if (strcmp(arg, "--mode") == 0)
    return TakeChoice(value, kModes, &options->mp3.mode) ? ""
                                                         : bad + " (stereo, joint, dual or mono)";
  if (strcmp(arg, "--mpeg") == 0)
    return TakeChoice(value, kVersions, &options->mp3.mpeg) ? "" : bad + " (1, 2 or 2.5)";
  if (strcmp(arg, "--track") == 0)
    return ParseTrack(value, &options->tags) ? "" : bad + " (N or N/TOTAL, each 1 to 99)";
  return "unknown option '" + std::string(arg) + "'";
}

bool IsTextOption(const char* arg) {
  for (const char* name :
       {"--title", "--artist", "--album", "--comment", "--genre", "--mode", "--mpeg", "--track"})
    if (strcmp(arg, name) == 0) return true;
  return false;
}

// The sample rates of each MPEG version, as the settings record numbers the versions.
struct VersionRates {
  long version;
  const char* name;
  long rates[3];
};
constexpr VersionRates kVersionRates[] = {
    {1, "MPEG-1", {32000, 44100, 48000}},
    {0, "MPEG-2", {16000, 22050, 24000}},
    {2, "MPEG-2.5", {8000, 11025, 12000}},
};

// The combinations that make no sense for the output, said before anything is loaded.
std::string CheckCombination(const RenderOptions& o) {
  const Mp3Options& m = o.mp3;
  if (const std::optional<std::string>& genre = o.tags.genre;
      genre && !genre->empty() && genre->find_first_not_of("0123456789") == std::string::npos) {
    long number = 0;
    if (!ParseNumber(genre->c_str(), 0, sonark::kId3GenreCount - 1, &number))
      return "bad value '" + *genre + "' for --genre (a number from 0 to " +
             std::to_string(sonark::kId3GenreCount - 1) + ", or a name)";
  }
  if (o.kind == OutputKind::kWave) {
    if (m.Any())
      return "--preset, --bitrate, --vbr, --abr, --mode and --mpeg are for MP3 outputs "
             "(.mp3, .mp2, .mp1)";
    return {};
  }
  if (o.channels != 0 || o.bits != 0)
    return "--channels and --bits are for wave outputs; an MP3's channels follow --mode";
  if (m.preset != 0 &&
      (m.bitrate != 0 || m.vbr >= 0 || m.abr != 0 || m.mode >= 0 || m.mpeg >= 0 || o.rate != 0))
    return "--preset sets every encoder setting; it cannot be combined with --bitrate, --vbr, "
           "--abr, --mode, --mpeg or --rate";
  if (o.rate != 0) {
    const long version = Mp3VersionOfRate(o.rate);
    if (version < 0)
      return "--rate " + std::to_string(o.rate) +
             " is no MP3 rate (32000, 44100, 48000; 16000, 22050, 24000; 8000, 11025, 12000)";
    if (m.mpeg >= 0 && m.mpeg != version)
      for (const VersionRates& v : kVersionRates)
        if (v.version == m.mpeg)
          return "--rate " + std::to_string(o.rate) + " does not belong to " + v.name + " (" +
                 std::to_string(v.rates[0]) + ", " + std::to_string(v.rates[1]) + " or " +
                 std::to_string(v.rates[2]) + ")";
  }
  return {};
}

}  // namespace

long Mp3VersionOfRate(long rate) {
  for (const VersionRates& v : kVersionRates)
    for (long r : v.rates)
      if (r == rate) return v.version;
  return -1;
}

OutputKind OutputKindOf(const std::string& path) {
  for (const char* tail : {".mp3", ".mp2", ".mp1"})
    if (EndsWithNoCase(path, tail)) return OutputKind::kMp3;
  return OutputKind::kWave;
}

void PrintRenderUsage(FILE* out) {
  fputs(
      "usage: quarl-cli render [--from MS] [--to MS] [--rate HZ] [--channels N] [--bits N]\n"
      "                        [--preset N | --bitrate K [--vbr Q] [--abr K] [--mode M]\n"
      "                        [--mpeg V]] [--title T] [--artist A] [--album B] [--year Y]\n"
      "                        [--track N[/TOTAL]] [--comment C] [--genre G] [--verbose]\n"
      "                        [--split [--overwrite]] [--salvage] [--] IN OUT\n"
      "\n"
      "Renders a session (.sgp) or a single sound to OUT: an MPEG layer 3 file when OUT ends\n"
      "in .mp3, .mp2 or .mp1 (any case), else a wave file. Without options the whole session\n"
      "is rendered; --from and --to choose a stretch of the time line in milliseconds. Sounds\n"
      "that cannot be found are listed and nothing is rendered; a damaged session is refused\n"
      "unless --salvage renders what can be read of it. '--' ends the options.\n"
      "\n"
      "Wave: the session's best format unless --rate (8000-48000), --channels (1 or 2) or\n"
      "--bits (8 or 16) say otherwise.\n"
      "\n"
      "MP3: --preset N (1 phone ... 9 CD, the default, ... 10 studio) takes a preset whole.\n"
      "Otherwise the CD preset is changed by: --bitrate K (kbit/s, rounded to the MPEG\n"
      "version's table; the lowest rate with --vbr), --vbr Q (variable bit rate of quality 0\n"
      "best to 9, with a Xing header), --abr K (average bit rate, kept between the lowest and\n"
      "highest rates), --mode stereo|joint|dual|mono, --mpeg 1|2|2.5 (44100, 22050 or 11025\n"
      "Hz, or --rate when it belongs to the version; --rate alone picks its version). The mix\n"
      "is encoded from 16 bits at the MP3's rate, in one channel for mono, else two. MP3 export\n"
      "needs the encoder library liblame_enc.so.\n"
      "\n"
      "File information: --title (the output's name without its extension unless given),\n"
      "--artist, --album, --year (1000-3000), --track (N or N/TOTAL, 1 to 99), --comment and\n"
      "--genre (a name or number of the ID3 genre list, or any text) go into the MP3's ID3v1\n"
      "and ID3v2 tags or the wave's information list. --verbose prints the settings used.\n"
      "\n"
      "--split renders one file per CD track of the session's track markers: the session needs\n"
      "two or more of them within the rendered stretch. The files are named 'OUT - NN -  TITLE'\n"
      "after OUT without its extension, the track's number and the marker's title ('/' becomes\n"
      "'_'), with the extension .wav or .mp3. When any of them exists nothing is rendered unless\n"
      "--overwrite is given. Each file's title and track tags are its marker's.\n"
      "\n"
      "OUT may be a FIFO or a device such as /dev/stdout for a wave: it is streamed there with\n"
      "its sizes marked unknown. An MP3 is written to files only. A symbolic link is followed;\n"
      "a read-only file is refused. Ctrl-C (or SIGTERM, SIGHUP) stops the render and deletes\n"
      "the partial file.\n",
      out);
}

int ParseRenderOptions(int argc, char** argv, RenderOptions* options) {
  CommandArgs args(argc, argv);
  while (const char* arg = args.NextOption()) {
    if (IsHelpOption(arg)) {
      PrintRenderUsage(stdout);
      return kExitOk;
    } else if (strcmp(arg, "--salvage") == 0) {
      options->salvage = true;
    } else if (strcmp(arg, "--verbose") == 0) {
      options->verbose = true;
    } else if (strcmp(arg, "--split") == 0) {
      options->split = true;
    } else if (strcmp(arg, "--overwrite") == 0) {
      options->overwrite = true;
    } else if (IsTextOption(arg)) {
      const std::string error = TakeText(args, arg, options);
      if (!error.empty()) return UsageError(error);
    } else {
      std::string error;
      bool known = false;
      for (const NumberOption<Mp3Options>& o : kMp3Options)
        if (strcmp(arg, o.name) == 0) {
          known = true;
          error = TakeNumber(args, arg, o.low, o.high, o.expected, &(options->mp3.*o.field));
        }
      for (const NumberOption<RenderOptions>& o : kNumberOptions)
        if (strcmp(arg, o.name) == 0) {
          known = true;
          long* field = o.field ? &(options->*o.field) : &options->tags.year;
          error = TakeNumber(args, arg, o.low, o.high, o.expected, field);
        }
      if (!known) return UsageError(std::string("unknown option '") + arg + "'");
      if (!error.empty()) return UsageError(error);
    }
  }
  const std::vector<const char*>& files = args.Operands();
  if (options->bits != 0 && options->bits != 8 && options->bits != 16)
    return UsageError("bad value '" + std::to_string(options->bits) + "' for --bits (8 or 16)");
  if (files.size() != 2)
    return UsageError(files.size() < 2 ? "expected IN and OUT" : "more than IN and OUT given");
  if (options->to >= 0 && options->to <= options->from)
    return UsageError("--to " + std::to_string(options->to) + " is not after --from " +
                      std::to_string(options->from));
  options->in = files[0];
  options->out = files[1];
  options->kind = OutputKindOf(options->out);
  if (const std::string error = CheckCombination(*options); !error.empty())
    return UsageError(error);
  if (options->overwrite && !options->split)
    return UsageError("--overwrite is for --split (a single output is always replaced)");
  if (options->split && options->tags.track > 0)
    return UsageError("--track cannot be given with --split: each track file gets its own");
  return -1;
}
