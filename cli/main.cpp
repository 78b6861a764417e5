// quarl-cli: the engine without a window.
#include <cstdio>
#include <cstring>

#include <sonark/version.h>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;

void print_usage(FILE* out) {
  fputs(
      "usage: quarl-cli [--help] [--version] <command> [<args>]\n"
      "\n"
      "Tessel's sound engine from the command line.\n"
      "\n"
      "options:\n"
      "  --help       show this help and exit\n"
      "  --version    show the version and exit\n"
      "\n"
      "Run 'quarl-cli <command> --help' for the options of a command.\n",
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
  fprintf(stderr, "quarl-cli: unknown command '%s'\n", first);
  print_usage(stderr);
  return kExitUsage;
}
