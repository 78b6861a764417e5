// quarl-cli new OUT.sgp SOUND[@MS] ...
#include <cli/command_args.h>
#include <cli/commands.h>
#include <session/safe_replace.h>
#include <cli/session_io.h>
#include <cli/terminal_text.h>
#include <session/session_atoms.h>
#include <sonark/model/atom_ref.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void Usage(FILE* out) {
  fputs(
      "usage: quarl-cli new [--force] [--] OUT.sgp SOUND[@MS] ...\n"
      "\n"
      "Builds a session of the given sounds, each starting MS milliseconds into the time line\n"
      "(0 when left out), each in a lane of its own, and saves it as OUT.sgp. Sounds are stored\n"
      "by path, relative to the session's folder when they are on the same local disk. A sound\n"
      "whose whole name (take@2) is an existing file is that file. An existing OUT.sgp is\n"
      "replaced only once the new session is completely written; a file there that is not a\n"
      "session is replaced only with --force, a read-only one never. '--' ends the options.\n",
      out);
}

struct Placement {
  std::string path;
  long offset = 0;
};

bool FileExists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

// SOUND@MS: the last '@' followed only by digits splits the start time off the path, unless a
// file of the whole name exists. A suffix meant as a time that is not one ("a.wav@",
// "a.wav@-5", "a.wav@1.5") is refused rather than taken for part of a file name.
bool ParsePlacement(const char* arg, Placement* out) {
  std::string text = arg;
  size_t at = text.rfind('@');
  if (at != std::string::npos && !FileExists(text)) {
    const std::string suffix = text.substr(at + 1);
    if (!suffix.empty() && suffix.find_first_not_of("0123456789") == std::string::npos) {
      errno = 0;
      char* end = nullptr;
      long ms = strtol(suffix.c_str(), &end, 10);
      if (errno != 0 || *end != '\0' || ms > 0x7FFFFFFFL) return false;
      out->offset = ms;
      text.resize(at);
    } else if (suffix.empty() || strchr("+-0123456789", suffix[0]) != nullptr) {
      return false;
    }
  }
  if (text.empty()) return false;
  out->path = text;
  return true;
}

int UsageError(const std::string& what) { return CommandUsageError("new", what); }

// Refuses an output that may not be replaced: a read-only file, a folder, and without
// `force` a file that is not a session (a wave given as OUT by mistake).
bool CheckOutput(const std::string& out, bool force) {
  SafeReplace target(out);
  std::string reason;
  if (target.Usable(&reason)) {
    struct stat info {};
    const bool has_content =
        stat(target.Resolved().c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0;
    if (force || !has_content || IsSessionFile(target.Resolved())) return true;
    reason = "exists and is not a session; --force replaces it";
  }
  fprintf(stderr, "quarl-cli new: %s: %s\n", TerminalText(out).c_str(), reason.c_str());
  return false;
}

}  // namespace

int RunNew(int argc, char** argv) {
  bool force = false;
  std::vector<const char*> args;
  bool options_end = false;
  for (int i = 0; i < argc; ++i) {
    const char* arg = argv[i];
    if (options_end || (strncmp(arg, "--", 2) != 0 && strcmp(arg, "-h") != 0)) {
      args.push_back(arg);
    } else if (strcmp(arg, "--") == 0) {
      options_end = true;
    } else if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
      Usage(stdout);
      return kExitOk;
    } else if (strcmp(arg, "--force") == 0) {
      force = true;
    } else {
      return UsageError(std::string("unknown option '") + arg + "'");
    }
  }
  if (args.size() < 2) return UsageError("expected OUT.sgp and at least one SOUND");
  std::string out = args[0];
  std::vector<Placement> placements;
  for (size_t i = 1; i < args.size(); ++i) {
    Placement p;
    if (!ParsePlacement(args[i], &p))
      return UsageError(std::string("bad sound argument '") + args[i] + "' (expected SOUND[@MS])");
    placements.push_back(p);
  }
  if (!CheckOutput(out, force)) return kExitFailure;
  SweepLeftovers(FolderOf(out));

  AtomRef<SessionRootGroup> root(new SessionRootGroup());
  int status = kExitOk;
  {
    MapCombiningPause pause;
    for (size_t lane = 0; lane < placements.size(); ++lane) {
      LoadProblem problem;
      AtomRef<BarSound> sound(LoadSound(placements[lane].path, &problem));
      if (sound == nullptr) {
        fprintf(stderr, "quarl-cli new: %s: %s\n", problem.what.c_str(), problem.reason.c_str());
        status = kExitFailure;
        break;
      }
      sound->Bar() = BarInLane(placements[lane].offset, sound->Length(0), static_cast<int>(lane));
      // The group takes a reference of its own; ours goes at the end of the pass.
      sound->Add(root.get(), placements[lane].offset);
    }
  }
  if (status == kExitOk) {
    root->CombineWithSubMaps(kMapAll, 1);
    std::string error;
    if (!SaveSession(root.get(), out, &error)) {
      fprintf(stderr, "quarl-cli new: %s: %s\n", out.c_str(), error.c_str());
      status = kExitFailure;
    }
  }
  return status;
}
