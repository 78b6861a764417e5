// Loading the time line that render and play mix, with the same refusals and messages.
#include <cli/open_files.h>
#include <cli/session_io.h>
#include <cli/terminal_text.h>
#include <cli/timeline_load.h>
#include <session/session_atoms.h>
#include <sonark/model/atom_ref.h>

#include <cstdio>

namespace {

void Report(const TimelineRequest& request, const std::string& what, const std::string& text) {
  ReportCommandProblem(request.command, what, text);
}

void Warn(const TimelineRequest& request, const std::string& what, const std::string& text) {
  Report(request, "warning: " + what, text);
}

std::string Nothing(const TimelineRequest& request) {
  return std::string("nothing ") + request.done;
}

}  // namespace

void ReportCommandProblem(const char* command, const std::string& what, const std::string& text) {
  fprintf(stderr, "quarl-cli %s: %s: %s\n", command, TerminalText(what).c_str(),
          TerminalText(text).c_str());
}

bool LoadTimeline(const TimelineRequest& request, SessionRootGroup* root) {
  SessionReport report;
  if (IsSessionFile(request.in)) {
    std::string error;
    if (!OpenSession(request.in, root, &report, &error)) {
      Report(request, request.in, error);
      return false;
    }
  } else {
    LoadProblem problem;
    AtomRef<BarSound> sound(LoadSound(request.in, &problem));
    if (sound == nullptr) {
      report.missing.push_back(problem);
    } else {
      sound->Add(root, 0);
    }
  }
  for (const LoadProblem& p : report.changed) Warn(request, p.what, p.reason);
  if (report.Damaged()) {
    for (const LoadProblem& p : report.skipped)
      request.salvage ? Warn(request, p.what, p.reason) : Report(request, p.what, p.reason);
    if (!request.salvage) {
      Report(request, request.in,
             "the session is damaged; " + Nothing(request) + " (--salvage " + request.command +
                 "s what can be read)");
      return false;
    }
  }
  if (!report.missing.empty()) {
    // Every sound beyond the open-file limit fails alike: one line says so instead of a line
    // per sound.
    if (OpenFilesExhausted()) {
      Report(request, request.in,
             std::to_string(report.missing.size()) + " sound(s) could not be opened: all " +
                 std::to_string(OpenFileLimit()) +
                 " files this process may hold open are in use (the soft limit is already raised "
                 "to the hard one; raise that with 'ulimit -Hn' as root); " +
                 Nothing(request));
      return false;
    }
    for (const LoadProblem& p : report.missing) Report(request, p.what, p.reason);
    Report(request, request.in,
           std::to_string(report.missing.size()) + " sound(s) could not be loaded; " +
               Nothing(request));
    return false;
  }
  return true;
}

long TimelineEndAfter(const TimelineRequest& request, long from, SessionRootGroup* root) {
  const long end = SessionEnd(root);
  if (end <= 0) {
    Report(request, request.in,
           std::string("holds no sound to ") + request.command + "; " + Nothing(request));
    return -1;
  }
  if (from >= end) {
    Report(request, request.in,
           "--from " + std::to_string(from) + " is at or past the end (" + std::to_string(end) +
               " ms); " + Nothing(request));
    return -1;
  }
  return end;
}
