#pragma once

class CPCMMixer;

// The engine's one background thread: while the current mixer plays it wakes every millisecond,
// lets the sounds refill their buffers and runs the device pump; otherwise every 20 ms, closing
// a device that is no longer needed. Each round runs under the engine lock.
class MixingThread {
 public:
  // 1 when the thread runs (also when it already ran); 0 when it cannot be created.
  static int Start();
  // Clears the run flag and waits for the thread to end.
  static void Stop();
  // One round for `mixer`, as the thread runs it; true when there was work, so the next round
  // comes sooner. The engine lock must be held.
  static bool Round(CPCMMixer* mixer);
};
