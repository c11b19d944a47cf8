#include "monitor/nofsredirect/FileMonitorNoFSRedirect.h"

#include "monitor/FileMonitorCoreInternal.h"

#include <VantrelCommon/MessageBlockUtil.h>

#include <ace/OS_NS_sys_stat.h>


namespace WindowsAgentCommon {

namespace {

using core::Microseconds;

const MonitorKind kNoFSRedirectKind = {
    "FileMonitorNoFSRedirect",  // className
    "EXITING",                  // exitLine
    "Removing monitor on %ls",  // removeLineFormat
    false,                      // logsRegistrationAndChecks
    true,                       // refusesAddWhenNotRunning
    true,                       // pollsThreadCountOnStop
    true,                       // credentialsWarningInUtf8
    false,                      // reportsWithoutReceivers
};

typedef IFileMonitorSink Flags;

const DWORD kChangeFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;

// Once a notification has fired the directory is reported and the handle
// reopened, so further rounds only confirm what is known; the bound keeps a
// directory whose entries churn without pause from holding the worker.
const int kMaxNotificationRounds = 64;

typedef NoFSRedirectFileData::PathState PathState;

// The runtime's 64-bit stat record, or ACE's, which a read through a handle
// gives: on POSIX the system's own record, on Windows the runtime's.
template <class Stat>
PathState StateOf(const Stat &state) {
  PathState of{};
  of.size = static_cast<std::int64_t>(state.st_size);
  of.writeTime = static_cast<std::int64_t>(state.st_mtime);
  of.directory = (state.st_mode & S_IFMT) == S_IFDIR;
  return of;
}

}  // namespace

// ---------------------------------------------------------------------------
// The record

// The record and its shared_ptr block: 216 bytes of the monitor's pool.
static_assert(sizeof(NoFSRedirectFileData) <= 200, "a watched file's record and its block take 216 bytes");

NoFSRedirectFileData::NoFSRedirectFileData(const std::wstring &registered, const ACE_Time_Value &interval,
                                           std::uint64_t creds, bool idle)
    : FileRecord(registered, WatchedForm(registered), interval, creds, idle),
      freshBaseline(false),
      changeOnFile(false),
      hChange(INVALID_HANDLE_VALUE) {}

NoFSRedirectFileData::~NoFSRedirectFileData() {
  if (hChange != INVALID_HANDLE_VALUE) {
    FindCloseChangeNotification(hChange);
  }
}

std::uint64_t NoFSRedirectFileData::IdentityWord(const VantrelPlatform::FileIdentity &identity) {
  // Each field through a 64-bit finaliser (splitmix64's), so that files of
  // neighbouring numbers spread over the whole word.
  const auto mix = [](std::uint64_t value) {
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return value ^ (value >> 31);
  };
  const std::uint64_t word = mix(mix(mix(identity.volume) ^ identity.file) ^ identity.instance);
  return word != 0 ? word : 1;
}

std::wstring_view NoFSRedirectFileData::WatchedForm(const std::wstring &registered) {
  const std::wstring_view whole(registered);
  const std::size_t first = whole.find_first_not_of(VantrelPlatform::kWatchedFormLeadingTrim);
  const std::wstring_view spaced = first == std::wstring_view::npos ? std::wstring_view() : whole.substr(first);
  const std::size_t last = spaced.find_last_not_of(L" /\\");
  if (last == std::wstring_view::npos) {
    return spaced.substr(0, !spaced.empty() && spaced[0] == L'/' ? 1 : 0);
  }
  return spaced.substr(0, last + 1);
}

void NoFSRedirectFileData::InitialScan(const FileMonitorNoFSRedirect &monitor) {
  if (initialized) {
    return;
  }
  if (monitor.FullCheckPeriod() != ACE_Time_Value::zero && FileChange() == INVALID_HANDLE_VALUE) {
    // Armed before the read, so that the state read is the file's until it
    // fires. Most paths are files: a path found to be none lets it go.
    ArmFileNotification(monitor, VantrelPlatform::MonotonicNow());
  }
  // Where a stat tells what a handle would, the stat is the whole read.
  std::optional<VantrelPlatform::FileIdentity> seen;
  std::optional<VantrelPlatform::FileIdentity> *const identity = monitor.ReportsReplacement() ? &seen : nullptr;
  lastStat = VantrelPlatform::kStatSeesOpenFiles ? StatState(identity) : ReadState(identity);
  lastIdentity = seen ? IdentityWord(*seen) : 0;
  if (!lastStat || lastStat->directory) {
    CloseFileNotification();
    nextFullCheck = 0;  // a file later: its notification at once
  }
  if (lastStat && lastStat->directory) {
    SetDirectoryChange(OpenChangeNotification(monitor));
  }
  // The check that follows at once finds nothing to read: a change since the
  // notification was armed signals it for a later check.
  freshBaseline = FileChange() != INVALID_HANDLE_VALUE;
  initialized = true;
}

std::optional<PathState> NoFSRedirectFileData::StatState(
    std::optional<VantrelPlatform::FileIdentity> *identity) const {
  __stat64 state{};
  const int failed = identity != nullptr ? VantrelPlatform::Stat64AndIdentity(path.c_str(), &state, identity)
                                         : _wstat64(path.c_str(), &state);
  if (failed != 0) {
    return std::nullopt;
  }
  return StateOf(state);
}

std::optional<PathState> NoFSRedirectFileData::ReadState(
    std::optional<VantrelPlatform::FileIdentity> *identity) const {
  std::optional<PathState> state = StatState();
  // A directory is not read through a handle: its stat record stands, as
  // it does for a file held without read sharing. The stat has told a
  // directory already, so the open is asked not to find out again (backup
  // semantics); should the path have become a directory since, the handle's
  // record shows it and the stat record stands all the same.
  if (!state || state->directory) {
    return state;
  }
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return state;
  }
  ACE_stat byHandle{};
  const bool read = ACE_OS::fstat(VantrelPlatform::AceHandle(file), &byHandle) == 0;
  VantrelPlatform::FileIdentity fileIdentity;
  const bool identified = read && identity != nullptr && VantrelPlatform::IdentityOfHandle(file, fileIdentity);
  CloseHandle(file);
  if (!read) {
    return std::nullopt;  // on Windows: a size of 4 GiB or more
  }
  const PathState handleState = StateOf(byHandle);
  if (handleState.directory) {
    return state;
  }
  if (identified) {
    *identity = fileIdentity;
  }
  return handleState;
}

HANDLE NoFSRedirectFileData::OpenChangeNotification(const FileMonitorNoFSRedirect &monitor) const {
  if (monitor.notified_) {
    return VantrelPlatform::OpenDirectoryChangeNotification(path, kChangeFilter, monitor.notified_,
                                                            static_cast<std::uint64_t>(key));
  }
  return FindFirstChangeNotificationW(path.c_str(), FALSE, kChangeFilter);
}

void NoFSRedirectFileData::CloseFileNotification() {
  if (changeOnFile) {
    FindCloseChangeNotification(hChange);
    hChange = INVALID_HANDLE_VALUE;
    changeOnFile = false;
  }
}

// A directory's notification, still open where a directory was replaced by
// a file, goes first.
void NoFSRedirectFileData::ArmFileNotification(const FileMonitorNoFSRedirect &monitor, const ACE_Time_Value &now) {
  CloseChangeNotification();
  nextFullCheck = Microseconds(now + monitor.FullCheckPeriod());
  hChange = VantrelPlatform::OpenFileChangeNotification(path, monitor.notified_, static_cast<std::uint64_t>(key));
  changeOnFile = hChange != INVALID_HANDLE_VALUE;
}

// One that fired is replaced by a fresh one for the read that follows: it
// replaces a lost watch, and it is refused where the path has become a link,
// whose target's changes its directory never hears of.
void NoFSRedirectFileData::ReplaceFileNotification(const FileMonitorNoFSRedirect &monitor) {
  const HANDLE fresh =
      VantrelPlatform::OpenFileChangeNotification(path, monitor.notified_, static_cast<std::uint64_t>(key));
  CloseFileNotification();
  hChange = fresh;
  changeOnFile = fresh != INVALID_HANDLE_VALUE;
}

NoFSRedirectFileData::Reading NoFSRedirectFileData::ReadingNeeded(const FileMonitorNoFSRedirect &monitor) {
  const ACE_Time_Value fullCheckPeriod = monitor.FullCheckPeriod();
  const bool fresh = freshBaseline;
  freshBaseline = false;
  // Only a file that was there is spared: an absent path costs one failed
  // look-up, and a directory is judged by its attributes and its entries.
  if (fullCheckPeriod == ACE_Time_Value::zero || !lastStat || lastStat->directory) {
    if (changeOnFile) {
      CloseFileNotification();
      nextFullCheck = 0;  // a file again: a new one at once
    }
    return Reading::kFull;
  }
  if (fresh && changeOnFile) {
    return Reading::kNothing;
  }
  const ACE_Time_Value now = VantrelPlatform::MonotonicNow();
  if (changeOnFile) {
    // A due full check reads the file whatever the notification says, so it
    // need not read the system's queue first (the sweep reads it at every
    // tick): an event not read yet leaves the notification signalled for a
    // later check, and a file replaced meanwhile is told by its identity.
    const bool fullCheck = Microseconds(now) >= nextFullCheck;
    const bool fired = fullCheck ? VantrelPlatform::ChangeSignalled(hChange)
                                 : WaitForSingleObject(hChange, 0) != WAIT_TIMEOUT;
    if (!fullCheck && !fired) {
      return Reading::kNothing;
    }
    if (fullCheck) {
      nextFullCheck = Microseconds(now + fullCheckPeriod);
    }
    if (!fired) {
      // A notification that has not fired stays armed for the full check:
      // its watch is there (one lost or moved fires every handle on it), and
      // no name in the directory changed, so the path still names the file
      // last read, whose identity it keeps. Where a stat tells what a handle
      // would, the stat is all the full check reads: another watcher sees
      // no open from it either.
      return VantrelPlatform::kStatSeesOpenFiles ? Reading::kStat : Reading::kFull;
    }
    ReplaceFileNotification(monitor);
    return Reading::kFull;
  } else if (Microseconds(now) < nextFullCheck) {
    return Reading::kFull;  // none could be had; tried again when the period is over
  }
  ArmFileNotification(monitor, now);
  return Reading::kFull;
}

void NoFSRedirectFileData::CloseChangeNotification() {
  if (!changeOnFile && hChange != INVALID_HANDLE_VALUE) {
    FindCloseChangeNotification(hChange);
    hChange = INVALID_HANDLE_VALUE;
  }
}

void NoFSRedirectFileData::SetDirectoryChange(HANDLE directoryChange) {
  CloseChangeNotification();
  CloseFileNotification();
  hChange = directoryChange;
}

// ---------------------------------------------------------------------------
// The monitor

FileMonitorNoFSRedirect::FileMonitorNoFSRedirect()
    : FileMonitorCore(kNoFSRedirectKind), notified_(VantrelPlatform::NewChangeMailbox()) {}

FileMonitorNoFSRedirect::~FileMonitorNoFSRedirect() { StopAndQuiesce(); }

std::string FileMonitorNoFSRedirect::Utf8ForLog(const std::wstring &path) {
  char buffer[kLogPathBufferBytes];
  if (WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, buffer, kLogPathBufferBytes, nullptr, nullptr) > 0) {
    return std::string(buffer);
  }
  const int needed = WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) {
    return std::string();
  }
  std::string whole(static_cast<std::size_t>(needed), '\0');
  if (WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, &whole[0], needed, nullptr, nullptr) <= 0) {
    return std::string();
  }
  whole.pop_back();  // the terminator
  return whole;
}

std::shared_ptr<FileRecord> FileMonitorNoFSRedirect::NewRecord(const std::wstring &path,
                                                               const ACE_Time_Value &interval, std::uint64_t hCreds,
                                                               bool wantIdle) {
  return std::allocate_shared<FileData>(RecordPoolAllocator<FileData>(), path, interval, hCreds, wantIdle);
}

int FileMonitorNoFSRedirect::CheckFile(FileRecord &base, const Log &threadLog, const FileMonitorMessage::PathUnits &) {
  FileData &record = static_cast<FileData &>(base);
  const FileData::Reading reading = record.ReadingNeeded(*this);
  if (reading == FileData::Reading::kNothing) {
    return 0;
  }
  // The stat-only read gives the identity too: a file replaced since the
  // notification's events were last read is told by it.
  std::optional<VantrelPlatform::FileIdentity> identity;
  std::optional<VantrelPlatform::FileIdentity> *const wanted = ReportsReplacement() ? &identity : nullptr;
  const std::optional<PathState> current =
      reading == FileData::Reading::kStat ? record.StatState(wanted) : record.ReadState(wanted);

  if (!record.lastStat) {
    if (!current) {
      return 0;
    }
    record.lastStat = current;
    record.lastIdentity = identity ? FileData::IdentityWord(*identity) : 0;
    if (!current->directory) {
      return Flags::FILE_MON_CHANGE_CREATED;
    }
    OpenNotificationLogged(record, threadLog, "Created notifications on directory %s successfully.",
                           "There was a problem (%s) when trying to create notifications on directory %s.");
    return Flags::FILE_MON_CHANGE_TYPE_IS_DIRECTORY | Flags::FILE_MON_CHANGE_CREATED;
  }

  if (!current) {
    int flags = Flags::FILE_MON_CHANGE_DELETED;
    record.CloseChangeNotification();
    if (record.lastStat->directory) {
      flags |= Flags::FILE_MON_CHANGE_TYPE_IS_DIRECTORY;
    }
    record.lastStat.reset();
    return flags;
  }

  const PathState previous = *record.lastStat;
  int flags = current->writeTime != previous.writeTime ? static_cast<int>(Flags::FILE_MON_CHANGE_MODIFICATION_TIME) : 0;
  if (current->size > previous.size) {
    flags |= Flags::FILE_MON_CHANGE_SIZE_LARGER;
  } else if (current->size < previous.size) {
    flags |= Flags::FILE_MON_CHANGE_SIZE_SMALLER;
  }
  // Both identities are needed: a read without a handle gives none, and the
  // last known one stays until a read gives another.
  const std::uint64_t identityWord = identity ? FileData::IdentityWord(*identity) : 0;
  if (identityWord != 0 && record.lastIdentity != 0 && identityWord != record.lastIdentity) {
    flags |= Flags::FILE_MON_CHANGE_REPLACED;
  }
  if (identityWord != 0) {
    record.lastIdentity = identityWord;
  }
  // A path that changed its type is judged by its previous one until a
  // reported change replaces that state.
  if (previous.directory) {
    flags = CheckNotification(record, flags | Flags::FILE_MON_CHANGE_TYPE_IS_DIRECTORY, threadLog);
  }
  if ((flags & ~static_cast<int>(Flags::FILE_MON_CHANGE_TYPE_IS_DIRECTORY)) == 0) {
    return 0;
  }
  record.lastStat = current;
  return flags;
}

bool FileMonitorNoFSRedirect::TakeNotifiedKeys(std::vector<std::uint64_t> &keys) {
  return notified_ && VantrelPlatform::TakeChanges(*notified_, keys);
}

// A file that was there at its last check, whose notification posts to the
// sweep, between its full checks.
bool FileMonitorNoFSRedirect::SparesCheck(FileRecord &base, std::int64_t now, std::int64_t &fullCheck) {
  FileData &record = static_cast<FileData &>(base);
  if (!notified_ || !record.changeOnFile || FullCheckPeriod() == ACE_Time_Value::zero ||
      !record.lastStat || record.lastStat->directory) {
    return false;
  }
  fullCheck = record.nextFullCheck;
  return now < fullCheck;
}

void FileMonitorNoFSRedirect::OpenNotificationLogged(FileData &record, const Log &threadLog,
                                                     const char *successFormat, const char *failureFormat) const {
  record.SetDirectoryChange(record.OpenChangeNotification(*this));
  if (record.hChange != INVALID_HANDLE_VALUE) {
    threadLog.Debug(successFormat, Utf8ForLog(record.path).c_str());
  } else if (WarningDue(record)) {
    // Read before the path's conversion, which sets the last error of its own.
    const std::string reason = LastError(GetLastError());
    threadLog.Warn(failureFormat, reason.c_str(), Utf8ForLog(record.path).c_str());
  }
}

int FileMonitorNoFSRedirect::CheckNotification(FileData &record, int flags, const Log &threadLog) const {
  if (record.DirectoryChange() == INVALID_HANDLE_VALUE) {
    OpenNotificationLogged(record, threadLog, "Reset notifications on directory %s successfully.",
                           "There was a problem (%s) when trying to reset notifications on directory %s.");
    return flags;
  }

  for (int round = 0; round < kMaxNotificationRounds && WaitForSingleObject(record.hChange, 0) == WAIT_OBJECT_0;
       ++round) {
    flags |= Flags::FILE_MON_CHANGE_MODIFICATION_TIME;
    if (!FindNextChangeNotification(record.hChange)) {
      break;  // the handle is reopened below
    }
  }
  if ((flags & Flags::FILE_MON_CHANGE_MODIFICATION_TIME) != 0) {
    // A fresh handle, so that the next check sees only what happens from
    // here on. Should it fail, the next check reopens it with its log lines.
    record.SetDirectoryChange(record.OpenChangeNotification(*this));
  }
  return flags;
}

}  // namespace WindowsAgentCommon
