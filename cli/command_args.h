#pragma once

#include <string>
#include <vector>

// The arguments after a command's name, walked option by option: words that start with "--"
// (and "-h") are options, the others operands; "--" ends the options.
class CommandArgs {
 public:
  CommandArgs(int argc, char** argv) : argc_(argc), argv_(argv) {}

  // The next option, gathering the operands before it; null once none is left.
  const char* NextOption();
  // The word after the option just returned, taken as its value; null when there is none.
  const char* Value();
  const std::vector<const char*>& Operands() const { return operands_; }

 private:
  int argc_;
  char** argv_;
  int next_ = 0;
  bool options_end_ = false;
  std::vector<const char*> operands_;
};

// "--help" or "-h".
bool IsHelpOption(const char* arg);

// A whole decimal number from `low` to `high` and nothing else; false leaves `out` alone.
bool ParseNumber(const char* text, long low, long high, long* out);

// Takes the value of the number option `option` just returned by `args` into `out`. Empty, or
// the usage error to show ("--from needs a value", "bad value 'x' for --from (EXPECTED)").
std::string TakeNumber(CommandArgs& args, const char* option, long low, long high,
                       const char* expected, long* out);

// Says on standard error what is wrong with the use of `command` and where its help is; returns
// the exit status of a usage error.
int CommandUsageError(const char* command, const std::string& what);
