// The writer's mutex, scoped lock and condition variable, annotated for clang's thread-safety analysis
// (-Wthread-safety): a field marked GUARDED_BY(mu_) read or written without mu_ held, or a function
// marked REQUIRES(mu_) called without it, is a compile error in the clang build of the test command.
// Other compilers see plain std::mutex code.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define ESW_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ESW_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) ESW_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY ESW_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) ESW_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) ESW_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) ESW_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) ESW_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) ESW_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) ESW_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS ESW_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace eswriter {

class CAPABILITY("mutex") Mutex {
 public:
  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }

 private:
  friend class CondVar;
  std::mutex mu_;
};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mu) ACQUIRE(mu) : mu_(mu) { mu_->Lock(); }
  ~MutexLock() RELEASE() { mu_->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mu_;
};

// Waits release the mutex and take it again before they return; wake-ups may be spurious, so callers
// wait in a loop on their condition. Every wait names the mutex it holds, so the analysis can check it.
class CondVar {
 public:
  void Wait(Mutex* mu) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  // Real time only: the writer's clock decides whether a deadline has passed (see Clock::WaitUntil).
  void WaitFor(Mutex* mu, std::chrono::microseconds d) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    cv_.wait_for(lock, d);
    lock.release();
  }
  void SignalAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace eswriter
