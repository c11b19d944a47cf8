// The table of watched paths and registration: the records, AddMonitor,
// RemoveMonitor and the queries on the table.
//
// Threads: any thread may register, remove or ask, a receiver's own
// OnFileChanged on a worker included. Every call takes mtxMonitor for its
// whole look at the table; AddMonitor first tops the pool up (WorkerPool) with
// mtxMonitor not yet held.
//
// Locks: mtxMonitor guards the table, each record's receiver set, interval,
// next due time and due-index entry. The keys have their own lock
// (RecordsByKey), so GetFilename takes no monitor lock.
//
// Lifetime: a record leaves the table once its last receiver is gone and no
// check message for it is out (FileRecord in FileMonitorCore.h): at once in
// RemoveMonitor, or when the worker's check ends (CheckMarks decides which).
// The queued mark holds the record while the sweep's check of it is out,
// so a record never goes under a running check.
// RemoveMonitor from outside the pools returns only once no call to the
// receiver for that path is under way (FileMonitorDelivery.cpp).
#include "monitor/FileMonitorCore.h"

#include "monitor/FileMonitorCoreInternal.h"

#include <new>

#include <Platform/Win32Api.h>
#include <VantrelCommon/Exceptions.h>
#include <VantrelCommon/MessageBlockUtil.h>

namespace WindowsAgentCommon {

using core::MonitorGuard;
using core::SpanFromMillis;

FileRecord::FileRecord(const std::wstring &registered, std::wstring_view watched, const ACE_Time_Value &interval,
                       std::uint64_t creds, bool idle)
    : FileRecord(registered, watched, interval, creds, idle, FileMonitorMessage::TravelsAsText(registered)) {}

FileRecord::FileRecord(const std::wstring &registered, std::wstring_view watched, const ACE_Time_Value &interval,
                       std::uint64_t creds, bool idle, bool asText)
    : paths(registered),
      key(IFileMonitor::kNoKey),
      checkInterval(interval),
      lastWarnTime(0),
      path(watched == registered ? paths.registered : *new std::wstring(watched)),
      hCreds(creds),
      wantIdle(idle),
      idleUntilPresent(false),
      travelsAsText(asText),
      initialized(false) {
  ScheduleNextCheck();
}

FileRecord::~FileRecord() {
  if (&path != &paths.registered) {
    delete &path;
  }
}

void FileRecord::ScheduleNextCheck() { nextCheck = VantrelPlatform::MonotonicNow() + checkInterval; }

void FileMonitorCore::SetDefaultCredentials(const std::uint64_t &hCreds) { hDefaultCreds = hCreds; }

void FileMonitorCore::AddMonitor(const std::wstring &path, IFileMonitorSink *sink, unsigned int check,
                                 const std::uint64_t &hCreds, bool wantIdle) {
  AddWithIdleReports(path, sink, check, hCreds, wantIdle ? IDLE_REPORTS_EVERY_CHECK : IDLE_REPORTS_NONE);
}

void FileMonitorCore::AddWithIdleReports(const std::wstring &path, IFileMonitorSink *sink, unsigned int check,
                                         const std::uint64_t &hCreds, IdleReports idle) {
  const bool wantIdle = idle == IDLE_REPORTS_EVERY_CHECK;
  if (kind_.refusesAddWhenNotRunning && !bInitialized.load()) {
    std::string message;
    Format(message, "%s - You can't add file %ls to the file monitor before you call Initialize()", kind_.className,
           path.c_str());
    throw InitializationException(kind_.className, std::string("WindowsAgentCommon::") + kind_.className +
                                                      "::AddMonitor",
                                  kAddBeforeInitializeLine, message);
  }
  try {
    pool_.TopUp(usReaderThreadsMin);
    MonitorGuard guard(mtxMonitor);
    const ACE_Time_Value interval = SpanFromMillis(check);
    if (kind_.logsRegistrationAndChecks) {
      log.Debug(EngineFormat("Adding monitor for %ls  check: %d  hCreds: %I64u  wantIdle: %d"), path.c_str(),
                static_cast<int>(check), hCreds, static_cast<int>(idle));
    }
    auto found = mapFiles.lower_bound(path);
    const bool isNew = found == mapFiles.end() || *found->first.path != path;
    if (isNew) {
      const std::uint64_t creds = hCreds == kDefaultCredentials ? hDefaultCreds.load() : hCreds;
      std::shared_ptr<FileRecord> record = NewRecord(path, interval, creds, wantIdle);
      record->idleUntilPresent = idle == IDLE_REPORTS_UNTIL_PRESENT;
      record->sinks.insert(sink);
      found = mapFiles.emplace_hint(found, record->paths.registered, record);
      try {
        registry.Add(found->second.get());
      } catch (...) {
        mapFiles.erase(found);
        throw;
      }
    } else {
      FileRecord &record = *found->second;
      record.sinks.insert(sink);
      record.queued.Watch();
      if (record.checkInterval > interval) {
        record.checkInterval = interval;
        record.ScheduleNextCheck();
      }
    }
    Reindex(*found->second);
  } catch (...) {
    // A registration that cannot be made (out of memory, most likely) is not
    // made, and the caller cannot be told: the interface has no way to fail.
    // The lock guard has released mtxMonitor.
    RegistrationFailed("register", path);
  }
}

void FileMonitorCore::RemoveMonitor(const std::wstring &path, IFileMonitorSink *sink) {
  try {
    log.Debug(kind_.removeLineFormat, path.c_str());
    std::shared_ptr<FileRecord> record;
    std::uint64_t before = 0;
    {
      MonitorGuard guard(mtxMonitor);
      auto found = mapFiles.find(path);
      if (found == mapFiles.end()) {
        return;
      }
      record = found->second;
      record->sinks.erase(sink);
      Reindex(*record);
      if (record->sinks.empty()) {
        record->queued.Unwatch();
        FreeIfUnused(*record);
      }
      before = NextDeliverySerial();
    }
    // Also when the receiver was already gone: a removal made at the same
    // time on another thread may have taken it off while a call was under way.
    AwaitDeliveries(*record, sink, before);
  } catch (...) {
    RegistrationFailed("remove a receiver of", path);
  }
}

namespace {

// The reason of the exception being handled. The text stays valid while
// the caller's handler runs.
const char *CurrentReason() noexcept {
  try {
    throw;
  } catch (const std::exception &error) {
    return error.what();
  } catch (...) {
    return "an exception of unknown type";
  }
}

}  // namespace

void FileMonitorCore::RegistrationFailed(const char *what, const std::wstring &path) noexcept {
  const char *reason = CurrentReason();
  // A reader may repeat the call for every path it has: one line a minute.
  const std::int64_t now = _time64(nullptr);
  const std::int64_t last = counters_.LastRegistrationFailureLine();
  if (!core::WarningDue(now, last) || !counters_.ClaimRegistrationFailureLine(last, now)) {
    return;
  }
  log.Error("Could not %s %ls: %s", what, path.c_str(), reason);
}

// Both marks live in one word (CheckMarks): the worker's clear of the
// queued mark and RemoveMonitor's unwatched mark are ordered on it, so a
// record is never left in the table with neither a receiver nor a check to
// come, and never freed by both.
void FileMonitorCore::CheckEnded(FileRecord &record) noexcept {
  if (record.queued.EndWhileWatched()) {
    return;  // the record may go from here on: not touched again
  }
  try {
    MonitorGuard guard(mtxMonitor);
    record.queued.Unqueue();
    FreeIfUnused(record);
  } catch (...) {
    // Left in the table; a later registration of the path takes it over.
    RegistrationFailed("free the record of", record.paths.registered);
    record.queued.Unqueue();
  }
}

void FileMonitorCore::FreeIfUnused(FileRecord &record) {
  if (!record.sinks.empty() || record.queued.Queued()) {
    return;
  }
  auto found = mapFiles.find(record.paths.registered);
  if (found == mapFiles.end() || found->second.get() != &record) {
    return;  // freed already
  }
  registry.Release(record.key);
  mapFiles.erase(found);
}

std::wstring FileMonitorCore::GetFilename(const std::int64_t &key) {
  std::wstring path;
  registry.Read(key, [&path](const FileRecord &record) { path = record.paths.registered; });
  return path;
}

// The caller is the receiver of the record's check, on the worker that
// checks it: the record's state is that worker's until the check ends.
bool FileMonitorCore::FoundPresent(const std::int64_t &key) {
  bool present = false;
  registry.Read(key, [this, &present](const FileRecord &record) { present = HasAcceptedState(record); });
  return present;
}

bool FileMonitorCore::IsMonitored(const std::wstring &path) const {
  MonitorGuard guard(mtxMonitor);
  return mapFiles.find(path) != mapFiles.end();
}

bool FileMonitorCore::HasSinkTargets(const std::wstring &path, IFileMonitorSink *sink) const {
  MonitorGuard guard(mtxMonitor);
  auto found = mapFiles.find(path);
  if (found == mapFiles.end()) {
    return false;
  }
  const auto &sinks = found->second->sinks;
  return sink == nullptr ? !sinks.empty() : sinks.count(sink) != 0;
}

}  // namespace WindowsAgentCommon
