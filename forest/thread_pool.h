#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace veltra::forest {

// A fixed set of native threads that run one task at a time: run(task) calls task(w) once for
// every worker w in [0, size()), worker 0 on the calling thread, and returns when all are done.
// The threads start with the pool and wait for work between tasks (polling briefly, then asleep);
// the pool is not copyable and stops them when destroyed. A task that throws has its first
// exception rethrown by run.
class ThreadPool {
 public:
  explicit ThreadPool(std::size_t size) : size_(size == 0 ? 1 : size) {
    threads_.reserve(size_ - 1);
    try {
      for (std::size_t w = 1; w < size_; ++w) threads_.emplace_back([this, w] { serve(w); });
    } catch (...) {
      stop();
      throw;
    }
  }
  ~ThreadPool() { stop(); }
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  std::size_t size() const noexcept { return size_; }

  template <typename Task>
  void run(Task&& task) {
    if (size_ == 1) {
      task(std::size_t{0});
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      task_ = &task;
      invoke_ = [](void* t, std::size_t w) { (*static_cast<Task*>(t))(w); };
      error_ = nullptr;
      remaining_.store(size_ - 1, std::memory_order_relaxed);
      generation_.fetch_add(1, std::memory_order_release);
    }
    work_.notify_all();
    std::exception_ptr own;
    try {
      task(std::size_t{0});
    } catch (...) {
      own = std::current_exception();
    }
    const auto finished = [this] { return remaining_.load(std::memory_order_acquire) == 0; };
    if (!spin_until(finished)) {
      std::unique_lock<std::mutex> lock(mutex_);
      done_.wait(lock, finished);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    task_ = nullptr;
    if (own) std::rethrow_exception(own);
    if (error_) std::rethrow_exception(error_);
  }

 private:
  // Steps come a few microseconds apart, far less than a thread takes to wake up, so the threads
  // poll for a while before they sleep.
  static constexpr int kSpins = 20000;

  template <typename Ready>
  static bool spin_until(Ready&& ready) {
    for (int k = 0; k < kSpins; ++k) {
      if (ready()) return true;
      if (k % 64 == 63) std::this_thread::yield();
    }
    return ready();
  }

  void serve(std::size_t w) {
    std::uint64_t seen = 0;
    const auto wanted = [&] {
      return stopping_.load(std::memory_order_acquire) ||
             generation_.load(std::memory_order_acquire) != seen;
    };
    for (;;) {
      if (!spin_until(wanted)) {
        std::unique_lock<std::mutex> lock(mutex_);
        work_.wait(lock, wanted);
      }
      if (stopping_.load(std::memory_order_acquire)) return;
      seen = generation_.load(std::memory_order_acquire);
      std::exception_ptr error;
      try {
        invoke_(task_, w);
      } catch (...) {
        error = std::current_exception();
      }
      if (error) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!error_) error_ = error;
      }
      if (remaining_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        std::lock_guard<std::mutex> lock(mutex_);
        done_.notify_one();
      }
    }
  }

  void stop() noexcept {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_.store(true, std::memory_order_release);
    }
    work_.notify_all();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
  }

  std::size_t size_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable work_;  // a new task or stopping_
  std::condition_variable done_;  // remaining_ reached 0
  void* task_ = nullptr;
  void (*invoke_)(void*, std::size_t) = nullptr;
  std::atomic<std::size_t> remaining_{0};     // workers other than 0 still running the task
  std::atomic<std::uint64_t> generation_{0};  // tasks published so far
  std::atomic<bool> stopping_{false};
  std::exception_ptr error_;
};

}  // namespace veltra::forest
