#include <sonark/mixer/parallel_fill.h>

namespace sonark::mixer {

ParallelFill::ParallelFill() : two_cores_(std::thread::hardware_concurrency() >= 2) {}

ParallelFill::~ParallelFill() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void ParallelFill::Drain() {
  for (size_t i; (i = next_.fetch_add(1)) < count_;) (*work_)(i);
}

void ParallelFill::Helper() {
  unsigned long seen = 0;
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    wake_.wait(guard, [&] { return stop_ || round_ != seen; });
    if (stop_) return;
    seen = round_;
    helper_busy_ = true;
    guard.unlock();
    Drain();
    guard.lock();
    helper_busy_ = false;
    done_.notify_one();
  }
}

void ParallelFill::Run(size_t count, const std::function<void(size_t)>& work) {
  if (count == 0) return;
  if (count == 1 || !two_cores_) {
    for (size_t i = 0; i < count; ++i) work(i);
    return;
  }
  if (!thread_.joinable()) thread_ = std::thread([this] { Helper(); });
  {
    std::lock_guard<std::mutex> guard(lock_);
    work_ = &work;
    count_ = count;
    next_.store(0);
    ++round_;
  }
  wake_.notify_one();
  Drain();
  // The helper may still be on its last piece, or not have woken at all: wait until it is
  // out of the round, or its round has passed unclaimed.
  std::unique_lock<std::mutex> guard(lock_);
  done_.wait(guard, [&] { return !helper_busy_; });
  // A helper that wakes only now finds every piece taken and never calls `work`.
}

}  // namespace sonark::mixer
