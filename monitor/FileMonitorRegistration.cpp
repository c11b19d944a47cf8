// The table of watched paths and registration: the records, AddMonitor,
// RemoveMonitor and the queries on the table.
//
// Threads: any thread may register, remove or ask, a receiver's own
// OnFileChanged on a worker included. Every call takes mtxMonitor for its
// whole look at the table; AddMonitor first tops the pool up (mtxPool) with
// mtxMonitor not yet held.
//
// Locks: mtxMonitor guards the table, each record's receiver set, interval,
// next due time and due-index entry. The string registry has its own lock, so
// GetFilename takes no monitor lock.
//
// Lifetime: a record, once made, lives as long as the monitor: removing its
// last receiver only parks it out of the due index. RemoveMonitor returns
// only once no call to the receiver for that path is under way on another
// thread (FileMonitorDelivery.cpp). A worker holds its own
// reference while it checks, so a record never goes under a running check.
#include "monitor/FileMonitorCore.h"

#include "monitor/FileMonitorCoreInternal.h"

#include <new>

#include <Platform/Win32Api.h>
#include <VantrelCommon/Exceptions.h>
#include <VantrelCommon/MessageBlockUtil.h>

namespace WindowsAgentCommon {

using core::MonitorGuard;
using core::SpanFromMillis;

FileRecord::FileRecord(const std::wstring &registered, const std::wstring &watched, const ACE_Time_Value &interval,
                       std::uint64_t creds, bool idle)
    : registeredPath(registered),
      ownPath(watched == registered ? nullptr : new std::wstring(watched)),
      path(ownPath ? *ownPath : registeredPath),
      lastWarnTime(0),
      checkInterval(interval),
      key(IFileMonitor::kNoKey),
      hCreds(creds),
      wantIdle(idle),
      travelsAsText(FileMonitorMessage::TravelsAsText(registered)),
      queued(false),
      initialized(false),
      inDueIndex(false) {
  ScheduleNextCheck();
}

FileRecord::~FileRecord() = default;

void FileRecord::ScheduleNextCheck() { nextCheck = VantrelPlatform::MonotonicNow() + checkInterval; }

void FileMonitorCore::SetDefaultCredentials(const std::uint64_t &hCreds) { hDefaultCreds = hCreds; }

void FileMonitorCore::AddMonitor(const std::wstring &path, IFileMonitorSink *sink, unsigned int check,
                                 const std::uint64_t &hCreds, bool wantIdle) {
  if (kind.refusesAddWhenNotRunning && !bInitialized.load()) {
    std::string message;
    Format(message, "%s - You can't add file %ls to the file monitor before you call Initialize()", kind.className,
           path.c_str());
    throw InitializationException(kind.className, std::string("WindowsAgentCommon::") + kind.className +
                                                      "::AddMonitor",
                                  134, message);
  }
  try {
    TopUpPool();
    MonitorGuard guard(mtxMonitor);
    const ACE_Time_Value interval = SpanFromMillis(check);
    if (kind.logsRegistrationAndChecks) {
      log.Debug("Adding monitor for %ls  check: %d  hCreds: %I64u  wantIdle: %d", path.c_str(),
                static_cast<int>(check), hCreds, wantIdle ? 1 : 0);
    }
    auto found = mapFiles.lower_bound(path);
    const bool isNew = found == mapFiles.end() || found->first != path;
    if (isNew) {
      const std::uint64_t creds = hCreds == kDefaultCredentials ? hDefaultCreds.load() : hCreds;
      // The record keeps the registry's copy of the path, not one of its own.
      std::int64_t key = kNoKey;
      const std::wstring &registered = registry.Intern(path, key);
      std::shared_ptr<FileRecord> record = NewRecord(registered, interval, creds, wantIdle);
      record->key = key;
      FileRecord::DueIndex nodeMaker;
      nodeMaker.emplace(0, record.get());
      record->parkedNode = nodeMaker.extract(nodeMaker.begin());
      record->sinks.insert(sink);
      found = mapFiles.emplace_hint(found, std::wstring_view(record->registeredPath), record);
    } else {
      FileRecord &record = *found->second;
      record.sinks.insert(sink);
      if (record.checkInterval > interval) {
        record.checkInterval = interval;
        record.ScheduleNextCheck();
      }
    }
    Reindex(*found->second);
    if (isNew) {
      try {
        recordsByKey.Publish(found->second->key, &found->second);
      } catch (const std::bad_alloc &) {
        // Workers then find the record by searching the table.
      }
    }
  } catch (...) {
    // A registration that cannot be made is not made; the caller's thread
    // goes on. The lock guard has released mtxMonitor.
  }
}

void FileMonitorCore::RemoveMonitor(const std::wstring &path, IFileMonitorSink *sink) {
  try {
    log.Debug(kind.removeLineFormat, path.c_str());
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
      before = NextDeliverySerial();
    }
    // Also when the receiver was already gone: a removal made at the same
    // time on another thread may have taken it off while a call was under way.
    AwaitDeliveries(*record, sink, before);
  } catch (...) {
  }
}

std::wstring FileMonitorCore::GetFilename(const std::int64_t &key) {
  std::wstring path;
  registry.GetString(key, path);
  return path;
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
