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

// One watched path of the notification monitor. lastStat and hChange belong
// to the worker that checks the record (the queued mark keeps two checks of
// one record apart) and, at the end, to the destructor, which runs when the
// monitor lets its table go and no worker is left.
struct VANTREL_MONITOR_API NoFSRedirectFileData : FileRecord {
  // First, where it fits in the end of the shared record: the baseline was
  // read just now, after the file's notification was armed.
  bool freshBaseline = false;

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

  NoFSRedirectFileData(FileMonitorNoFSRedirect &monitor, const std::wstring &path, const ACE_Time_Value &interval,
                       std::uint64_t hCreds, bool wantIdle);
  // Closes the change notifications, if any are open. Touches no member of
  // the monitor, whose own members may be gone by then.
  ~NoFSRedirectFileData() override;

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
  void InitialScan() override;
  bool HasAcceptedState() const override { return static_cast<bool>(lastStat); }

  // The path's state now: the stat record, refined through a read handle
  // where the path can be opened; empty when the path cannot be read. With
  // `identity`, also the identity of the file, which that handle read gives;
  // left empty where there is no handle (a directory, a file that cannot be
  // opened for reading).
  std::optional<PathState> ReadState(std::optional<VantrelPlatform::FileIdentity> *identity = nullptr) const;
  // The stat record alone; empty when the path cannot be read. With
  // `identity`, also the identity of the file that the stat read.
  std::optional<PathState> StatState(std::optional<VantrelPlatform::FileIdentity> *identity = nullptr) const;

  // Opens a change notification on the entry names directly inside `path`;
  // INVALID_HANDLE_VALUE, with the thread's last error, when that fails.
  HANDLE OpenChangeNotification() const;
  void CloseChangeNotification();

  // What the check reads, on the word of the file's change notification;
  // unless it is nothing, the notification is armed (opened, or re-armed)
  // for that read, before it, so that no change after the read goes
  // unnotified.
  Reading ReadingNeeded(const ACE_Time_Value &fullCheckPeriod);
  // Opens the file's own notification, which its file system refuses where
  // its notifications are not trusted, and sets the next full check a
  // period from now.
  void ArmFileNotification(const ACE_Time_Value &now, const ACE_Time_Value &fullCheckPeriod);
  // A fresh notification for a full read, made before the old one goes so
  // that their watch stays.
  void ReplaceFileNotification();
  void CloseFileNotification();

  FileMonitorNoFSRedirect &monitor;
  Accepted lastStat;  // last accepted state; none: absent or not yet seen
  HANDLE hChange;                     // INVALID_HANDLE_VALUE when none is open
  // The file's own change notification; INVALID_HANDLE_VALUE when none is
  // open. Its full check is due at nextFullCheck (monotonic clock, in
  // microseconds; 0: at once); a file whose notification cannot be had is
  // tried again from then on.
  HANDLE fileChange;
  std::int64_t nextFullCheck = 0;
  // With replacement reporting only: the identity of the file last accepted;
  // all zeros (which names no file) until a check has read one.
  VantrelPlatform::FileIdentity lastIdentity;
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
  int CheckFile(FileRecord &record, Log threadLog) override;
  bool TakeNotifiedKeys(std::vector<std::uint64_t> &keys) override;
  bool SparesCheck(FileRecord &record, std::int64_t now, std::int64_t &fullCheck) override;

 private:
  friend struct NoFSRedirectFileData;

  // Where the notifications post their records' keys, for the sweep; null
  // where they cannot.
  const std::shared_ptr<VantrelPlatform::ChangeMailbox> notified_;

  // Flags of a directory whose state was present at the last check and still
  // is: its notification is polled, or reopened when it is missing.
  static int CheckNotification(FileData &record, int flags, const Log &threadLog);
  // Opens the record's change notification and logs the outcome with one of
  // the two formats (the error's text first, then the directory's path in UTF-8).
  // A failure is warned about under the record's rate limit, which every
  // warning about the path shares.
  static void OpenNotificationLogged(FileData &record, const Log &threadLog, const char *successFormat,
                                     const char *failureFormat);
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_MONITOR_FILEMONITORNOFSREDIRECT_H
