// quarl-cli new OUT.sgp SOUND[@MS] ...
#include <cli/commands.h>
#include <cli/session_io.h>
#include <quarl/timeline/session_atoms.h>
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
      "usage: quarl-cli new OUT.sgp SOUND[@MS] ...\n"
      "\n"
      "Builds a session of the given sounds, each starting MS milliseconds into the time line\n"
      "(0 when left out), each in a lane of its own, and saves it as OUT.sgp. Sounds are stored\n"
      "by path, relative to the session's folder when they are on the same local disk. An\n"
      "existing OUT.sgp is replaced only once the new session is completely written.\n",
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

// SOUND@MS: the last '@' followed only by digits splits the start time off the path. A suffix
// meant as a time that is not one ("a.wav@", "a.wav@-5", "a.wav@1.5") is refused rather than
// taken for part of a file name, unless a file of that whole name exists.
bool ParsePlacement(const char* arg, Placement* out) {
  std::string text = arg;
  size_t at = text.rfind('@');
  if (at != std::string::npos) {
    const std::string suffix = text.substr(at + 1);
    if (!suffix.empty() && suffix.find_first_not_of("0123456789") == std::string::npos) {
      errno = 0;
      char* end = nullptr;
      long ms = strtol(suffix.c_str(), &end, 10);
      if (errno != 0 || *end != '\0' || ms > 0x7FFFFFFFL) return false;
      out->offset = ms;
      text.resize(at);
    } else if ((suffix.empty() || strchr("+-0123456789", suffix[0]) != nullptr) &&
               !FileExists(text)) {
      return false;
    }
  }
  if (text.empty()) return false;
  out->path = text;
  return true;
}

}  // namespace

int RunNew(int argc, char** argv) {
  if (argc >= 1 && (strcmp(argv[0], "--help") == 0 || strcmp(argv[0], "-h") == 0)) {
    Usage(stdout);
    return kExitOk;
  }
  if (argc < 2) {
    Usage(stderr);
    return kExitUsage;
  }
  std::string out = argv[0];
  std::vector<Placement> placements;
  for (int i = 1; i < argc; ++i) {
    Placement p;
    if (!ParsePlacement(argv[i], &p)) {
      fprintf(stderr, "quarl-cli new: bad sound argument '%s' (expected SOUND[@MS])\n", argv[i]);
      return kExitUsage;
    }
    placements.push_back(p);
  }

  SessionRootGroup* root = new SessionRootGroup();
  int status = kExitOk;
  DisableMapCombining();
  for (size_t lane = 0; lane < placements.size(); ++lane) {
    LoadProblem problem;
    BarSound* sound = LoadSound(placements[lane].path, &problem);
    if (sound == nullptr) {
      fprintf(stderr, "quarl-cli new: %s: %s\n", problem.what.c_str(), problem.reason.c_str());
      status = kExitFailure;
      break;
    }
    sound->Bar() = BarInLane(placements[lane].offset, sound->Length(0), static_cast<int>(lane));
    sound->Add(root, placements[lane].offset);
    CAudioAtom* creator = sound;
    DeleteAtom(&creator);
  }
  EnableMapCombining();
  if (status == kExitOk) {
    root->CombineWithSubMaps(kMapAll, 1);
    std::string error;
    if (!SaveSession(root, out, &error)) {
      fprintf(stderr, "quarl-cli new: %s: %s\n", out.c_str(), error.c_str());
      status = kExitFailure;
    }
  }
  CAudioAtom* held = root;
  DeleteAtom(&held);
  return status;
}
