#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>

namespace sonark::mixer {

// Runs independent pieces of work on the calling thread and one helper thread at once: the
// offline render tops up the buffers of its sounds this way, so that decoding (MPEG, codecs)
// uses a second core while the mixing itself stays on one thread. On a machine with one core
// everything runs on the caller. The helper thread is started on first use and stopped by the
// destructor.
class ParallelFill {
 public:
  ParallelFill();
  ParallelFill(const ParallelFill&) = delete;
  ParallelFill& operator=(const ParallelFill&) = delete;
  ~ParallelFill();

  // Calls work(i) once for every i below `count`, in any order and on either thread, and
  // returns when all have returned. Pieces must not share state.
  void Run(size_t count, const std::function<void(size_t)>& work);

 private:
  void Helper();
  // Takes pieces until none is left.
  void Drain();

  const bool two_cores_;
  std::thread thread_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable done_;
  const std::function<void(size_t)>* work_ = nullptr;
  size_t count_ = 0;
  std::atomic<size_t> next_{0};
  unsigned long round_ = 0;      // counts the rounds handed out
  bool helper_busy_ = false;     // the helper is inside the current round
  bool stop_ = false;
};

}  // namespace sonark::mixer
