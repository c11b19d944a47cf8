// A reader/writer lock with std::shared_mutex's interface. On Windows it is
// a slim reader/writer lock of the system: MinGW's std::shared_mutex, which
// rests on winpthreads' rwlock, was seen under Wine to let two writers in at
// once (a registry that took the same string twice). Elsewhere it is
// std::shared_mutex itself.
#ifndef VANTREL_COMMON_SHAREDMUTEX_H
#define VANTREL_COMMON_SHAREDMUTEX_H

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#define VANTREL_SHAREDMUTEX_UNDEF_NOMINMAX
#endif
#include <windows.h>
#ifdef VANTREL_SHAREDMUTEX_UNDEF_NOMINMAX
#undef NOMINMAX
#undef VANTREL_SHAREDMUTEX_UNDEF_NOMINMAX
#endif
#endif

#include <shared_mutex>  // std::shared_lock, and the lock itself elsewhere

namespace WindowsAgentCommon {

#ifdef _WIN32
class SharedMutex {
 public:
  SharedMutex() = default;
  SharedMutex(const SharedMutex &) = delete;
  SharedMutex &operator=(const SharedMutex &) = delete;

  void lock() { AcquireSRWLockExclusive(&lock_); }
  bool try_lock() { return TryAcquireSRWLockExclusive(&lock_) != 0; }
  void unlock() { ReleaseSRWLockExclusive(&lock_); }
  void lock_shared() { AcquireSRWLockShared(&lock_); }
  bool try_lock_shared() { return TryAcquireSRWLockShared(&lock_) != 0; }
  void unlock_shared() { ReleaseSRWLockShared(&lock_); }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
};
#else
using SharedMutex = std::shared_mutex;
#endif

}  // namespace WindowsAgentCommon

#endif  // VANTREL_COMMON_SHAREDMUTEX_H
