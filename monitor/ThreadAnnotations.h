// Locks that Clang checks: which lock guards which member, and which
// functions are called with a lock held (REQUIRES) or must not be
// (EXCLUDES). Built with Clang and -Wthread-safety, a read of a guarded
// member without its lock, or a call without the lock the callee requires,
// is a compile error; other compilers see nothing.
//
// Mutex is a plain, non-recursive mutex that says so to the analysis;
// RecursiveMutex is the ACE recursive mutex that a monitor's lock is (a
// subclass or a host may take it as one, and may call in with it held),
// annotated for our own uses, which never take it twice. MutexLock holds
// either for a scope. A function that runs both with and without a lock
// held is two functions: the one that takes the lock, and the one named
// ...Locked that REQUIRES it.
#ifndef VANTREL_MONITOR_THREADANNOTATIONS_H
#define VANTREL_MONITOR_THREADANNOTATIONS_H

#include <ace/Recursive_Thread_Mutex.h>

#include <mutex>

#if defined(__clang__) && !defined(_WIN32)
#define VANTREL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VANTREL_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) VANTREL_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VANTREL_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) VANTREL_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) VANTREL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) VANTREL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) VANTREL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VANTREL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// For an accessor that hands out the parts of a guarded object that are
// safe without its lock (atomics, lock-free structures); nothing else.
#define NO_THREAD_SAFETY_ANALYSIS VANTREL_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace WindowsAgentCommon {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex &) = delete;
  Mutex &operator=(const Mutex &) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

class CAPABILITY("mutex") RecursiveMutex : public ACE_Recursive_Thread_Mutex {
 public:
  void lock() ACQUIRE() { acquire(); }
  void unlock() RELEASE() { release(); }
};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex &mutex) ACQUIRE(mutex) : plain_(&mutex) { plain_->lock(); }
  explicit MutexLock(RecursiveMutex &mutex) ACQUIRE(mutex) : recursive_(&mutex) { recursive_->lock(); }
  ~MutexLock() RELEASE() { plain_ != nullptr ? plain_->unlock() : recursive_->unlock(); }
  MutexLock(const MutexLock &) = delete;
  MutexLock &operator=(const MutexLock &) = delete;

 private:
  Mutex *plain_ = nullptr;
  RecursiveMutex *recursive_ = nullptr;
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_MONITOR_THREADANNOTATIONS_H
