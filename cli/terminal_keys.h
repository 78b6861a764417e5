#pragma once

// Single key presses from standard input while it is a terminal: the terminal is put into a
// mode without line buffering and echo for the lifetime of the object and given back as it was
// on every way out: the destructor, a stop by Ctrl-Z (and raw again after `fg`), and the
// signals that end the process without running destructors (SIGQUIT, SIGABRT, SIGSEGV, ...).
// Ctrl-C and the other signals of cli/interrupt still arrive as signals.
class TerminalKeys {
 public:
  TerminalKeys();
  ~TerminalKeys();
  TerminalKeys(const TerminalKeys&) = delete;
  TerminalKeys& operator=(const TerminalKeys&) = delete;

  // Whether keys are read at all (standard input is a terminal).
  bool Active() const { return active_; }
  // Waits up to `ms` for a key; the key, or -1 when none came (or a signal broke the wait).
  int Wait(int ms);

 private:
  bool active_ = false;
};
