// The worker loop and its credentials: svc, the look-up of a check
// message's record, the switch to the record's credentials and the check.
//
// Threads: svc runs on each worker of the pool, nowhere else. A worker takes
// its messages off the queue in batches and holds the rest of a batch while
// it checks the first (CheckBatches.h); a sweep may take what it holds back
// for the others. A worker reads a message in its block, never copying the
// whole image, and takes no monitor lock while it checks: it finds its
// record by the message's key, held by the record's queued mark (by its
// path under mtxMonitor, keeping its own reference, for a message without a
// key), then switches credentials, checks and reports
// (FileMonitorDelivery.cpp) with no lock held. The credentials, the thread
// log, what it holds, and the spent blocks and checks that it gives back
// and counts once a batch live in the worker's own WorkerContext.
//
// Locks: the queue's own lock and its own holdings' lock once a batch (a
// held message is claimed with one atomic operation), mtxMonitor only for a
// look-up by path and to free a record that lost its last receiver during
// the check. The queued mark that the message holds is cleared, however the
// check ends.
//
// Lifetime: a worker touches the monitor until svc returns; a worker that
// ends on its own notes itself for the pool to join (FileMonitorPool.cpp),
// a worker ended by the quit message is joined by Stop. The thread-local mark
// set here lets Stop know that it is called on one of its own workers.
#include "monitor/FileMonitorCore.h"

#include "monitor/FileMonitorCoreInternal.h"
#include "monitor/MessageBlockPool.h"

#include <Platform/Win32Api.h>
#include <VantrelCommon/MessageBlockUtil.h>
#include <VantrelCommon/ServiceComponent.h>

#include <ace/Thread_Manager.h>

namespace WindowsAgentCommon {

using core::MonitorGuard;

namespace {

// The status a worker carries when no security manager can switch for it.
const std::uint32_t kNoSecurityManagerStatus = 0x80004005u;

// The monitor whose worker the calling thread is, if any.
thread_local const FileMonitorCore *tlsWorkerOf = nullptr;

// The Wow64 redirection switch of 32-bit processes on 64-bit Windows, looked
// up at run time; where the system has no such function nothing happens.
class FsRedirection {
 public:
  void Disable(const Log &threadLog) {
    typedef BOOL(WINAPI * DisableFn)(PVOID *);
    if (auto fn = reinterpret_cast<DisableFn>(Lookup("Wow64DisableWow64FsRedirection"))) {
      threadLog.Debug("Temporarily turning off file system redirection for current thread...");
      fn(&oldValue_);
    }
  }
  void Revert(const Log &threadLog) {
    typedef BOOL(WINAPI * RevertFn)(PVOID);
    if (auto fn = reinterpret_cast<RevertFn>(Lookup("Wow64RevertWow64FsRedirection"))) {
      threadLog.Debug("Re-enabling file system redirection for current thread.");
      fn(oldValue_);
    }
  }

 private:
  // As void(*)(), the one function type that converts to any other without
  // complaint; the caller casts it to the function's real type.
  static void (*Lookup(const char *name))() {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    return kernel == nullptr ? nullptr : reinterpret_cast<void (*)()>(GetProcAddress(kernel, name));
  }
  PVOID oldValue_ = nullptr;
};

// Releases a block that the worker took, unless it was handed on or given
// back for reuse.
class BlockGuard {
 public:
  explicit BlockGuard(ACE_Message_Block *block) : block_(block) {}
  ~BlockGuard() { Release(); }
  void Release() {
    if (block_ != nullptr) {
      block_->release();
      block_ = nullptr;
    }
  }
  // Hands the block over to the caller.
  ACE_Message_Block *Take() {
    ACE_Message_Block *block = block_;
    block_ = nullptr;
    return block;
  }

 private:
  ACE_Message_Block *block_;
};

// The most check messages a worker takes under one lock of the queue: the
// first, and those it holds.
const std::size_t kBatch = HeldMessages::kCapacity + 1;

}  // namespace

struct FileMonitorCore::WorkerContext {
  // What the worker took off the queue and has not come to yet; in the
  // monitor's registry while the worker runs.
  HeldMessages held;
  // The batch that the worker last took off the queue, as the queue told it.
  QueuedBlock batch[kBatch];
  Log threadLog;
  ISecurityManager *securityManager = nullptr;
  // The handle the thread runs under; meaningless unless credsOk. A failed
  // switch leaves the thread's identity unknown (credsOk false), so the next
  // record switches whatever its handle.
  std::uint64_t currentCreds = 0;
  bool credsOk = false;
  std::uint32_t status = 0;     // of the last switch attempt
  std::uint32_t lastError = 0;  // the thread's last error right after it
  // The blocks of the checks that ended since the worker last took a
  // batch, and those checks: given back to the pool and counted once a
  // batch (EndBatch).
  ACE_Message_Block *spent = nullptr;
  std::size_t spentCount = 0;
  std::uint64_t checks = 0;
};

void FileMonitorCore::EndBatch(WorkerContext &ctx) noexcept {
  if (ctx.spent != nullptr) {
    SweepUnlocked().Blocks().GiveAll(ctx.spent, ctx.spentCount);
    ctx.spent = nullptr;
    ctx.spentCount = 0;
  }
  if (ctx.checks != 0) {
    counters_.CountChecks(ctx.checks);
    ctx.checks = 0;
  }
}

bool FileMonitorCore::OnOwnWorker() const { return tlsWorkerOf == this; }

int FileMonitorCore::svc() {
  tlsWorkerOf = this;
  WorkerContext ctx;
  ctx.currentCreds = hDefaultCreds.load();
  ctx.securityManager = dynamic_cast<ISecurityManager *>(_getService(ISecurityManager::GetServiceName()));
  std::string threadLogName;
  Format(threadLogName, "%s.thread.x%04X", strLogName.c_str(),
         static_cast<unsigned int>(static_cast<std::uint64_t>(thr_mgr()->thr_self()) & 0xFFFFFFFFu));
  ctx.threadLog = LoggerFactory::GetLog(threadLogName);

  if (ctx.securityManager != nullptr) {
    ctx.status = static_cast<std::uint32_t>(ctx.securityManager->SwitchToCredentials(ctx.currentCreds));
    ctx.lastError = GetLastError();
    ctx.credsOk = ctx.status == 0;
  } else {
    // Without a manager the thread keeps the process's own identity.
    ctx.currentCreds = 0;
    ctx.credsOk = true;
  }
  ctx.threadLog.Debug("RUNNING");
  FsRedirection redirection;
  redirection.Disable(ctx.threadLog);

  // The loop ends by returning its reason: a quit message (passed on), a
  // retire message, or a queue that no longer hands out messages. Anything
  // thrown out of a message's handling ends the worker too.
  WorkerEnd end = WorkerEnd::kQueueClosed;
  held_.Join(ctx.held);
  try {
    end = TakeMessages(ctx);
    ctx.threadLog.Debug(
        "We have no more work to do and we are considered to be an extra thread (or we are quitting). Exiting.");
  } catch (...) {
    ctx.threadLog.Error("BAD exception thrown.");
  }
  EndBatch(ctx);
  // What the worker still held is for the others.
  if (ACE_Message_Block *left = held_.Leave(ctx.held)) {
    PutBack(left);
  }
  const bool quitting = end == WorkerEnd::kQuit;

  redirection.Revert(ctx.threadLog);
  ctx.threadLog.Debug("%s", kind_.exitLine);
  if (!quitting) {
    // Stop joins the workers that it ends; the others are joined by the pool.
    NoteExitedWorker();
  }
  tlsWorkerOf = nullptr;
  return 0;
}

// The worker comes to the messages it holds first, in queue order, and takes
// a batch off the queue when it holds none. Once Stop has begun, what it
// holds goes as the queue's checks go: the quit message comes before them.
FileMonitorCore::WorkerEnd FileMonitorCore::TakeMessages(WorkerContext &ctx) {
  for (;;) {
    const char *image = nullptr;
    ACE_Message_Block *block = ctx.held.Next(image);
    // Whether this message came with a batch just taken off the queue.
    bool fromQueue = false;
    if (block != nullptr && pool_.Closed()) {
      block->release();
      ReleaseChain(ctx.held.TakeAll());
      continue;
    }
    if (block == nullptr) {
      EndBatch(ctx);
      const int taken = queue_.TakeBatch(ctx.batch, kBatch, held_.Members());
      if (taken < 0) {
        return WorkerEnd::kQueueClosed;
      }
      if (taken == 0) {
        continue;
      }
      HeldMessages::Prefetch(ctx.batch[0]);
      block = ctx.batch[0].block;
      image = ctx.batch[0].image;
      HeldMessages::Claimed(block);
      ctx.held.Hold(ctx.batch + 1, static_cast<std::size_t>(taken) - 1);
      fromQueue = true;
    }
    BlockGuard taken(block);
    const FileMonitorMessage::InBlock message(block, image);
    switch (message.Action()) {
      case FileMonitorMessage::MONITOR_ACTION_QUIT: {
        // The duplicate shares the block's data and its reference count,
        // which is not thread-safe: this worker lets go of its own block
        // before the duplicate becomes visible to the next worker.
        // Anything held behind it was to be flushed with the queue.
        ReleaseChain(ctx.held.TakeAll());
        block->rd_ptr(block->base());
        ACE_Message_Block *passOn = block->duplicate();
        taken.Release();
        ungetq(passOn);
        return WorkerEnd::kQuit;
      }
      case FileMonitorMessage::MONITOR_ACTION_RETIRE_THREAD:
        // svc hands what is held back to the queue.
        return WorkerEnd::kRetire;
      case FileMonitorMessage::MONITOR_ACTION_CHECK:
      case FileMonitorMessage::MONITOR_ACTION_CHECK_AND_REPORT:
        // Once a batch: the look at the queue's fill takes the queue's lock,
        // which the other workers want for their batches.
        if (fromQueue) {
          SweepIfDrained();
        }
        HandleCheck(ctx, message);
        block = taken.Take();
        block->next(ctx.spent);
        ctx.spent = block;
        ++ctx.spentCount;
        break;
      default:
        break;
    }
  }
}

// A check message that the sweep made holds its record's queued mark, and
// with it the record (CheckMarks): its key finds the record with no lock and
// no reference count. The key is the record's whole identity: it names a
// slot and the slot's generation, and a released key is never handed out
// again, so a key finds the record its message was made for or nothing. No
// path compare is needed. A message with a path alone, from elsewhere or the
// sweep's for a path that leaves no room for the key, is looked up by path
// under mtxMonitor, and the worker keeps its own reference to the record.
// `ownsMark` tells whether the check's end clears the queued mark: only the
// sweep's message holds it. A key behind a path names the record whose
// registered path that is (the sweep writes both): `sent` is then that path
// in the block.
FileRecord *FileMonitorCore::LookUp(const FileMonitorMessage::InBlock &message, std::shared_ptr<FileRecord> &kept,
                                    bool &ownsMark, FileMonitorMessage::PathUnits &sent) {
  std::int64_t key;
  if (message.KeyAfterPath(key, sent)) {
    FileRecord *record = registry.Find(key);
    ownsMark = record != nullptr;
    return record;
  }
  if (message.CarriesKey()) {
    return nullptr;
  }
  const std::wstring path = message.Path();
  MonitorGuard guard(mtxMonitor);
  auto found = mapFiles.find(path);
  if (found == mapFiles.end()) {
    return nullptr;
  }
  kept = found->second;
  ownsMark = !FileMonitorMessage::KeyTravels(kept->paths.registered, kept->travelsAsText);
  return kept.get();
}

void FileMonitorCore::HandleCheck(WorkerContext &ctx, const FileMonitorMessage::InBlock &message) {
  std::shared_ptr<FileRecord> kept;
  bool ownsMark = false;
  FileMonitorMessage::PathUnits sent;
  FileRecord *const record = LookUp(message, kept, ownsMark, sent);
  if (record == nullptr) {
    return;  // no such record: the message is dropped
  }
  // However the check ends, its end is noted, so that no record is ever left
  // out of the sweep, or in the table, for good.
  struct EndGuard {
    FileMonitorCore &monitor;
    FileRecord &record;
    bool ownsMark;
    ~EndGuard() {
      if (ownsMark) monitor.CheckEnded(record);
    }
  } endCheck{*this, *record, ownsMark};
  // Asked inline first: the line is written at every check when Debug is on,
  // and costs no call when it is off.
  if (kind_.logsRegistrationAndChecks && ctx.threadLog.IsEnabled(LogLevel::Debug)) {
    ctx.threadLog.Debug("CHECK File %ls", record->path.c_str());
  }
  if (!SwitchCredentials(ctx, *record)) {
    WarnCredentials(ctx, *record);
    return;
  }
  const bool first = !record->initialized;
  if (!HasAcceptedState(*record)) {
    InitialScan(*record);
  }
  const int flags = CheckFile(*record, ctx.threadLog, sent);
  ++ctx.checks;
  if (flags != 0 || message.Action() == FileMonitorMessage::MONITOR_ACTION_CHECK_AND_REPORT ||
      (record->idleUntilPresent && (first || !HasAcceptedState(*record)))) {
    FireFileChange(*record, flags);
  }
}

// Each record is checked under its own handle's credentials or not at all.
// A switch is made whenever the record's handle is not the one the thread is
// known to run under; after a failed switch nothing is known, so a failure
// refuses the records of that handle (each retries its own switch) and never
// those of another. Without a security manager the thread stays the process
// (handle 0): records of handle 0 are checked, all others refused.
bool FileMonitorCore::SwitchCredentials(WorkerContext &ctx, const FileRecord &record) {
  if (ctx.securityManager == nullptr) {
    if (record.hCreds == 0) {
      return true;
    }
    ctx.status = kNoSecurityManagerStatus;
    ctx.lastError = ctx.status;
    return false;
  }
  if (ctx.credsOk && record.hCreds == ctx.currentCreds) {
    return true;
  }
  if (kind_.logsRegistrationAndChecks) {
    ctx.threadLog.Debug(EngineFormat("switching creds to %I64u"), record.hCreds);
  }
  ctx.securityManager->RevertCredentials();
  ctx.status = static_cast<std::uint32_t>(ctx.securityManager->SwitchToCredentials(record.hCreds));
  ctx.lastError = GetLastError();
  ctx.credsOk = ctx.status == 0;
  ctx.currentCreds = record.hCreds;
  return ctx.credsOk;
}

bool FileMonitorCore::WarningDue(FileRecord &record) {
  const std::int64_t now = _time64(nullptr);
  if (!core::WarningDue(now, record.lastWarnTime)) {
    return false;
  }
  record.lastWarnTime = now;
  return true;
}

void FileMonitorCore::WarnCredentials(WorkerContext &ctx, FileRecord &record) {
  if (!WarningDue(record)) {
    return;
  }
  if (kind_.credentialsWarningInUtf8) {
    std::string reason;
    GetLastErrorText(ctx.status, reason);
    ctx.threadLog.Warn("There was a problem trying to switch to the proper security credentials for file %s; will "
                       "try again later. Reason: %s",
                       VantrelPlatform::ToUtf8(record.path).c_str(), reason.c_str());
  } else {
    ctx.threadLog.Warn("There was a problem trying to switch to the proper security credentials for file %ls; will "
                       "try again later. Reason: %s",
                       record.path.c_str(), LastError(ctx.lastError).c_str());
  }
}

}  // namespace WindowsAgentCommon
