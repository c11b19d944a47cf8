// The calls of the change-notification layer as an interface, so that a test
// can put its own in front of the system's (as LevelDB's EnvWrapper does) to
// reach what the system gives only rarely: an open that fails, a file system
// whose notifications are not trusted, events that the system dropped.
//
// OpenFileChangeNotification, OpenDirectoryChangeNotification, TakeChanges
// and ChangeNotificationsTrusted (Win32Api.h) each make one call of the
// installed instance; the system's own are installed unless a test installed
// others. Production code never installs any.
#ifndef VANTREL_PLATFORM_CHANGENOTIFICATIONCALLS_H
#define VANTREL_PLATFORM_CHANGENOTIFICATIONCALLS_H

#include <Platform/Win32Api.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace VantrelPlatform {

class ChangeNotificationCalls {
 public:
  virtual ~ChangeNotificationCalls() = default;

  // The system's calls, which live as long as the process.
  static ChangeNotificationCalls &System();

  // As the functions of the same meaning in Win32Api.h.
  virtual HANDLE OpenFile(const std::wstring &path, const std::shared_ptr<ChangeMailbox> &mailbox,
                          std::uint64_t cookie) = 0;
  virtual HANDLE OpenDirectory(const std::wstring &path, DWORD filter, const std::shared_ptr<ChangeMailbox> &mailbox,
                               std::uint64_t cookie) = 0;
  virtual bool Take(ChangeMailbox &mailbox, std::vector<std::uint64_t> &cookies) noexcept = 0;
  virtual bool Trusted(const std::wstring &path) = 0;
};

// Makes `calls` the ones that the functions go through from now on (the
// system's again for null) and returns those it replaces (null for the
// system's). `calls` must outlive every call that may still be made through
// it: a test installs its own before it starts a monitor and puts the
// system's back after the monitor has stopped.
ChangeNotificationCalls *InstallChangeNotificationCalls(ChangeNotificationCalls *calls);

// Forwards every call to the system's: a test derives from it and replaces
// the calls that it wants to fail.
class ChangeNotificationCallsWrapper : public ChangeNotificationCalls {
 public:
  HANDLE OpenFile(const std::wstring &path, const std::shared_ptr<ChangeMailbox> &mailbox,
                  std::uint64_t cookie) override {
    return System().OpenFile(path, mailbox, cookie);
  }
  HANDLE OpenDirectory(const std::wstring &path, DWORD filter, const std::shared_ptr<ChangeMailbox> &mailbox,
                       std::uint64_t cookie) override {
    return System().OpenDirectory(path, filter, mailbox, cookie);
  }
  bool Take(ChangeMailbox &mailbox, std::vector<std::uint64_t> &cookies) noexcept override {
    return System().Take(mailbox, cookies);
  }
  bool Trusted(const std::wstring &path) override { return System().Trusted(path); }
};

}  // namespace VantrelPlatform

#endif  // VANTREL_PLATFORM_CHANGENOTIFICATIONCALLS_H
