#include "monitor/nofsredirect/FileMonitorNoFSRedirect.h"

#include <VantrelCommon/MessageBlockUtil.h>

#include <ace/OS_NS_sys_stat.h>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/trim.hpp>

namespace WindowsAgentCommon {

namespace {

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

bool IsDirectory(const __stat64 &state) { return (state.st_mode & _S_IFMT) == _S_IFDIR; }

// The attributes read through a handle, field by field: ACE_stat is the
// system's own record, which differs from the runtime's 64-bit one.
void CopyState(const ACE_stat &from, __stat64 &to) {
  __stat64 state{};
  state.st_dev = static_cast<decltype(state.st_dev)>(from.st_dev);
  state.st_ino = static_cast<decltype(state.st_ino)>(from.st_ino);
  state.st_mode = static_cast<decltype(state.st_mode)>(from.st_mode);
  state.st_nlink = static_cast<decltype(state.st_nlink)>(from.st_nlink);
  state.st_uid = static_cast<decltype(state.st_uid)>(from.st_uid);
  state.st_gid = static_cast<decltype(state.st_gid)>(from.st_gid);
  state.st_rdev = static_cast<decltype(state.st_rdev)>(from.st_rdev);
  state.st_size = static_cast<decltype(state.st_size)>(from.st_size);
  state.st_atime = static_cast<decltype(state.st_atime)>(from.st_atime);
  state.st_mtime = static_cast<decltype(state.st_mtime)>(from.st_mtime);
  state.st_ctime = static_cast<decltype(state.st_ctime)>(from.st_ctime);
  to = state;
}

}  // namespace

// ---------------------------------------------------------------------------
// The record

NoFSRedirectFileData::NoFSRedirectFileData(const std::wstring &registered, const ACE_Time_Value &interval,
                                           std::uint64_t creds, bool idle)
    : FileRecord(registered, WatchedForm(registered), interval, creds, idle),
      hChange(INVALID_HANDLE_VALUE),
      hFileChange(INVALID_HANDLE_VALUE) {}

NoFSRedirectFileData::~NoFSRedirectFileData() {
  CloseChangeNotification();
  CloseFileNotification();
}

std::wstring NoFSRedirectFileData::WatchedForm(const std::wstring &registered) {
  const std::wstring spaced =
      boost::algorithm::trim_left_copy_if(registered, boost::algorithm::is_any_of(VantrelPlatform::kWatchedFormLeadingTrim));
  std::wstring watched = boost::algorithm::trim_right_copy_if(spaced, boost::algorithm::is_any_of(L" /\\"));
  if (watched.empty() && !spaced.empty() && spaced[0] == L'/') {
    watched = L"/";
  }
  return watched;
}

void NoFSRedirectFileData::InitialScan() {
  if (initialized) {
    return;
  }
  lastStat = ReadState();
  if (lastStat && IsDirectory(*lastStat)) {
    CloseChangeNotification();
    hChange = OpenChangeNotification();
  }
  initialized = true;
}

std::shared_ptr<__stat64> NoFSRedirectFileData::ReadState(
    std::optional<VantrelPlatform::FileIdentity> *identity) const {
  auto state = std::make_shared<__stat64>();
  if (_wstat64(path.c_str(), state.get()) != 0) {
    return nullptr;
  }
  // A directory is not read through a handle: its stat record stands, as
  // it does for a file held without read sharing. The stat has told a
  // directory already, so the open is asked not to find out again (backup
  // semantics); should the path have become a directory since, the handle's
  // record shows it and the stat record stands all the same.
  if (IsDirectory(*state)) {
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
    return nullptr;  // on Windows: a size of 4 GiB or more
  }
  if ((byHandle.st_mode & S_IFMT) == S_IFDIR) {
    return state;
  }
  CopyState(byHandle, *state);
  if (identified) {
    *identity = fileIdentity;
  }
  return state;
}

HANDLE NoFSRedirectFileData::OpenChangeNotification() const {
  if (mailbox) {
    return VantrelPlatform::OpenDirectoryChangeNotification(path, kChangeFilter, mailbox,
                                                            static_cast<std::uint64_t>(key));
  }
  return FindFirstChangeNotificationW(path.c_str(), FALSE, kChangeFilter);
}

void NoFSRedirectFileData::CloseFileNotification() {
  if (hFileChange != INVALID_HANDLE_VALUE) {
    FindCloseChangeNotification(hFileChange);
    hFileChange = INVALID_HANDLE_VALUE;
  }
}

bool NoFSRedirectFileData::Unchanged(const ACE_Time_Value &fullCheckPeriod) {
  // Only a file that was there is spared: an absent path costs one failed
  // look-up, and a directory is judged by its attributes and its entries.
  if (fullCheckPeriod == ACE_Time_Value::zero || !lastStat || IsDirectory(*lastStat)) {
    if (hFileChange != INVALID_HANDLE_VALUE) {
      CloseFileNotification();
      nextFullCheck = ACE_Time_Value::zero;  // a file again: a new one at once
    }
    return false;
  }
  const ACE_Time_Value now = VantrelPlatform::MonotonicNow();
  if (hFileChange != INVALID_HANDLE_VALUE) {
    const bool fired = WaitForSingleObject(hFileChange, 0) != WAIT_TIMEOUT;
    if (now < nextFullCheck && !fired) {
      return true;
    }
    if (now >= nextFullCheck) {
      nextFullCheck = now + fullCheckPeriod;
    }
    // A notification that has not fired stays armed for the full check: its
    // watch is there (one lost or moved fires every handle on it), and no
    // name in the directory changed. One that fired is replaced by a fresh
    // one for the read that follows, made before the old one goes so that
    // their watch stays: it replaces a lost watch, and it is refused where
    // the path has become a link, whose target's changes its directory
    // never hears of.
    if (fired) {
      const HANDLE fresh =
          VantrelPlatform::OpenFileChangeNotification(path, mailbox, static_cast<std::uint64_t>(key));
      CloseFileNotification();
      hFileChange = fresh;
    }
    return false;
  } else if (now < nextFullCheck) {
    return false;  // none could be had; tried again when the period is over
  }
  nextFullCheck = now + fullCheckPeriod;
  if (VantrelPlatform::ChangeNotificationsTrusted(path)) {
    hFileChange = VantrelPlatform::OpenFileChangeNotification(path, mailbox, static_cast<std::uint64_t>(key));
  }
  return false;
}

void NoFSRedirectFileData::CloseChangeNotification() {
  if (hChange != INVALID_HANDLE_VALUE) {
    FindCloseChangeNotification(hChange);
    hChange = INVALID_HANDLE_VALUE;
  }
}

// ---------------------------------------------------------------------------
// The monitor

FileMonitorNoFSRedirect::FileMonitorNoFSRedirect()
    : FileMonitorCore(kNoFSRedirectKind), spNotified(VantrelPlatform::NewChangeMailbox()) {}

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
  auto record = std::make_shared<FileData>(path, interval, hCreds, wantIdle);
  record->mailbox = spNotified;
  return record;
}

int FileMonitorNoFSRedirect::CheckFile(FileRecord &base, Log threadLog) {
  FileData &record = static_cast<FileData &>(base);
  if (record.Unchanged(FullCheckPeriod())) {
    return 0;
  }
  std::optional<VantrelPlatform::FileIdentity> identity;
  std::shared_ptr<__stat64> current = record.ReadState(ReportsReplacement() ? &identity : nullptr);

  if (!record.lastStat) {
    if (!current) {
      return 0;
    }
    record.lastStat = current;
    record.lastIdentity = identity;
    if (!IsDirectory(*current)) {
      return Flags::FILE_MON_CHANGE_CREATED;
    }
    record.CloseChangeNotification();
    OpenNotificationLogged(record, threadLog, "Created notifications on directory %s successfully.",
                           "There was a problem (%s) when trying to create notifications on directory %s.");
    return Flags::FILE_MON_CHANGE_TYPE_IS_DIRECTORY | Flags::FILE_MON_CHANGE_CREATED;
  }

  if (!current) {
    int flags = Flags::FILE_MON_CHANGE_DELETED;
    record.CloseChangeNotification();
    if (IsDirectory(*record.lastStat)) {
      flags |= Flags::FILE_MON_CHANGE_TYPE_IS_DIRECTORY;
    }
    record.lastStat.reset();
    return flags;
  }

  const __stat64 &previous = *record.lastStat;
  int flags = current->st_mtime != previous.st_mtime ? static_cast<int>(Flags::FILE_MON_CHANGE_MODIFICATION_TIME) : 0;
  if (current->st_size > previous.st_size) {
    flags |= Flags::FILE_MON_CHANGE_SIZE_LARGER;
  } else if (current->st_size < previous.st_size) {
    flags |= Flags::FILE_MON_CHANGE_SIZE_SMALLER;
  }
  // Both identities are needed: a read without a handle gives none, and the
  // last known one stays until a read gives another.
  if (identity && record.lastIdentity && *identity != *record.lastIdentity) {
    flags |= Flags::FILE_MON_CHANGE_REPLACED;
  }
  if (identity) {
    record.lastIdentity = identity;
  }
  // A path that changed its type is judged by its previous one until a
  // reported change replaces that state.
  if (IsDirectory(previous)) {
    flags = CheckNotification(record, flags | Flags::FILE_MON_CHANGE_TYPE_IS_DIRECTORY, threadLog);
  }
  if ((flags & ~static_cast<int>(Flags::FILE_MON_CHANGE_TYPE_IS_DIRECTORY)) == 0) {
    return 0;
  }
  record.lastStat = current;
  return flags;
}

bool FileMonitorNoFSRedirect::TakeNotifiedKeys(std::vector<std::uint64_t> &keys) {
  return spNotified && VantrelPlatform::TakeChanges(*spNotified, keys);
}

// A file that was there at its last check, whose notification posts to the
// sweep, between its full checks.
bool FileMonitorNoFSRedirect::SparesCheck(FileRecord &base, std::int64_t now, std::int64_t &fullCheck) {
  FileData &record = static_cast<FileData &>(base);
  if (!record.mailbox || record.hFileChange == INVALID_HANDLE_VALUE || FullCheckPeriod() == ACE_Time_Value::zero ||
      !record.lastStat || IsDirectory(*record.lastStat)) {
    return false;
  }
  fullCheck = static_cast<std::int64_t>(record.nextFullCheck.sec()) * 1000000 + record.nextFullCheck.usec();
  return now < fullCheck;
}

void FileMonitorNoFSRedirect::OpenNotificationLogged(FileData &record, const Log &threadLog,
                                                     const char *successFormat, const char *failureFormat) {
  record.hChange = record.OpenChangeNotification();
  if (record.hChange != INVALID_HANDLE_VALUE) {
    threadLog.Debug(successFormat, Utf8ForLog(record.path).c_str());
  } else if (WarningDue(record)) {
    // Read before the path's conversion, which sets the last error of its own.
    const std::string reason = LastError(GetLastError());
    threadLog.Warn(failureFormat, reason.c_str(), Utf8ForLog(record.path).c_str());
  }
}

int FileMonitorNoFSRedirect::CheckNotification(FileData &record, int flags, const Log &threadLog) {
  if (record.hChange == INVALID_HANDLE_VALUE) {
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
    record.CloseChangeNotification();
    record.hChange = record.OpenChangeNotification();
  }
  return flags;
}

}  // namespace WindowsAgentCommon
