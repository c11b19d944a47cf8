#include "monitor/statonly/FileMonitorStatOnly.h"

#include <VantrelCommon/MessageBlockUtil.h>

#include <cstring>

namespace WindowsAgentCommon {

namespace {

const MonitorKind kStatOnlyKind = {
    "FileMonitorStatOnly",        // className
    "EXITED",                     // exitLine
    "Removing monitor for %ls ",  // removeLineFormat
    true,                         // logsRegistrationAndChecks
    false,                        // refusesAddWhenNotRunning
    false,                        // pollsThreadCountOnStop
    false,                        // credentialsWarningInUtf8
    true,                         // reportsWithoutReceivers
};

typedef IFileMonitorSink Flags;

// Only the low 32 bits of sizes and write times take part in the checks.
std::uint32_t SizeOf(const WIN32_FILE_ATTRIBUTE_DATA &attributes) { return attributes.nFileSizeLow; }
std::uint32_t WriteTimeOf(const WIN32_FILE_ATTRIBUTE_DATA &attributes) {
  return attributes.ftLastWriteTime.dwLowDateTime;
}
bool IsDirectory(const WIN32_FILE_ATTRIBUTE_DATA &attributes) {
  return (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::shared_ptr<WIN32_FILE_ATTRIBUTE_DATA> NewAttributes() {
  auto attributes = std::make_shared<WIN32_FILE_ATTRIBUTE_DATA>();
  std::memset(attributes.get(), 0, sizeof(WIN32_FILE_ATTRIBUTE_DATA));
  return attributes;
}

std::wstring ListingPattern(const std::wstring &path) { return path + L"\\*"; }

bool IsDotEntry(const wchar_t *name) {
  return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

}  // namespace

// ---------------------------------------------------------------------------
// The record

StatOnlyFileData::StatOnlyFileData(const std::wstring &registered, const ACE_Time_Value &interval,
                                   std::uint64_t creds, bool idle)
    : FileRecord(registered, registered, interval, creds, idle),
      sizeBeforeGrowth(0),
      initError(0),
      entriesPrimed(false) {}

StatOnlyFileData::~StatOnlyFileData() = default;

void StatOnlyFileData::InitialScan() {
  if (initialized) {
    return;
  }
  sizeBeforeGrowth = 0;
  lastAttributes = NewAttributes();
  if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, lastAttributes.get())) {
    if (IsDirectory(*lastAttributes)) {
      WIN32_FIND_DATAW entry;
      HANDLE search = FindFirstFileW(ListingPattern(path).c_str(), &entry);
      if (search != INVALID_HANDLE_VALUE) {
        std::set<std::wstring> names;
        do {
          if (!IsDotEntry(entry.cFileName)) {
            names.insert(entry.cFileName);
          }
        } while (FindNextFileW(search, &entry));
        FindClose(search);
        AcceptEntries(names);
      }
      entriesPrimed = false;
    } else {
      entriesPrimed = true;
      sizeBeforeGrowth = SizeOf(*lastAttributes);
    }
  } else {
    lastAttributes.reset();
    initError = GetLastError();
  }
  // A missing path counts as a baseline; any other failure is retried
  // before the next check.
  initialized = initError == 0 || initError == ERROR_FILE_NOT_FOUND || initError == ERROR_PATH_NOT_FOUND;
}

const std::set<std::wstring> &StatOnlyFileData::DirEntries() const {
  static const std::set<std::wstring> kNone;
  return dirEntries ? *dirEntries : kNone;
}

void StatOnlyFileData::AcceptEntries(std::set<std::wstring> &names) {
  if (!dirEntries) {
    dirEntries.reset(new std::set<std::wstring>());
  }
  dirEntries->swap(names);
}

void StatOnlyFileData::RememberAttributes(const std::shared_ptr<WIN32_FILE_ATTRIBUTE_DATA> &attributes, int flags) {
  if (flags != Flags::FILE_MON_CHANGE_MODIFICATION_TIME) {
    sizeBeforeGrowth = lastAttributes ? SizeOf(*lastAttributes) : SizeOf(*attributes);
  }
  lastAttributes = attributes;
}

// ---------------------------------------------------------------------------
// The monitor

FileMonitorStatOnly::FileMonitorStatOnly() : FileMonitorCore(kStatOnlyKind) {}

FileMonitorStatOnly::~FileMonitorStatOnly() { StopAndQuiesce(); }

std::shared_ptr<FileRecord> FileMonitorStatOnly::NewRecord(const std::wstring &path, const ACE_Time_Value &interval,
                                                           std::uint64_t hCreds, bool wantIdle) {
  return std::make_shared<FileData>(path, interval, hCreds, wantIdle);
}

int FileMonitorStatOnly::CheckFile(FileRecord &base, Log threadLog) {
  FileData &record = static_cast<FileData &>(base);
  const bool withIdentity = ReportsReplacement();
  std::shared_ptr<WIN32_FILE_ATTRIBUTE_DATA> current = NewAttributes();
  std::optional<VantrelPlatform::FileIdentity> identity;  // empty: unknown
  const BOOL read = withIdentity
                        ? VantrelPlatform::GetFileAttributesAndIdentity(record.path.c_str(), current.get(), &identity)
                        : GetFileAttributesExW(record.path.c_str(), GetFileExInfoStandard, current.get());
  if (!read) {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) {
      if (WarningDue(record)) {
        threadLog.Warn("There was a problem trying to get file statistics on file %ls; will try again later. "
                       "Reason: %s",
                       record.path.c_str(), LastError(error).c_str());
      }
      return 0;
    }
    current.reset();  // the path is absent
  }
  // Another file than the one accepted last; false while either identity is
  // unknown, and the last known one stays until a read gives another.
  const bool replaced = current && identity && record.lastIdentity && *record.lastIdentity != *identity;

  if (!record.lastAttributes) {
    if (!current) {
      return 0;
    }
    record.sizeBeforeGrowth = SizeOf(*current);
    record.lastAttributes = current;
    int flags = 0;
    // A path that was missing at the baseline, or (with replacement
    // reporting) a new file where a deleted one stood, is announced; the
    // deleted file itself coming back is not.
    if (record.initError == ERROR_FILE_NOT_FOUND || replaced) {
      flags = Flags::FILE_MON_CHANGE_CREATED;
      if (IsDirectory(*current)) {
        flags |= Flags::FILE_MON_CHANGE_TYPE_IS_DIRECTORY;
      }
    }
    if (identity) {
      record.lastIdentity = identity;
    }
    record.initError = 0;
    record.lastWarnTime = 0;
    return flags;
  }

  const WIN32_FILE_ATTRIBUTE_DATA &previous = *record.lastAttributes;
  if (!current) {
    int flags = Flags::FILE_MON_CHANGE_DELETED;
    if (IsDirectory(previous)) {
      flags |= Flags::FILE_MON_CHANGE_TYPE_IS_DIRECTORY;
    }
    record.sizeBeforeGrowth = SizeOf(previous);
    record.lastAttributes.reset();
    return flags;
  }

  int flags = 0;
  if (WriteTimeOf(previous) != WriteTimeOf(*current)) {
    flags |= Flags::FILE_MON_CHANGE_MODIFICATION_TIME;
    threadLog.Debug("Log file reported as modified (LastWriteTime was %u is now %u). Likely not a problem "
                    "(especially if a file rolls via deletion or truncation), but worth noting.",
                    WriteTimeOf(previous), WriteTimeOf(*current));
  }
  const std::uint32_t previousSize = SizeOf(previous);
  const std::uint32_t currentSize = SizeOf(*current);
  if (currentSize > previousSize) {
    flags |= Flags::FILE_MON_CHANGE_SIZE_LARGER;
    threadLog.Debug("Log file reported as larger (was %u is now %u).", previousSize, currentSize);
  } else if (currentSize < previousSize) {
    flags |= Flags::FILE_MON_CHANGE_SIZE_SMALLER;
    const double ratio = static_cast<double>(currentSize) / static_cast<double>(previousSize);
    // Back to (or above) the size before the last growth, or a large file
    // that lost less than 2 per cent: the file returned to earlier content
    // rather than being truncated.
    if (record.sizeBeforeGrowth != 0 &&
        (currentSize >= record.sizeBeforeGrowth || (ratio > 0.98 && currentSize > 50000))) {
      flags |= Flags::FILE_MON_CHANGE_SIZE_REVERTED;
    }
    threadLog.Debug("Log file reported as smaller (was %u is now %u).  Previous file size before last growth was "
                    "%u, dif %5.3f",
                    previousSize, currentSize, record.sizeBeforeGrowth, ratio);
  }
  if (IsDirectory(previous)) {
    flags |= Flags::FILE_MON_CHANGE_TYPE_IS_DIRECTORY;
    if (replaced) {
      record.entriesPrimed = true;  // a new directory: nothing of it is absorbed
    }
    if (!CompareEntries(record, flags, threadLog)) {
      return 0;
    }
  }
  if (identity) {
    record.lastIdentity = identity;
  }
  if (replaced) {
    // Reported even when size and write time match. The new file's history
    // starts here.
    flags |= Flags::FILE_MON_CHANGE_REPLACED;
    record.sizeBeforeGrowth = currentSize;
    record.lastAttributes = current;
    return flags;
  }
  if ((flags & ~static_cast<int>(Flags::FILE_MON_CHANGE_TYPE_IS_DIRECTORY)) == 0) {
    return 0;
  }
  record.RememberAttributes(current, flags);
  return flags;
}

bool FileMonitorStatOnly::CompareEntries(FileData &record, int &flags, const Log &threadLog) {
  const std::wstring pattern = ListingPattern(record.path);
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW(pattern.c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (WarningDue(record)) {
      threadLog.Warn("There was a problem (%s) when trying to check for modifications on directory %s.",
                     LastError(error).c_str(), VantrelPlatform::ToUtf8(record.path).c_str());
    }
    return true;  // the attribute flags still count
  }
  std::set<std::wstring> entries;
  do {
    if (!IsDotEntry(entry.cFileName)) {
      entries.insert(entry.cFileName);
    }
  } while (FindNextFileW(search, &entry));
  // The error that ended the listing, read before anything else can set one.
  const DWORD error = GetLastError();
  FindClose(search);
  if (error != ERROR_NO_MORE_FILES) {
    if (WarningDue(record)) {
      threadLog.Warn("There was a problem trying to get file statistics on directory %s; will try again later. "
                     "Reason: %s",
                     VantrelPlatform::ToUtf8(pattern).c_str(), LastError(error).c_str());
    }
    return false;
  }
  if (entries != record.DirEntries()) {
    flags |= Flags::FILE_MON_CHANGE_MODIFICATION_TIME;
  }
  if ((flags & Flags::FILE_MON_CHANGE_MODIFICATION_TIME) != 0) {
    // The first change after the baseline is absorbed: it is reported one
    // check later, when the write time still differs.
    if (!record.entriesPrimed) {
      flags = 0;
      record.entriesPrimed = true;
    }
    record.AcceptEntries(entries);
  }
  return true;
}

}  // namespace WindowsAgentCommon
