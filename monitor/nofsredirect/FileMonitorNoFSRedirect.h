// The notification monitor: it judges a file by its write time (whole
// seconds) and size, and a directory by the same two attributes plus a change
// notification on the names of its entries. Directory contents are never
// listed.
//
// A file that existed at its last check is read again only when its change
// notification says it may have changed, or when its full check is due (the
// setting FullCheckPeriod), or when its file system's notifications cannot
// be trusted (network and FUSE file systems): otherwise its state counts as
// unchanged, and the file is neither opened nor looked at.
#ifndef VANTREL_MONITOR_FILEMONITORNOFSREDIRECT_H
#define VANTREL_MONITOR_FILEMONITORNOFSREDIRECT_H

#include "monitor/FileMonitorCore.h"
#include "monitor/VantrelMonitorExport.h"

#include <Platform/Win32Api.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace WindowsAgentCommon {

class FileMonitorNoFSRedirect;

// One watched path of the notification monitor. lastStat and the change
// notification belong to the worker that checks the record (the queued mark
// keeps two checks of one record apart) and, at the end, to the destructor,
// which runs when the monitor lets its table go and no worker is left. What
// the record needs of its monitor (the settings, where notifications post)
// it is given by the call: it keeps no reference of its own, so that a
// watched file's record and its shared_ptr block take 216 bytes.
struct VANTREL_MONITOR_API NoFSRedirectFileData : FileRecord {
  // First, where they fit in the end of the shared record. The baseline was
  // read just now, after the file's notification was armed:
  bool freshBaseline : 1;
  // Whether hChange is the notification of a file (else of a directory's
  // entry names):
  bool changeOnFile : 1;

  // What the checks compare of a path: its stat record's size, write time
  // (whole seconds since 1970) and whether it is a directory.
  struct PathState {
    std::int64_t size;
    std::int64_t writeTime : 62;  // with the bits below, in one word
    bool directory : 1;
    bool present : 1;  // for Accepted: whether it holds a state
  };
  // A PathState or none, in the state's own two words.
  class Accepted {
   public:
    Accepted &operator=(const std::optional<PathState> &state) {
      state_ = state ? *state : PathState{};
      state_.present = state.has_value();
      return *this;
    }
    explicit operator bool() const { return state_.present; }
    const PathState &operator*() const { return state_; }
    const PathState *operator->() const { return &state_; }
    void reset() { state_ = PathState{}; }

   private:
    PathState state_{};
  };
  // What a check reads of its file: nothing (its notification says it is
  // unchanged), the stat record only (the full check of a file whose
  // notification has not fired, where the stat tells what a handle would),
  // or the stat record and the handle's.
  enum class Reading { kNothing, kStat, kFull };

  NoFSRedirectFileData(const std::wstring &path, const ACE_Time_Value &interval, std::uint64_t hCreds,
                       bool wantIdle);
  // Closes the change notification, if one is open. Touches no monitor,
  // whose own members may be gone by then.
  ~NoFSRedirectFileData();

  // The form of a registered path that the checks look at: leading and
  // trailing spaces go, then trailing slashes and backslashes, but a leading
  // slash stays, so a path of slashes only becomes "/". Inner characters are
  // untouched. The table key and the receivers' key keep the registered form.
  // A view into `registered`: the record copies it only where it differs.
  static std::wstring_view WatchedForm(const std::wstring &registered);

  // Takes the baseline once: the state of the path now, and for a directory
  // its change notification (a failure is retried by the checks). A file's
  // own notification is armed before the state is read, so that the check
  // that follows may take that state on the notification's word.
  void InitialScan(const FileMonitorNoFSRedirect &monitor);
  bool HasAcceptedState() const { return static_cast<bool>(lastStat); }

  // The path's state now: the stat record, refined through a read handle
  // where the path can be opened; empty when the path cannot be read. With
  // `identity`, also the identity of the file, which that handle read gives;
  // left empty where there is no handle (a directory, a file that cannot be
  // opened for reading).
  std::optional<PathState> ReadState(std::optional<VantrelPlatform::FileIdentity> *identity = nullptr) const;
  // The stat record alone; empty when the path cannot be read. With
  // `identity`, also the identity of the file that the stat read.
  std::optional<PathState> StatState(std::optional<VantrelPlatform::FileIdentity> *identity = nullptr) const;

  // The notification on a directory's entry names, or on the file; each
  // INVALID_HANDLE_VALUE when the other one or none is open.
  HANDLE DirectoryChange() const { return changeOnFile ? INVALID_HANDLE_VALUE : hChange; }
  HANDLE FileChange() const { return changeOnFile ? hChange : INVALID_HANDLE_VALUE; }

  // Opens a change notification on the entry names directly inside `path`;
  // INVALID_HANDLE_VALUE, with the thread's last error, when that fails.
  HANDLE OpenChangeNotification(const FileMonitorNoFSRedirect &monitor) const;
  // Closes the directory's notification, if that is what is open, and makes
  // `directoryChange` the record's.
  void SetDirectoryChange(HANDLE directoryChange);
  void CloseChangeNotification();

  // What the check reads, on the word of the file's change notification;
  // unless it is nothing, the notification is armed (opened, or re-armed)
  // for that read, before it, so that no change after the read goes
  // unnotified.
  Reading ReadingNeeded(const FileMonitorNoFSRedirect &monitor);
  // Opens the file's own notification, which its file system refuses where
  // its notifications are not trusted, and sets the next full check a
  // period from now.
  void ArmFileNotification(const FileMonitorNoFSRedirect &monitor, const ACE_Time_Value &now);
  // A fresh notification for a full read, made before the old one goes so
  // that their watch stays.
  void ReplaceFileNotification(const FileMonitorNoFSRedirect &monitor);
  void CloseFileNotification();

  // The identity of a file in one word: a mix of its three fields, never 0,
  // which names no file. Two files told apart by their identity are told
  // apart by this word unless the mix of both is the same, one chance in
  // 2^64.
  static std::uint64_t IdentityWord(const VantrelPlatform::FileIdentity &identity);

  Accepted lastStat;  // last accepted state; none: absent or not yet seen
  // The one change notification of the path: its directory's entry names or
  // its file's (changeOnFile); INVALID_HANDLE_VALUE when none is open.
  HANDLE hChange;
  // A file's full check is due at nextFullCheck (monotonic clock, in
  // microseconds; 0: at once); a file whose notification cannot be had is
  // tried again from then on.
  std::int64_t nextFullCheck = 0;
  // With replacement reporting only: IdentityWord of the file last accepted;
  // 0 until a check has read one.
  std::uint64_t lastIdentity = 0;
};

// Registration is refused with InitializationException before Initialize
// and after Stop. A receiver may call every operation but Stop from
// OnFileChanged, AddMonitor and RemoveMonitor of the reported path included;
// Stop there does not wait (see FileMonitorCore::Stop).
class VANTREL_MONITOR_API FileMonitorNoFSRedirect : public FileMonitorCore {
 public:
  typedef NoFSRedirectFileData FileData;

  // Bytes of the buffer in which a path is converted for a log line.
  static const int kLogPathBufferBytes = 16384;

  FileMonitorNoFSRedirect();
  ~FileMonitorNoFSRedirect() override;

  // A path as UTF-8 for the log lines of the checks. A path whose UTF-8 form
  // does not fit kLogPathBufferBytes is converted whole all the same; the log
  // then cuts the record at its own limit and marks the cut.
  static std::string Utf8ForLog(const std::wstring &path);

 protected:
  std::shared_ptr<FileRecord> NewRecord(const std::wstring &path, const ACE_Time_Value &interval,
                                        std::uint64_t hCreds, bool wantIdle) override;
  bool HasAcceptedState(const FileRecord &record) const override {
    return static_cast<const FileData &>(record).HasAcceptedState();
  }
  void InitialScan(FileRecord &record) override { static_cast<FileData &>(record).InitialScan(*this); }
  int CheckFile(FileRecord &record, const Log &threadLog, const FileMonitorMessage::PathUnits &sent) override;
  bool TakeNotifiedKeys(std::vector<std::uint64_t> &keys) override;
  bool SparesCheck(FileRecord &record, std::int64_t now, std::int64_t &fullCheck) override;

 private:
  friend struct NoFSRedirectFileData;

  // Where the notifications post their records' keys, for the sweep; null
  // where they cannot.
  const std::shared_ptr<VantrelPlatform::ChangeMailbox> notified_;

  // Flags of a directory whose state was present at the last check and still
  // is: its notification is polled, or reopened when it is missing.
  int CheckNotification(FileData &record, int flags, const Log &threadLog) const;
  // Opens the record's change notification and logs the outcome with one of
  // the two formats (the error's text first, then the directory's path in UTF-8).
  // A failure is warned about under the record's rate limit, which every
  // warning about the path shares.
  void OpenNotificationLogged(FileData &record, const Log &threadLog, const char *successFormat,
                              const char *failureFormat) const;
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_MONITOR_FILEMONITORNOFSREDIRECT_H
