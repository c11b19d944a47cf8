// The polling monitor: it learns of changes only by reading each watched
// path's attributes again and again, and for a directory by comparing its
// listings. It tells a shrink back to an earlier size from a truncation.
#ifndef VANTREL_MONITOR_FILEMONITORSTATONLY_H
#define VANTREL_MONITOR_FILEMONITORSTATONLY_H

#include "monitor/FileMonitorCore.h"
#include "monitor/VantrelMonitorExport.h"

#include <Platform/Win32Api.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace WindowsAgentCommon {

// What the polling checks compare of a path's attributes: the low 32 bits of
// its size and write time, and whether it is a directory.
struct StatOnlyAttributes {
  explicit StatOnlyAttributes(const WIN32_FILE_ATTRIBUTE_DATA &data)
      : size(data.nFileSizeLow),
        writeTime(data.ftLastWriteTime.dwLowDateTime),
        directory((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {}
  StatOnlyAttributes(std::uint32_t sizeLow, std::uint32_t writeTimeLow, bool isDirectory)
      : size(sizeLow), writeTime(writeTimeLow), directory(isDirectory) {}
  std::uint32_t size;
  std::uint32_t writeTime;
  bool directory;
};

// One watched path of the polling monitor. Its check state (everything but
// what FileRecord guards with locks) belongs to the one worker that checks
// it, and lives in the record itself: a plain file's record is one
// allocation.
struct VANTREL_MONITOR_API StatOnlyFileData : FileRecord {
  StatOnlyFileData(const std::wstring &path, const ACE_Time_Value &interval, std::uint64_t hCreds, bool wantIdle);
  ~StatOnlyFileData();

  // A record whose baseline has not been tried yet counts as holding one:
  // its first check takes it, with the one read of the path that it makes.
  bool HasAcceptedState() const { return (known_ & kAttributes) != 0 || BaselinePending(); }
  void InitialScan();
  bool BaselinePending() const { return !initialized && initError == 0; }
  // Takes the baseline from a read of the path's attributes: `data`, or null
  // when the read failed with `error`.
  void AcceptBaseline(const WIN32_FILE_ATTRIBUTE_DATA *data, DWORD error);
  // Accepts new attributes after a reported change.
  void RememberAttributes(const StatOnlyAttributes &attributes, int flags);

  // The names of the last accepted listing of a directory, without "." and
  // "..": none for a file or before the first listing.
  const std::set<std::wstring> &DirEntries() const;
  // Takes `names` over as the accepted listing; `names` gets the old one.
  void AcceptEntries(std::set<std::wstring> &names);

  // The last accepted attributes; empty while the path has not been seen
  // to exist.
  std::optional<StatOnlyAttributes> LastAttributes() const {
    if ((known_ & kAttributes) == 0) return std::nullopt;
    return StatOnlyAttributes(size_, writeTime_, (known_ & kDirectory) != 0);
  }
  void SetLastAttributes(const std::optional<StatOnlyAttributes> &attributes);
  // With replacement reporting only: the identity of the file last accepted,
  // kept through a deletion so that a new file at the path can be told from
  // the old one coming back. Empty until a check has read it.
  std::optional<VantrelPlatform::FileIdentity> LastIdentity() const {
    if ((known_ & kIdentity) == 0) return std::nullopt;
    return identity_;
  }
  void SetLastIdentity(const VantrelPlatform::FileIdentity &identity) {
    identity_ = identity;
    known_ |= kIdentity;
  }

  // In this order the record packs without holes, and what every check
  // reads (the marks, the error of the baseline, the attributes, then the
  // identity) is one run with the shared record's own check fields, which
  // end that record. The attributes and the identity are kept as their
  // fields and a bit each that says whether they are known: a std::optional
  // of each would pad each.
 private:
  enum : std::uint8_t { kAttributes = 1, kDirectory = 2, kIdentity = 4 };
  std::uint8_t known_ = 0;

 public:
  bool entriesPrimed;              // a directory's first change has been absorbed
  std::uint32_t initError;         // error of a failed baseline read, else 0

 private:
  std::uint32_t size_ = 0;       // of the last accepted attributes
  std::uint32_t writeTime_ = 0;  // of the last accepted attributes

 public:
  std::uint32_t sizeBeforeGrowth;  // the size that the last accepted change replaced

 private:
  VantrelPlatform::FileIdentity identity_;
  // Made at a directory's first listing: a file's record carries no set.
  std::unique_ptr<std::set<std::wstring>> dirEntries;
};

// Registration accepts paths before Initialize (checks begin when Initialize
// starts the sweep) and after Stop (the records are kept; nothing checks
// them). A receiver may call every operation but Stop from OnFileChanged,
// AddMonitor and RemoveMonitor of the reported path included; Stop there
// does not wait (see FileMonitorCore::Stop).
class VANTREL_MONITOR_API FileMonitorStatOnly : public FileMonitorCore {
 public:
  typedef StatOnlyFileData FileData;

  FileMonitorStatOnly();
  ~FileMonitorStatOnly() override;

 protected:
  std::shared_ptr<FileRecord> NewRecord(const std::wstring &path, const ACE_Time_Value &interval,
                                        std::uint64_t hCreds, bool wantIdle) override;
  bool HasAcceptedState(const FileRecord &record) const override {
    return static_cast<const FileData &>(record).HasAcceptedState();
  }
  void InitialScan(FileRecord &record) override { static_cast<FileData &>(record).InitialScan(); }
  int CheckFile(FileRecord &record, const Log &threadLog, const FileMonitorMessage::PathUnits &sent) override;

 private:
  // Compares a directory's listing with the last accepted one; false when
  // the listing broke off and the whole check is to be discarded.
  bool CompareEntries(FileData &record, int &flags, const Log &threadLog);
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_MONITOR_FILEMONITORSTATONLY_H
