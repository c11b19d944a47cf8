// The worker threads of one monitor: starting them, joining those that end
// on their own, and the join of all of them when the monitor stops. The
// threads are the task's (ACE): the pool keeps no count of its own, the
// task's thr_count() is what runs.
//
// A thread that cannot be started (the system's thread limit) is not counted:
// an Error line says so at most once a minute, and the next registration or
// backlog check tries again.
//
// Threads: TopUp runs on registering threads and in the backlog check,
// GrowTo in the backlog check, NoteExited on a worker just before it
// returns, Close and Join on Stop's thread.
//
// Locks: mutex_ serialises starting threads and joining ended ones; it may
// be taken under the monitor lock, never the other way round. Under it a
// thread is joined only once it has noted that it ends; nothing waits for a
// running worker while holding it, since a worker inside a receiver may need
// it to register a path. exitedMutex_ guards only the list of workers that
// ended on their own, and is taken under mutex_ or alone.
//
// Lifetime: every thread the pool starts is joined, by JoinEnded when it
// ended on its own, else by Join. A worker touches the task until its very
// last step, so the task may go only after Join.
#ifndef VANTREL_MONITOR_WORKERPOOL_H
#define VANTREL_MONITOR_WORKERPOOL_H

#include "monitor/ThreadAnnotations.h"

#include <VantrelCommon/Logger.h>

#include <ace/Task.h>

#include <atomic>
#include <cstdint>
#include <vector>

namespace WindowsAgentCommon {

class WorkerPool {
 public:
  // `ownerLog` is the monitor's, and outlives the pool.
  WorkerPool(ACE_Task_Base &owner, const Log &ownerLog) : task_(owner), log_(ownerLog) {}
  WorkerPool(const WorkerPool &) = delete;
  WorkerPool &operator=(const WorkerPool &) = delete;

  // Starts workers until `target` run (never stops any); nothing once closed.
  void GrowTo(unsigned short target) EXCLUDES(mutex_);
  // GrowTo(floor), costing no lock when the pool is full.
  void TopUp(unsigned short floor) EXCLUDES(mutex_) {
    if (task_.thr_count() < floor) {
      GrowTo(floor);
    }
  }
  // Joins the workers that ended on their own (a retire message, an error).
  void JoinEnded() EXCLUDES(mutex_);
  // Called by a worker that ends on its own, just before it returns.
  void NoteExited() EXCLUDES(exitedMutex_);

  // No worker starts any more once the starts under way have ended, which
  // Settle waits for: after it, thr_count() is every worker there will be.
  void Close() { closed_ = true; }
  bool Closed() const { return closed_.load(); }
  void Settle() EXCLUDES(mutex_) { MutexLock pool(mutex_); }
  // Waits until every worker of a closed pool has ended, and joins them.
  // Holds no lock while it waits: a worker it waits for may be inside a
  // receiver that registers a path, which tops the pool up.
  void Join() EXCLUDES(mutex_, exitedMutex_);

 private:
  void ReapLocked() REQUIRES(mutex_) EXCLUDES(exitedMutex_);

  ACE_Task_Base &task_;
  const Log &log_;
  Mutex mutex_;
  std::int64_t lastStartFailure_ GUARDED_BY(mutex_) = 0;  // seconds since 1970 of the last Error line
  Mutex exitedMutex_;
  std::vector<ACE_thread_t> exitedWorkers_ GUARDED_BY(exitedMutex_);  // ended workers that nobody has joined
  std::atomic<bool> closed_{false};
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_MONITOR_WORKERPOOL_H
