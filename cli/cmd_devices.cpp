// quarl-cli devices: the output and input devices of the backend QUARL_AUDIO chooses.
#include <cli/commands.h>
#include <cli/terminal_text.h>
#include <platform/wave_in.h>
#include <platform/wave_out.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

void PrintUsage(FILE* out) {
  fputs(
      "usage: quarl-cli devices\n"
      "\n"
      "Lists the output devices, one a line: the number that 'quarl-cli play --device N'\n"
      "takes, the name and the device's own format; '*' marks the default device. The first\n"
      "line names the backend, which QUARL_AUDIO chooses (see 'quarl-cli play --help').\n"
      "A second section lists the input devices the same way, numbered on their own, for\n"
      "'quarl-cli record --device N'.\n",
      out);
}

// "44100 Hz, 16-bit, stereo"
std::string FormatText(const tWAVEFORMATEX& format) {
  const std::string channels = format.nChannels == 1 ? "mono"
                               : format.nChannels == 2
                                   ? "stereo"
                                   : std::to_string(format.nChannels) + " channels";
  return std::to_string(format.nSamplesPerSec) + " Hz, " + std::to_string(format.wBitsPerSample) +
         "-bit, " + channels;
}

void PrintDevice(uint32_t device, const std::string& name, const tWAVEFORMATEX& format,
                 bool isDefault) {
  // Device names come from the sound system, which takes them from drivers and plug-ins.
  printf("%c %2u  %s  (%s)\n", isDefault ? '*' : ' ', device, TerminalText(name).c_str(),
         FormatText(format).c_str());
}

// One section of the list: the backend, then each device, or "none".
template <class Info>
void PrintSection(const char* direction, const std::string& backend, uint32_t count,
                  int (*describe)(uint32_t, Info*)) {
  printf("%s devices (backend: %s)\n", direction, TerminalText(backend).c_str());
  for (uint32_t device = 0; device < count; ++device) {
    Info info;
    if (describe(device, &info) != platform::kWaveOk) continue;
    PrintDevice(device, info.name, info.defaultFormat, info.isDefault);
  }
  if (count == 0) printf("  none\n");
}

}  // namespace

int RunDevices(int argc, char** argv) {
  if (argc > 0) {
    if (strcmp(argv[0], "--help") == 0 || strcmp(argv[0], "-h") == 0) {
      PrintUsage(stdout);
      return kExitOk;
    }
    fprintf(stderr, "quarl-cli devices: takes no arguments (see 'quarl-cli devices --help')\n");
    return kExitUsage;
  }
  if (const std::string problem = platform::WaveOutBackendProblem(); !problem.empty()) {
    fprintf(stderr, "quarl-cli devices: %s\n", TerminalText(problem).c_str());
    return kExitFailure;
  }
  PrintSection("output", platform::WaveOutBackendName(), platform::WaveOutDeviceCount(),
               &platform::WaveOutDeviceDescribe);
  PrintSection("input", platform::WaveInBackendName(), platform::WaveInDeviceCount(),
               &platform::WaveInDeviceDescribe);
  return kExitOk;
}
