#include <cli/terminal_keys.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

namespace {

// What the signal handlers need: plain data set up before they are installed.
struct termios g_saved {};
struct termios g_raw {};

// The signals that would end the process with the terminal left raw.
constexpr int kFatalSignals[] = {SIGQUIT, SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL};

// Only the foreground job may change the terminal; a background one would be stopped for it.
bool InForeground() { return tcgetpgrp(STDIN_FILENO) == getpgrp(); }

void Install(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
}

void Unblock(int signal) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void OnFatal(int signal) {
  tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
  Install(signal, SIG_DFL);
  Unblock(signal);
  raise(signal);
}

// Ctrl-Z: the shell gets its terminal back as it was; after `fg` the keys work again.
void OnStop(int) {
  tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
  Install(SIGTSTP, SIG_DFL);
  Unblock(SIGTSTP);
  raise(SIGTSTP);
  // Continued.
  Install(SIGTSTP, OnStop);
  if (InForeground()) tcsetattr(STDIN_FILENO, TCSANOW, &g_raw);
}

void SetHandlers(bool on) {
  for (int signal : kFatalSignals) Install(signal, on ? OnFatal : SIG_DFL);
  Install(SIGTSTP, on ? OnStop : SIG_DFL);
}

}  // namespace

TerminalKeys::TerminalKeys() {
  if (!isatty(STDIN_FILENO) || !InForeground() || tcgetattr(STDIN_FILENO, &g_saved) != 0) return;
  g_raw = g_saved;
  g_raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  g_raw.c_cc[VMIN] = 0;
  g_raw.c_cc[VTIME] = 0;
  // The handlers go in first, so that no moment leaves a raw terminal without them.
  SetHandlers(true);
  active_ = tcsetattr(STDIN_FILENO, TCSANOW, &g_raw) == 0;
  if (!active_) SetHandlers(false);
}

TerminalKeys::~TerminalKeys() {
  if (!active_) return;
  tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
  SetHandlers(false);
}

int TerminalKeys::Wait(int ms) {
  // In the background a pending key would wake the poll at once, and reading it would stop us.
  if (!active_ || !InForeground()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return -1;
  }
  pollfd in{STDIN_FILENO, POLLIN, 0};
  if (poll(&in, 1, ms) <= 0) return -1;
  unsigned char key = 0;
  return read(STDIN_FILENO, &key, 1) == 1 ? key : -1;
}
