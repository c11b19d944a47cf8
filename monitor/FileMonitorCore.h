// What both monitor kinds share. A concrete kind supplies its record type
// (derived from FileRecord), the baseline and the check of one record, and a
// MonitorKind that names the few places where the two kinds speak or wait
// differently.
//
// The shared part is written along the data path, one file per lifetime:
//   FileMonitorCore.cpp          construction, settings, the two timer jobs
//   FileMonitorRegistration.cpp  the table of records, AddMonitor, RemoveMonitor
//   FileMonitorSweep.cpp         CheckFiles and the due index
//   FileMonitorPool.cpp          the worker pool, and its growth and retirement by the backlog
//   FileMonitorWorker.cpp        svc, the look-up, credentials, the check
//   FileMonitorDelivery.cpp      FireFileChange, the calls to the receivers
//   FileMonitorStop.cpp          Stop and teardown
// Each file opens with its own contract: the threads that enter it, the locks
// it takes, and what may outlive what. The pieces with a lifetime or a lock
// of their own are classes of their own, each in its header:
//   MonitorSettings.h  the settings (MonitorSettingValues) and their table
//   WorkerPool.h       the worker threads: start, join, close
//   MonitorTimers.h    the scheduler and the two timer jobs
//   MonitorCounters.h  the statistics' counts
//   RecordsByKey.h     the records by their keys
//   RecordPool.h       the memory of the records and of the table's nodes
//   Sweep.h            the due index and the sweep's own state
//   CheckBatches.h     the queue, and the messages that workers took in batches
//   DeliveryTable.h    the receiver calls under way in the process
//   ThreadAnnotations.h  the lock annotations that Clang checks
//
// Data path: the scheduler's thread runs CheckFilesLocked every sweep period
// with mtxMonitor held; it takes the due records from the due index, marks each
// queued and puts one check message per record on the task's queue, never
// waiting for queue room. A worker (svc) takes a batch of messages under one
// lock of the queue and comes to them in order (CheckBatches.h); for each it
// finds the record by the message's key, switches credentials, checks and
// reports with no lock held, and clears the record's queued mark on every way
// out of the check.
//
// Locks: mtxMonitor guards the table, every record's sinks, checkInterval,
// nextCheck and due-index entry, and the timer jobs. It is an ACE recursive
// mutex, so that a subclass or a host that holds it may still call in (a
// caller of CheckFiles may hold it, as the timer job does), but our own code
// never takes it twice: each function that needs it says whether it takes it
// (EXCLUDES) or is called with it held (REQUIRES, and then named ...Locked
// where a public twin takes it), and a Clang build checks both. A record's queued mark is
// atomic and needs no lock. The pool's own lock (WorkerPool.h) may be taken
// under mtxMonitor, never the other way round. Stop's own mutex serialises
// Stop calls made from outside the pool.
#ifndef VANTREL_MONITOR_FILEMONITORCORE_H
#define VANTREL_MONITOR_FILEMONITORCORE_H

#include "monitor/CheckBatches.h"
#include "monitor/FileMonitorMessage.h"
#include "monitor/IFileMonitor.h"
#include "monitor/MonitorCounters.h"
#include "monitor/MonitorSettings.h"
#include "monitor/MonitorTimers.h"
#include "monitor/RecordPool.h"
#include "monitor/RecordsByKey.h"
#include "monitor/Sweep.h"
#include "monitor/ThreadAnnotations.h"
#include "monitor/TimerCallbackHandler.h"
#include "monitor/VantrelMonitorExport.h"
#include "monitor/WorkerPool.h"

#include <VantrelCommon/BacklogMonitor.h>
#include <VantrelCommon/Logger.h>
#include <VantrelCommon/Scheduler.h>
#include <VantrelCommon/SecurityManager.h>

#include <ace/Time_Value.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace WindowsAgentCommon {

// The receivers of a record, each once, in ascending address order. Most
// paths have one receiver, which is kept in place; two or more (or a null
// one, or one at an odd address) go to a sorted vector made for them, whose
// address takes the receiver's place with its lowest bit set: one word.
class SinkSet {
 public:
  typedef IFileMonitorSink *const *const_iterator;
  SinkSet() = default;
  SinkSet(const SinkSet &) = delete;
  SinkSet &operator=(const SinkSet &) = delete;
  ~SinkSet() { delete Many(); }

  // May throw std::bad_alloc, and then changes nothing.
  void insert(IFileMonitorSink *sink) {
    if (std::vector<IFileMonitorSink *> *many = Many()) {
      const auto at = std::lower_bound(many->begin(), many->end(), sink, std::less<IFileMonitorSink *>());
      if (at == many->end() || *at != sink) many->insert(at, sink);
    } else if (one_ == nullptr || one_ != sink) {
      std::vector<IFileMonitorSink *> both;
      if (one_ != nullptr) both.push_back(one_);
      if (one_ != nullptr || !InPlace(sink)) {
        both.push_back(sink);
        std::sort(both.begin(), both.end(), std::less<IFileMonitorSink *>());
        one_ = Tagged(new std::vector<IFileMonitorSink *>(std::move(both)));
      } else {
        one_ = sink;
      }
    }
  }
  void erase(IFileMonitorSink *sink) {
    std::vector<IFileMonitorSink *> *many = Many();
    if (many == nullptr) {
      if (sink != nullptr && one_ == sink) one_ = nullptr;
      return;
    }
    const auto at = std::lower_bound(many->begin(), many->end(), sink, std::less<IFileMonitorSink *>());
    if (at != many->end() && *at == sink) many->erase(at);
    if (many->empty() || (many->size() == 1 && InPlace(many->front()))) {
      one_ = many->empty() ? nullptr : many->front();
      delete many;
    }
  }
  std::size_t count(IFileMonitorSink *sink) const {
    return std::binary_search(begin(), end(), sink, std::less<IFileMonitorSink *>()) ? 1 : 0;
  }
  bool empty() const { return begin() == end(); }
  const_iterator begin() const { return Many() ? Many()->data() : &one_; }
  const_iterator end() const {
    return Many() ? Many()->data() + Many()->size() : &one_ + (one_ != nullptr ? 1 : 0);
  }

 private:
  static bool InPlace(const IFileMonitorSink *sink) {
    return sink != nullptr && (reinterpret_cast<std::uintptr_t>(sink) & 1) == 0;
  }
  static IFileMonitorSink *Tagged(std::vector<IFileMonitorSink *> *many) {
    return reinterpret_cast<IFileMonitorSink *>(reinterpret_cast<std::uintptr_t>(many) | 1);
  }
  std::vector<IFileMonitorSink *> *Many() const {
    const std::uintptr_t bits = reinterpret_cast<std::uintptr_t>(one_);
    return (bits & 1) != 0 ? reinterpret_cast<std::vector<IFileMonitorSink *> *>(bits & ~std::uintptr_t{1}) : nullptr;
  }

  // The only receiver, or the tagged address of the vector.
  IFileMonitorSink *one_ = nullptr;
};

// A record's queued and unwatched marks in one atomic byte. While the
// queued mark is set, the record stays in the table and its memory with it:
// the worker that checks it reaches it by a plain pointer. Whichever of
// RemoveMonitor (the last receiver goes) and the end of the check comes
// second frees the record, and the one word decides which: the worker's
// clear of the queued mark succeeds only while the record is watched, so a
// worker that finds it unwatched frees it under mtxMonitor itself, and a
// RemoveMonitor that finds no check out frees it at once.
class CheckMarks {
 public:
  // The sweep's: sets the queued mark; false when it was set already.
  bool TryQueue() { return (bits_.fetch_or(kQueued) & kQueued) == 0; }
  // Clears the queued mark: under mtxMonitor, or by the sweep for a record it
  // marked and did not queue.
  void Unqueue() { bits_.fetch_and(static_cast<std::uint8_t>(~kQueued)); }
  // The worker's, when its check ends: clears the queued mark if the record
  // still has a receiver, and then the record may go at any moment; false,
  // changing nothing, when it has none (the worker then frees it under
  // mtxMonitor).
  bool EndWhileWatched() {
    std::uint8_t expected = kQueued;
    return bits_.compare_exchange_strong(expected, 0);
  }
  // Under mtxMonitor: the last receiver went, or one came back.
  void Unwatch() { bits_.fetch_or(kUnwatched); }
  void Watch() { bits_.fetch_and(static_cast<std::uint8_t>(~kUnwatched)); }
  bool Queued() const { return (bits_.load() & kQueued) != 0; }
  explicit operator bool() const { return Queued(); }

 private:
  static constexpr std::uint8_t kQueued = 1;
  static constexpr std::uint8_t kUnwatched = 2;
  std::atomic<std::uint8_t> bits_{0};
};

// The part of a watched-path record that both kinds share. One record per
// distinct registered path string, held by the table (mapFiles) and, while it
// checks it, by a worker.
//
// Lifetime: a record stays in the table while it has a receiver or a check
// message for it is out. It leaves the table (FreeIfUnused, under
// mtxMonitor) once both are over: its last receiver gone, and its queued
// mark clear, which the sweep sets before it builds the record's message and
// the worker clears only when the check, look-up included, has ended. So a
// check message's key always finds its own record (RecordsByKey::Find, with
// no lock), and a key is released only when no message can carry it any
// more; RecordsByKey never hands a released key out again. Whichever of
// RemoveMonitor (the last receiver goes) and the worker (the check ends)
// comes second frees the record (CheckMarks). Anything that reaches a record
// from a message relies on this rule.
//
// A record has no virtual function, so no table pointer: what differs by kind
// is asked of the monitor (FileMonitorCore::HasAcceptedState, InitialScan),
// and a record is only ever destroyed as its own kind, by the shared_ptr that
// allocate_shared gave it (hence the protected destructor).
struct VANTREL_MONITOR_API FileRecord {
  FileRecord(const std::wstring &registeredPath, std::wstring_view watchedPath,
             const ACE_Time_Value &interval, std::uint64_t hCreds, bool wantIdle);
  FileRecord(const FileRecord &) = delete;
  FileRecord &operator=(const FileRecord &) = delete;

  // nextCheck = the monotonic clock now + checkInterval. Under mtxMonitor.
  void ScheduleNextCheck();

  // The path as registered, which the table's key and the check messages
  // view.
  struct Paths {
    explicit Paths(const std::wstring &registeredPath) : registered(registeredPath) {}
    const std::wstring registered;
  };

  // The record's place in the monitor's due index (Sweep.h); the sweep's,
  // under mtxMonitor. While the record has receivers it is linked into the
  // bucket of its due time (`at`, which is nextCheck when it was placed);
  // the links are here, so that placing it never allocates.
  struct DueSlot {
    FileRecord *previous = nullptr;
    FileRecord *next = nullptr;
    std::int64_t at = 0;  // monotonic microseconds
    // Where the record's check falls due at its interval (monotonic
    // microseconds; INT64_MAX while unknown) when the sweep spared it and
    // put its next check off to its full check: a notification brings it
    // back to that grid.
    std::int64_t regularDue = INT64_MAX;
  };

  // In the order of who touches them: first what the sweep reads (the path
  // and key it writes into the message, the interval) and writes (the due
  // time and links), then what a check reads, next to the kind's own fields
  // that follow the shared record, so that a polling check's reads of the
  // record are one run at its end: two lines at most, which the worker
  // fetches ahead (HeldMessages::kRecordFrom). (The sweep writes the queued
  // mark and its flags there too: that line is shared all the same.)
  SinkSet sinks;                       // under mtxMonitor
  const Paths paths;
  std::int64_t key;                    // fixed at registration
  ACE_Time_Value checkInterval;        // under mtxMonitor
  ACE_Time_Value nextCheck;            // monotonic clock; under mtxMonitor
  DueSlot due;
  std::int64_t lastWarnTime;           // seconds since 1970; the checking worker's
  // The path that the checks look at: paths.registered, or the kind's own
  // form of it where that differs, a copy that the record owns.
  const std::wstring &path;
  const std::uint64_t hCreds;
  // The flags below take a byte each, but the three fixed at registration
  // share one: each byte that the record saves lets a kind's own fields
  // begin in the shared record's end.
  const bool wantIdle : 1;
  // IDLE_REPORTS_UNTIL_PRESENT: a report after the first check and after
  // every check that leaves the record without an accepted state. Fixed at
  // registration, before the record is in the table.
  bool idleUntilPresent : 1;
  // Whether check messages name the record by its path (else by its key).
  const bool travelsAsText : 1;
  // Whether the record is in the due index (`due` links it); under
  // mtxMonitor, the sweep's.
  bool inDueIndex = false;
  // A change notification named the record since the sweep last queued its
  // check: the sweep does not spare that check. Under mtxMonitor.
  bool dueNotified = false;
  // The queued mark (set by the sweep that queues the record's check,
  // cleared when the check ends: a record is never queued twice) and the
  // unwatched mark (no receiver left) in one atomic word; see CheckMarks.
  CheckMarks queued;
  bool initialized;                    // the checking worker's

 protected:
  ~FileRecord();

 private:
  // The constructor proper, told whether the path travels as text: that is
  // asked first, so that nothing throws once the record owns a copy of its
  // watched path.
  FileRecord(const std::wstring &registeredPath, std::wstring_view watchedPath, const ACE_Time_Value &interval,
             std::uint64_t hCreds, bool wantIdle, bool asText);
};

// The key of the table of records (mapFiles): the record's own registered
// path, by its address, so that a table node holds one pointer for it. Keys
// order and compare as their paths, with std::wstring and std::wstring_view
// alike; one is made only of a string that outlives it, never a temporary.
struct RecordPath {
  RecordPath(const std::wstring &registered) : path(&registered) {}
  RecordPath(const std::wstring &&) = delete;
  const std::wstring *path;
};
struct RecordPathOrder {
  typedef void is_transparent;
  static std::wstring_view View(const RecordPath &key) { return *key.path; }
  static std::wstring_view View(const std::wstring &path) { return path; }
  static std::wstring_view View(std::wstring_view path) { return path; }
  template <class A, class B>
  bool operator()(const A &a, const B &b) const {
    return View(a) < View(b);
  }
};

// The points where the two kinds differ in what they say or how they wait.
struct MonitorKind {
  const char *className;          // "FileMonitorStatOnly": log names, exception sources
  const char *exitLine;           // the worker's last line
  const char *removeLineFormat;   // RemoveMonitor's Debug line, with %ls for the path
  bool logsRegistrationAndChecks; // "Adding monitor ...", "CHECK File ...", "switching creds ..."
  bool refusesAddWhenNotRunning;  // AddMonitor throws before Initialize and after Stop
  bool pollsThreadCountOnStop;    // "Waiting for %d threads to exit..." every 100 ms, else "Waiting..."
  bool credentialsWarningInUtf8;  // path as UTF-8 and the switch status; else wide path and last error
  bool reportsWithoutReceivers;   // "File changed" is logged even when no receiver is left
};

// The settings and the timers are bases, so that their members read under
// the names they have always had, in the monitor and in its subclasses alike.
class VANTREL_MONITOR_API FileMonitorCore : public IFileMonitor,
                                            public IdleReportsRegistration,
                                            public CheckedPresence,
                                            protected MonitorSettingValues,
                                            protected MonitorTimers {
 public:
  enum TimerJob_t { TIMER_JOB_CHECK_BACKLOG = 1, TIMER_JOB_CHECK_FILES = 2 };

  typedef std::multimap<std::string, std::string> Settings;

  // The line number that AddMonitor's InitializationException carries
  // before Initialize: readers have always been given this one.
  static constexpr int kAddBeforeInitializeLine = 134;

  // Queue water marks, in bytes of queued blocks.
  static constexpr std::size_t kQueueLowWaterMark = 999950;
  static constexpr std::size_t kQueueHighWaterMark = 1000000;

  ~FileMonitorCore() override;

  // The deleter of a shared monitor whose last reference may go on one of
  // its own workers (a receiver that lets go inside OnFileChanged): there
  // the destructor could not wait for the pool it runs on, so the deletion
  // is handed to a thread outside the pool, which stops, joins and destroys
  // the monitor once the worker is out of the receiver. Anywhere else it
  // deletes at once. The factory's monitors are held with it; a monitor
  // made by hand is held with it as std::shared_ptr<T>(new T, Deleter()).
  struct VANTREL_MONITOR_API Deleter {
    void operator()(FileMonitorCore *monitor) const;
  };

  // IFileMonitor.
  void SetDefaultCredentials(const std::uint64_t &hCreds) override;
  void AddMonitor(const std::wstring &path, IFileMonitorSink *sink, unsigned int check,
                  const std::uint64_t &hCreds, bool wantIdle) override EXCLUDES(mtxMonitor);
  void AddWithIdleReports(const std::wstring &path, IFileMonitorSink *sink, unsigned int check,
                          const std::uint64_t &hCreds, IdleReports idle) override EXCLUDES(mtxMonitor);
  void RemoveMonitor(const std::wstring &path, IFileMonitorSink *sink) override EXCLUDES(mtxMonitor);
  std::wstring GetFilename(const std::int64_t &key) override;
  bool FoundPresent(const std::int64_t &key) override;
  // One sweep (CheckFilesLocked under mtxMonitor).
  void CheckFiles() override EXCLUDES(mtxMonitor);
  bool IsMonitored(const std::wstring &path) const override EXCLUDES(mtxMonitor);
  bool HasSinkTargets(const std::wstring &path, IFileMonitorSink *sink) const override EXCLUDES(mtxMonitor);
  // Ends the timers and the pool and empties the queue; returns when every
  // worker has ended. Called on one of this monitor's own worker threads
  // (from OnFileChanged), it cannot wait for the pool that it belongs to:
  // it stops the timers, posts the quit message and returns at once with a
  // Warn line; the workers end after their current message, and the next
  // Stop from another thread (the factory's, or the destructor's) waits for
  // them and empties the queue. Never throws.
  void Stop() override EXCLUDES(mtxMonitor);
  FileMonitorStatistics GetStatistics() const override EXCLUDES(mtxMonitor);
  // Calls to receivers that ended in an exception since the monitor was
  // made; each was dropped without a log line, and the other receivers of
  // the report were still called.
  std::uint64_t ReceiverFailures() const { return counters_.ReceiverFailures(); }

  // Reads the settings and starts the timers. A second call, or a call after
  // Stop, changes nothing and logs a Warn line.
  virtual void Initialize(const Settings &settings);

  int svc() override;

  const std::string &LogName() const { return strLogName; }

 protected:
  explicit FileMonitorCore(const MonitorKind &kind);

  // Called by the timer handler on the scheduler's thread.
  virtual void OnTimerExpired(TimerJob_t job) EXCLUDES(mtxMonitor);
  friend class TimerCallbackHandler<FileMonitorCore, TimerJob_t>;

  void AdaptToProcessingBacklog() REQUIRES(mtxMonitor);

  // Stop, then the end of the timer thread. Each concrete destructor calls
  // it first, so that no worker or timer callback reaches a half-destroyed
  // object.
  void StopAndQuiesce() EXCLUDES(mtxMonitor);

  // "FileMonitor.ReportReplacement": whether the checks report a change of
  // the file at a path (FILE_MON_CHANGE_REPLACED). Read by the workers, set
  // once by Initialize.
  bool ReportsReplacement() const { return reportReplacement; }

  // "FileMonitor.FullCheckPeriodMillis": how long the notification monitor
  // may take a file's state as unchanged, on the word of the file's change
  // notification, before it reads the file again; 0 reads it at every
  // check. Read by the workers, set once by Initialize.
  ACE_Time_Value FullCheckPeriod() const {
    return ACE_Time_Value(static_cast<time_t>(fullCheckPeriodMillis / 1000),
                          static_cast<suseconds_t>(fullCheckPeriodMillis % 1000 * 1000));
  }

  // "FileMonitor.CheckWhenNotified": whether a path whose change was
  // notified is checked at the next sweep rather than at its interval (at
  // most once a sweep). Set once by Initialize.
  bool ChecksWhenNotified() const { return checkWhenNotified; }

  // What a kind supplies.
  // Whether the record holds an accepted state of its path; the worker takes
  // the baseline (InitialScan) before a check of a record without one.
  virtual bool HasAcceptedState(const FileRecord &record) const = 0;
  // Takes the record's baseline once; does nothing once it is initialized.
  virtual void InitialScan(FileRecord &record) = 0;
  virtual std::shared_ptr<FileRecord> NewRecord(const std::wstring &path, const ACE_Time_Value &interval,
                                                std::uint64_t hCreds, bool wantIdle) = 0;
  // One check; returns the change flags. The log is the checking worker's
  // own, lent for the check. `sent` is the record's registered path as the
  // check's message carried it, in the message's block that the worker has
  // just read (no units where the check has none): the kind may read the
  // path there rather than from the record's string, whose buffer is
  // elsewhere in memory.
  virtual int CheckFile(FileRecord &record, const Log &threadLog, const FileMonitorMessage::PathUnits &sent) = 0;
  // Appends the keys of the records whose change was notified since the
  // last call; true when notifications were lost (the system dropped
  // events), so that any record may have changed unnoticed. Called by every
  // sweep under mtxMonitor; a kind without notifications has none.
  virtual bool TakeNotifiedKeys(std::vector<std::uint64_t> &) REQUIRES(mtxMonitor) { return false; }
  // Whether the sweep may take the record as unchanged without a check, on
  // the word of its change notification: nothing was notified about it
  // since its last check (the sweep has seen to that), and those
  // notifications reach the sweep (TakeNotifiedKeys). `fullCheck` is then
  // when its state must be read all the same (monotonic microseconds).
  // Called by the sweep under mtxMonitor while it holds the record's queued
  // mark, so the record's check state is the sweep's to read.
  virtual bool SparesCheck(FileRecord &, std::int64_t /*now*/, std::int64_t & /*fullCheck*/) REQUIRES(mtxMonitor) {
    return false;
  }

  // The rate limit of warnings about one record: true, and the record's
  // lastWarnTime moved to now, when more than a minute has passed since the
  // last warning about it.
  static bool WarningDue(FileRecord &record);

  // Logs the change and calls every receiver of the record, in ascending
  // address order, from a copy of its receiver set taken under mtxMonitor;
  // a receiver removed since the copy was taken is skipped. Receiver
  // exceptions are swallowed.
  void FireFileChange(FileRecord &record, int flags) EXCLUDES(mtxMonitor);
  // One call to a receiver, entered in the table of deliveries by the caller.
  void Deliver(FileRecord &record, IFileMonitorSink &sink, int flags);

  std::shared_ptr<BacklogMonitor> spBacklogMonitor;

  // Keyed by each record's paths.registered: the path is stored once. Its
  // nodes, and the records (NewRecord's allocate_shared), are in the
  // RecordPool, whose chunks recordPoolHolder_ keeps until the table and
  // the records have gone.
  RecordPool::Holder recordPoolHolder_;
  std::map<RecordPath, std::shared_ptr<FileRecord>, RecordPathOrder,
           RecordPoolAllocator<std::pair<const RecordPath, std::shared_ptr<FileRecord>>>>
      mapFiles GUARDED_BY(mtxMonitor);
  // The records of mapFiles by their keys, which it hands out and writes
  // into the records; see RecordsByKey.h. A slot names the record itself,
  // so that a look-up goes from the slot straight to the record.
  struct RecordKey {
    std::int64_t &operator()(FileRecord &record) const { return record.key; }
  };
  RecordsByKey<FileRecord, RecordKey> registry;
  mutable RecursiveMutex mtxMonitor;
  std::shared_ptr<TimerCallbackHandler<FileMonitorCore, TimerJob_t>> spTimerHandler;
  std::atomic<std::uint64_t> hDefaultCreds;
  ACE_Time_Value tvStart;           // time of day of Initialize
  ACE_Time_Value startMonotonic_;  // the same moment on the monotonic clock
  std::atomic<bool> bInitialized;
  std::string strLogName;
  Log log;
  WorkerPool pool_;

 private:
  // Per worker thread: what svc keeps between messages.
  struct WorkerContext;

  // The worker (FileMonitorWorker.cpp). TakeMessages is its loop, which
  // returns why it ended.
  enum class WorkerEnd { kQuit, kRetire, kQueueClosed };
  WorkerEnd TakeMessages(WorkerContext &ctx) EXCLUDES(mtxMonitor);
  void HandleCheck(WorkerContext &ctx, const FileMonitorMessage::InBlock &message) EXCLUDES(mtxMonitor);
  // Gives back the blocks of the checks that ended and counts them.
  void EndBatch(WorkerContext &ctx) noexcept;
  // Whether the worker now runs under the record's credentials.
  bool SwitchCredentials(WorkerContext &ctx, const FileRecord &record);
  void WarnCredentials(WorkerContext &ctx, FileRecord &record);
  FileRecord *LookUp(const FileMonitorMessage::InBlock &message, std::shared_ptr<FileRecord> &kept, bool &ownsMark,
                     FileMonitorMessage::PathUnits &sent) EXCLUDES(mtxMonitor);
  // The worker's end of a record's check: clears its queued mark, and frees
  // the record if it has no receiver left. Never throws.
  void CheckEnded(FileRecord &record) noexcept EXCLUDES(mtxMonitor);
  // Under mtxMonitor: takes the record out of the table and releases its key
  // when it has no receiver and no check message out (FileRecord).
  void FreeIfUnused(FileRecord &record) REQUIRES(mtxMonitor);
  // Logs, at most once a minute, why AddMonitor or RemoveMonitor (`what`
  // the path) failed; called inside the handler of the exception.
  void RegistrationFailed(const char *what, const std::wstring &path) noexcept;
  // Whether the calling thread is one of this monitor's workers.
  bool OnOwnWorker() const;

  // The sweep and its due index (FileMonitorSweep.cpp). A sweep comes at
  // the timer's tick (or when asked for), or is a refill: run by a worker
  // that has drained the queue to its refill mark, which then takes what
  // the refill put on.
  enum class SweepStart { kTick, kRefill };
  void CheckFilesLocked(SweepStart start = SweepStart::kTick) REQUIRES(mtxMonitor);
  // A timer's job, or a refill, under mtxMonitor; a job that throws is
  // logged and tried again at its next turn.
  void RunJob(TimerJob_t job, SweepStart start) EXCLUDES(mtxMonitor);
  void Reindex(FileRecord &record) REQUIRES(mtxMonitor);
  void BringNotifiedForward(std::int64_t now) REQUIRES(mtxMonitor);
  // Takes a record that the sweep spared out of the check messages until its
  // full check, on its interval's grid from `regular`.
  void PutOff(FileRecord &record, std::int64_t regular, std::int64_t fullCheck) REQUIRES(mtxMonitor);
  // A block that finds no room is released: a retire message then waits
  // for the backlog's next low verdict.
  void PutWithoutWaiting(ACE_Message_Block *block);
  // The sweep's chain of `count` check messages, linked both ways from
  // `first` to `last` and told in order by `described`: queued, or
  // released when it finds no room. `wake`: whether one waiting worker is
  // woken for it.
  bool PutChainWithoutWaiting(ACE_Message_Block *first, ACE_Message_Block *last, std::size_t count,
                              const QueuedBlock *described, bool wake);
  static void ReleaseChain(ACE_Message_Block *chain);
  void SweepIfDrained() EXCLUDES(mtxMonitor);

  // The pool's end of a worker that ends on its own.
  void NoteExitedWorker() { pool_.NoteExited(); }

  // Delivery (FileMonitorDelivery.cpp). Under mtxMonitor: the serial that
  // the next call to a receiver will carry.
  static std::uint64_t NextDeliverySerial();
  // Without mtxMonitor: waits until no call to the receiver for the record
  // that began before `before` runs, unless the calling thread is inside a
  // report itself (a worker of any monitor), which never waits.
  static void AwaitDeliveries(const FileRecord &record, const IFileMonitorSink *sink, std::uint64_t before);


  const MonitorKind &kind_;

  // The task's message queue, and the check messages that the workers took
  // off it in batches and have not come to yet (CheckBatches.h).
  // Both are safe on any thread.
  mutable CheckQueue queue_;
  mutable HeldMessagesRegistry held_;
  // Messages waiting: in the queue, and held by the workers.
  std::size_t MessagesWaiting() const { return queue_.message_count() + held_.Count(); }
  // A chain that a worker held goes back to the head of the queue, unless
  // Stop has begun: then it goes, as the queue's own checks do.
  void PutBack(ACE_Message_Block *chain);

  // The due index (the records with at least one receiver, by nextCheck in
  // microseconds of the monotonic clock) and the sweep's own state.
  Sweep sweep_ GUARDED_BY(mtxMonitor);
  // The sweep's chain as it is told to the queue (CheckQueue::PutChain).
  std::vector<QueuedBlock> sweepChain_ GUARDED_BY(mtxMonitor);
  // The parts of the sweep that the workers use without mtxMonitor: the
  // deferral mark and the block pool, both safe on any thread.
  Sweep &SweepUnlocked() NO_THREAD_SAFETY_ANALYSIS { return sweep_; }

  // Stop's own (FileMonitorStop.cpp).
  struct StopState {
    // Taken only by Stop on a thread outside the pool, and not by Stop on a
    // worker; it guards no member.
    std::mutex serial;
    std::atomic<bool> quitPosted{false};  // a quit message is out and nobody has waited for it
  };
  StopState stop_;

  MonitorCounters counters_;
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_MONITOR_FILEMONITORCORE_H
