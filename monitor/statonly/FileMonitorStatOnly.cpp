#include "monitor/statonly/FileMonitorStatOnly.h"

#include <VantrelCommon/MessageBlockUtil.h>

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
      entriesPrimed(false),
      initError(0),
      sizeBeforeGrowth(0) {}

StatOnlyFileData::~StatOnlyFileData() = default;

void StatOnlyFileData::InitialScan() {
  if (initialized) {
    return;
  }
  WIN32_FILE_ATTRIBUTE_DATA data;
  const BOOL read = GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
  AcceptBaseline(read ? &data : nullptr, read ? ERROR_SUCCESS : GetLastError());
}

void StatOnlyFileData::AcceptBaseline(const WIN32_FILE_ATTRIBUTE_DATA *data, DWORD error) {
  sizeBeforeGrowth = 0;
  if (data != nullptr) {
    const StatOnlyAttributes attributes(*data);
    SetLastAttributes(attributes);
    if (attributes.directory) {
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
      sizeBeforeGrowth = attributes.size;
    }
  } else {
    initError = error;
    SetLastAttributes(std::nullopt);
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

void StatOnlyFileData::RememberAttributes(const StatOnlyAttributes &attributes, int flags) {
  if (flags != Flags::FILE_MON_CHANGE_MODIFICATION_TIME) {
    sizeBeforeGrowth = (known_ & kAttributes) != 0 ? size_ : attributes.size;
  }
  SetLastAttributes(attributes);
}

void StatOnlyFileData::SetLastAttributes(const std::optional<StatOnlyAttributes> &attributes) {
  known_ &= static_cast<std::uint8_t>(~(kAttributes | kDirectory));
  if (!attributes) return;
  size_ = attributes->size;
  writeTime_ = attributes->writeTime;
  known_ |= static_cast<std::uint8_t>(kAttributes | (attributes->directory ? kDirectory : 0));
}

// ---------------------------------------------------------------------------
// The monitor

FileMonitorStatOnly::FileMonitorStatOnly() : FileMonitorCore(kStatOnlyKind) {}

FileMonitorStatOnly::~FileMonitorStatOnly() { StopAndQuiesce(); }

std::shared_ptr<FileRecord> FileMonitorStatOnly::NewRecord(const std::wstring &path, const ACE_Time_Value &interval,
                                                           std::uint64_t hCreds, bool wantIdle) {
  return std::allocate_shared<FileData>(RecordPoolAllocator<FileData>(), path, interval, hCreds, wantIdle);
}

int FileMonitorStatOnly::CheckFile(FileRecord &base, const Log &threadLog, const FileMonitorMessage::PathUnits &sent) {
  FileData &record = static_cast<FileData &>(base);
  const bool withIdentity = ReportsReplacement();
  WIN32_FILE_ATTRIBUTE_DATA data;
  std::optional<VantrelPlatform::FileIdentity> identity;  // empty: unknown
  // The record looks at its registered path, which the message carried:
  // read there, the record's string is not touched.
  const BOOL read =
      sent.units != nullptr
          ? VantrelPlatform::GetFileAttributesOfUtf16(sent.units, sent.length, &data, withIdentity ? &identity : nullptr)
      : withIdentity ? VantrelPlatform::GetFileAttributesAndIdentity(record.path, &data, &identity)
                     : GetFileAttributesExW(record.path.c_str(), GetFileExInfoStandard, &data);
  std::optional<StatOnlyAttributes> current;  // empty: the path is absent
  const DWORD error = read ? ERROR_SUCCESS : GetLastError();
  // The first check takes the baseline from this read: there is nothing
  // to compare it with, and a failure is said below as any check's is.
  if (record.BaselinePending()) {
    record.AcceptBaseline(read ? &data : nullptr, error);
    if (identity) {
      record.SetLastIdentity(*identity);
    }
    if (read) {
      return 0;
    }
  }
  if (read) {
    current.emplace(data);
  } else {
    if (error != ERROR_FILE_NOT_FOUND) {
      if (WarningDue(record)) {
        threadLog.Warn("There was a problem trying to get file statistics on file %ls; will try again later. "
                       "Reason: %s",
                       record.path.c_str(), LastError(error).c_str());
      }
      return 0;
    }
  }
  // Another file than the one accepted last; false while either identity is
  // unknown, and the last known one stays until a read gives another.
  const std::optional<VantrelPlatform::FileIdentity> lastIdentity = record.LastIdentity();
  const bool replaced = current && identity && lastIdentity && *lastIdentity != *identity;

  const std::optional<StatOnlyAttributes> last = record.LastAttributes();
  if (!last) {
    if (!current) {
      return 0;
    }
    record.sizeBeforeGrowth = current->size;
    record.SetLastAttributes(current);
    int flags = 0;
    // A path that was missing at the baseline, or (with replacement
    // reporting) a new file where a deleted one stood, is announced; the
    // deleted file itself coming back is not.
    if (record.initError == ERROR_FILE_NOT_FOUND || replaced) {
      flags = Flags::FILE_MON_CHANGE_CREATED;
      if (current->directory) {
        flags |= Flags::FILE_MON_CHANGE_TYPE_IS_DIRECTORY;
      }
    }
    if (identity) {
      record.SetLastIdentity(*identity);
    }
    record.initError = 0;
    record.lastWarnTime = 0;
    return flags;
  }

  const StatOnlyAttributes previous = *last;
  if (!current) {
    int flags = Flags::FILE_MON_CHANGE_DELETED;
    if (previous.directory) {
      flags |= Flags::FILE_MON_CHANGE_TYPE_IS_DIRECTORY;
    }
    record.sizeBeforeGrowth = previous.size;
    record.SetLastAttributes(std::nullopt);
    return flags;
  }

  int flags = 0;
  if (previous.writeTime != current->writeTime) {
    flags |= Flags::FILE_MON_CHANGE_MODIFICATION_TIME;
    threadLog.Debug("Log file reported as modified (LastWriteTime was %u is now %u). Likely not a problem "
                    "(especially if a file rolls via deletion or truncation), but worth noting.",
                    previous.writeTime, current->writeTime);
  }
  const std::uint32_t previousSize = previous.size;
  const std::uint32_t currentSize = current->size;
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
  if (previous.directory) {
    flags |= Flags::FILE_MON_CHANGE_TYPE_IS_DIRECTORY;
    if (replaced) {
      record.entriesPrimed = true;  // a new directory: nothing of it is absorbed
    }
    if (!CompareEntries(record, flags, threadLog)) {
      return 0;
    }
  }
  if (identity) {
    record.SetLastIdentity(*identity);
  }
  if (replaced) {
    // Reported even when size and write time match. The new file's history
    // starts here.
    flags |= Flags::FILE_MON_CHANGE_REPLACED;
    record.sizeBeforeGrowth = currentSize;
    record.SetLastAttributes(current);
    return flags;
  }
  if ((flags & ~static_cast<int>(Flags::FILE_MON_CHANGE_TYPE_IS_DIRECTORY)) == 0) {
    return 0;
  }
  record.RememberAttributes(*current, flags);
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
