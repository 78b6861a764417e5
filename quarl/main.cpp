// quarl: the Tessel program.
#include <quarl/shell/program.h>

#include <QApplication>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

void PrintUsage(FILE* out) {
  fputs(
      "usage: quarl [FILE]\n"
      "       quarl --grab OUT.png [--size WxH] [FILE]\n"
      "\n"
      "Opens FILE (a session, a sound or a playlist) in Tessel's window.\n"
      "--grab draws the window with FILE (or the example session) into a PNG picture and exits,\n"
      "without playing and without changing the saved settings.\n",
      out);
}

bool ParseSize(const char* text, QSize* size) {
  int width = 0;
  int height = 0;
  char rest = 0;
  if (std::sscanf(text, "%dx%d%c", &width, &height, &rest) != 2) return false;
  if (width < 100 || height < 100 || width > 8192 || height > 8192) return false;
  *size = QSize(width, height);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Program::Options options;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      PrintUsage(stdout);
      return 0;
    }
    if (std::strcmp(arg, "--grab") == 0 || std::strcmp(arg, "--size") == 0) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "quarl: %s needs a value\n", arg);
        return 2;
      }
      const char* value = argv[++i];
      if (arg[2] == 'g') {
        options.grabPath = value;
      } else if (!ParseSize(value, &options.grabSize)) {
        std::fprintf(stderr, "quarl: bad size '%s' (WxH, 100 to 8192 each)\n", value);
        return 2;
      }
    } else if (options.file.empty()) {
      options.file = arg;
    } else {
      // The whole command line names one file, blanks included.
      options.file += std::string(" ") + arg;
    }
  }
  // A grab needs no screen.
  if (!options.grabPath.empty() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") &&
      qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication app(argc, argv);
  Program program(options);
  if (!program.Start()) return 1;
  return program.Run();
}
