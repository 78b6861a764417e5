// quarl-cli: the engine without a window.
#include <cli/commands.h>
#include <cli/open_files.h>
#include <cli/side_files.h>
#include <sonark/version.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

void print_usage(FILE* out) {
  fputs(
      "usage: quarl-cli [--help] [--version] <command> [<args>]\n"
      "\n"
      "Tessel's sound engine from the command line.\n"
      "\n"
      "commands:\n"
      "  new OUT.sgp SOUND[@MS] ...   build a session of sounds and save it\n"
      "  render IN OUT.wav            render a session or a sound to a wave file\n"
      "  info FILE                    describe a sound or a session\n"
      "  play FILE                    play a session or a sound on an output device\n"
      "  record OUT.wav               record the input device, optionally over a session\n"
      "  devices                      list the output and input devices\n"
      "\n"
      "options:\n"
      "  --help       show this help and exit\n"
      "  --version    show the version and exit\n"
      "\n"
      "Run 'quarl-cli <command> --help' for the options of a command. Side files (peaks)\n"
      "are cached in ${XDG_CACHE_HOME:-~/.cache}/tessel/. QUARL_AUDIO chooses the sound\n"
      "backend of play, record and devices (see 'quarl-cli play --help').\n",
      out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    print_usage(stderr);
    return kExitUsage;
  }
  const char* first = argv[1];
  if (strcmp(first, "--help") == 0 || strcmp(first, "-h") == 0 || strcmp(first, "help") == 0) {
    print_usage(stdout);
    return kExitOk;
  }
  if (strcmp(first, "--version") == 0) {
    printf("quarl-cli %s\n", SonarkVersionString());
    return kExitOk;
  }
  RaiseOpenFileLimit();
  std::string warning;
  if (!UseSideFileCache(&warning)) fprintf(stderr, "quarl-cli: warning: %s\n", warning.c_str());
  if (strcmp(first, "new") == 0) return RunNew(argc - 2, argv + 2);
  if (strcmp(first, "render") == 0) return RunRender(argc - 2, argv + 2);
  if (strcmp(first, "info") == 0) return RunInfo(argc - 2, argv + 2);
  if (strcmp(first, "play") == 0) return RunPlay(argc - 2, argv + 2);
  if (strcmp(first, "record") == 0) return RunRecord(argc - 2, argv + 2);
  if (strcmp(first, "devices") == 0) return RunDevices(argc - 2, argv + 2);
  fprintf(stderr, "quarl-cli: unknown command '%s' (see 'quarl-cli --help')\n", first);
  return kExitUsage;
}
