#include <cli/command_args.h>
#include <cli/commands.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* CommandArgs::NextOption() {
  while (next_ < argc_) {
    const char* arg = argv_[next_++];
    if (!options_end_ && strcmp(arg, "--") == 0) {
      options_end_ = true;
    } else if (options_end_ || (strncmp(arg, "--", 2) != 0 && strcmp(arg, "-h") != 0)) {
      operands_.push_back(arg);
    } else {
      return arg;
    }
  }
  return nullptr;
}

const char* CommandArgs::Value() { return next_ < argc_ ? argv_[next_++] : nullptr; }

bool IsHelpOption(const char* arg) { return strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0; }

bool ParseNumber(const char* text, long low, long high, long* out) {
  char* end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

std::string TakeNumber(CommandArgs& args, const char* option, long low, long high,
                       const char* expected, long* out) {
  const char* value = args.Value();
  if (value == nullptr) return std::string(option) + " needs a value";
  if (!ParseNumber(value, low, high, out))
    return std::string("bad value '") + value + "' for " + option + " (" + expected + ")";
  return {};
}

int CommandUsageError(const char* command, const std::string& what) {
  fprintf(stderr, "quarl-cli %s: %s (see 'quarl-cli %s --help')\n", command, what.c_str(), command);
  return kExitUsage;
}
