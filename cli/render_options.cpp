#include <cli/command_args.h>
#include <cli/commands.h>
#include <cli/render_options.h>

#include <cstring>
#include <vector>

namespace {

int UsageError(const std::string& what) {
  fprintf(stderr, "quarl-cli render: %s (see 'quarl-cli render --help')\n", what.c_str());
  return kExitUsage;
}

struct NumberOption {
  const char* name;
  long low;
  long high;
  long RenderOptions::*field;
  const char* expected;
};

constexpr NumberOption kNumberOptions[] = {
    {"--from", 0, 0x7FFFFFFF, &RenderOptions::from, "milliseconds from 0"},
    {"--to", 0, 0x7FFFFFFF, &RenderOptions::to, "milliseconds from 0"},
    {"--rate", 8000, 48000, &RenderOptions::rate, "8000 to 48000"},
    {"--channels", 1, 2, &RenderOptions::channels, "1 or 2"},
    {"--bits", 8, 16, &RenderOptions::bits, "8 or 16"},
};

}  // namespace

void PrintRenderUsage(FILE* out) {
  fputs(
      "usage: quarl-cli render [--from MS] [--to MS] [--rate HZ] [--channels N] [--bits N]\n"
      "                        [--salvage] [--] IN OUT.wav\n"
      "\n"
      "Renders a session (.sgp) or a single sound to a wave file. Without options the whole\n"
      "session is rendered in its best format; --from and --to choose a stretch of the time\n"
      "line in milliseconds, --rate (8000-48000), --channels (1 or 2) and --bits (8 or 16)\n"
      "the output format. Sounds that cannot be found are listed and nothing is rendered; a\n"
      "damaged session is refused unless --salvage renders what can be read of it. '--' ends\n"
      "the options.\n"
      "\n"
      "OUT may be a FIFO or a device such as /dev/stdout: the wave is streamed there with its\n"
      "sizes marked unknown. A symbolic link is followed; a read-only file is refused. Ctrl-C\n"
      "(or SIGTERM, SIGHUP) stops the render and deletes the partial file.\n",
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
    } else {
      const NumberOption* option = nullptr;
      for (const NumberOption& o : kNumberOptions)
        if (strcmp(arg, o.name) == 0) option = &o;
      if (option == nullptr) return UsageError(std::string("unknown option '") + arg + "'");
      const std::string error = TakeNumber(args, arg, option->low, option->high, option->expected,
                                           &(options->*option->field));
      if (!error.empty()) return UsageError(error);
    }
  }
  const std::vector<const char*>& files = args.Operands();
  if (options->bits != 0 && options->bits != 8 && options->bits != 16)
    return UsageError("bad value '" + std::to_string(options->bits) + "' for --bits (8 or 16)");
  if (files.size() != 2)
    return UsageError(files.size() < 2 ? "expected IN and OUT.wav"
                                       : "more than IN and OUT.wav given");
  if (options->to >= 0 && options->to <= options->from)
    return UsageError("--to " + std::to_string(options->to) + " is not after --from " +
                      std::to_string(options->from));
  options->in = files[0];
  options->out = files[1];
  return -1;
}
