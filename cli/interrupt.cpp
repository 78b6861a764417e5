#include <cli/interrupt.h>

#include <csignal>
#include <initializer_list>

namespace {
volatile std::sig_atomic_t g_signal = 0;

void OnSignal(int signal) { g_signal = signal; }
}  // namespace

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(signal, &action, nullptr);
}

bool Interrupted() { return g_signal != 0; }

const char* InterruptReason() {
  switch (g_signal) {
    case SIGTERM:
      return "terminated";
    case SIGHUP:
      return "hung up";
    case SIGPIPE:
      return "the reader of the output went away";
    default:
      return "interrupted";
  }
}
