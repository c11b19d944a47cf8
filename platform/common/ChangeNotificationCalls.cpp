// The change-notification functions of Win32Api.h, each through the calls
// installed now (Platform/ChangeNotificationCalls.h); each system's source
// supplies ChangeNotificationCalls::System().
#include <Platform/ChangeNotificationCalls.h>

#include <atomic>

namespace VantrelPlatform {

namespace {

std::atomic<ChangeNotificationCalls *> installed{nullptr};

ChangeNotificationCalls &Installed() {
  ChangeNotificationCalls *calls = installed.load(std::memory_order_acquire);
  return calls != nullptr ? *calls : ChangeNotificationCalls::System();
}

}  // namespace

ChangeNotificationCalls *InstallChangeNotificationCalls(ChangeNotificationCalls *calls) {
  return installed.exchange(calls, std::memory_order_acq_rel);
}

HANDLE OpenFileChangeNotification(const std::wstring &path, const std::shared_ptr<ChangeMailbox> &mailbox,
                                  std::uint64_t cookie) {
  return Installed().OpenFile(path, mailbox, cookie);
}

HANDLE OpenDirectoryChangeNotification(const std::wstring &path, DWORD filter,
                                       const std::shared_ptr<ChangeMailbox> &mailbox, std::uint64_t cookie) {
  return Installed().OpenDirectory(path, filter, mailbox, cookie);
}

bool TakeChanges(ChangeMailbox &mailbox, std::vector<std::uint64_t> &cookies) noexcept {
  return Installed().Take(mailbox, cookies);
}

bool ChangeNotificationsTrusted(const std::wstring &path) { return Installed().Trusted(path); }

}  // namespace VantrelPlatform
