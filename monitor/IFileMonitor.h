// The file monitor contract that both monitor kinds implement.
#ifndef VANTREL_MONITOR_IFILEMONITOR_H
#define VANTREL_MONITOR_IFILEMONITOR_H

#include "monitor/IFileMonitorSink.h"
#include "monitor/VantrelMonitorExport.h"

#include <VantrelCommon/TVOTask.h>

#include <cstdint>
#include <string>

namespace WindowsAgentCommon {

// Counters for a person or a host watching the monitor work.
struct FileMonitorStatistics {
  std::size_t paths = 0;     // records in the table
  std::size_t threads = 0;   // worker threads now
  std::size_t queued = 0;    // messages waiting in the queue
  std::uint64_t checks = 0;  // checks done since the monitor was made
  std::uint64_t reports = 0; // receiver reports since the monitor was made
};

class CheckedPresence;

// A monitor is an ACE task: its workers are the task's threads and its work
// arrives on the task's message queue. Paths are compared as exact wide
// strings (case-sensitive, no normalisation). Every operation may be called
// from any thread; see the concrete classes for which may be called from
// inside OnFileChanged.
class VANTREL_MONITOR_API IFileMonitor : public TVOTask {
 public:
  // The credentials value that stands for the monitor's default credentials.
  static constexpr std::uint64_t kDefaultCredentials = 0xFFFFFFFFFFFFFFFFull;
  // The key of a path that has none yet.
  static constexpr std::int64_t kNoKey = 0x7FFFFFFFFFFFFFFFll;

  IFileMonitor();
  ~IFileMonitor() override;

  int svc() override = 0;

  virtual void SetDefaultCredentials(const std::uint64_t &hCreds) = 0;
  virtual void AddMonitor(const std::wstring &path, IFileMonitorSink *sink, unsigned int check,
                          const std::uint64_t &hCreds, bool wantIdle) = 0;
  // Takes the receiver off the path: from then on no new call to it for the
  // path starts. A path's record goes with its last receiver, as soon as no
  // check of it is under way. Called on a thread outside every monitor's
  // pool, it also waits for a call to it for the path that is under way on a
  // worker, so that once it returns the receiver is not called again for the
  // path and may be destroyed (when it watches no other path); the caller
  // must then hold no lock that the receiver's OnFileChanged takes, or the
  // wait can last for ever. Called inside a report (on a worker of any
  // monitor, from OnFileChanged), it never waits: it returns at once, and a
  // call already under way on another worker may still be running, so a
  // receiver that serialises its calls with a mutex may remove paths while
  // it holds it.
  virtual void RemoveMonitor(const std::wstring &path, IFileMonitorSink *sink) = 0;
  // The path registered under the key; empty once the key's record has
  // gone. A key is never given to another path.
  virtual std::wstring GetFilename(const std::int64_t &key) = 0;
  virtual void CheckFiles() = 0;
  virtual bool IsMonitored(const std::wstring &path) const = 0;
  virtual bool HasSinkTargets(const std::wstring &path, IFileMonitorSink *sink) const = 0;
  virtual void Stop() = 0;

  virtual FileMonitorStatistics GetStatistics() const;

  // Which checks that found nothing a registration is told of (flags 0).
  enum IdleReports : unsigned char {
    IDLE_REPORTS_NONE,           // none: AddMonitor with wantIdle false
    IDLE_REPORTS_EVERY_CHECK,    // every one: AddMonitor with wantIdle true
    // The path's first check, and every check that finds the path absent
    // or cannot read it: enough to learn that the baseline is taken and to
    // look at a path that is not there, while a present path that stays
    // unchanged costs its receivers nothing.
    IDLE_REPORTS_UNTIL_PRESENT,
  };
  // AddMonitor with a choice of idle reports. As with wantIdle, the first
  // registration of a path decides for every receiver of it. A monitor that
  // does not offer the choice (IdleReportsRegistration) gets AddMonitor,
  // with wantIdle true unless `idle` is IDLE_REPORTS_NONE. Not virtual: the
  // virtual table above is what hosts built against this header call.
  void AddMonitorWithIdleReports(const std::wstring &path, IFileMonitorSink *sink, unsigned int check,
                                 const std::uint64_t &hCreds, IdleReports idle);

  // What the monitor tells a receiver of the check that calls it
  // (CheckedPresence), or null when it tells nothing.
  CheckedPresence *Presence();
};

// What a monitor offers beside IFileMonitor when it takes a choice of idle
// reports per registration; IFileMonitor::AddMonitorWithIdleReports finds it.
// Defined wholly here, so that a host that loads the library at run time
// needs nothing of it to make the call.
class IdleReportsRegistration {
 public:
  virtual void AddWithIdleReports(const std::wstring &path, IFileMonitorSink *sink, unsigned int check,
                                  const std::uint64_t &hCreds, IFileMonitor::IdleReports idle) = 0;

 protected:
  ~IdleReportsRegistration() = default;
};

// What a monitor offers beside IFileMonitor to a receiver that would
// otherwise look at a path itself to learn whether the check that reports it
// found it there; IFileMonitor::Presence finds it. Defined wholly here, as
// IdleReportsRegistration.
class CheckedPresence {
 public:
  // Whether the check that is reporting the path of `key` found it there (and
  // could read it). Only from within OnFileChanged for that key, on the thread
  // that calls it: what it reads is that check's. False for a key without a
  // record.
  virtual bool FoundPresent(const std::int64_t &key) = 0;

 protected:
  ~CheckedPresence() = default;
};

inline CheckedPresence *IFileMonitor::Presence() {
  return dynamic_cast<CheckedPresence *>(static_cast<TVOTask *>(this));
}

inline void IFileMonitor::AddMonitorWithIdleReports(const std::wstring &path, IFileMonitorSink *sink,
                                                    unsigned int check, const std::uint64_t &hCreds,
                                                    IdleReports idle) {
  // Cast from the host's task type, whose type information the host
  // library holds: a host that only loads this library can make the call.
  if (auto *registration = dynamic_cast<IdleReportsRegistration *>(static_cast<TVOTask *>(this))) {
    registration->AddWithIdleReports(path, sink, check, hCreds, idle);
  } else {
    AddMonitor(path, sink, check, hCreds, idle != IDLE_REPORTS_NONE);
  }
}

}  // namespace WindowsAgentCommon

#endif  // VANTREL_MONITOR_IFILEMONITOR_H
