// The functions of Win32Api.h whose calls a test may replace, each through
// the calls installed now (Platform/ChangeNotificationCalls.h,
// Platform/FileIdentityCalls.h); each system's sources supply System().
#include <Platform/ChangeNotificationCalls.h>
#include <Platform/FileIdentityCalls.h>

#include <atomic>

namespace VantrelPlatform {

namespace detail {

// Each system's own identity reads.
BOOL AttributesAndIdentityOf(LPCWSTR path, WIN32_FILE_ATTRIBUTE_DATA *attributes,
                             std::optional<FileIdentity> *identity);
BOOL AttributesAndIdentityOf(const std::wstring &path, WIN32_FILE_ATTRIBUTE_DATA *attributes,
                             std::optional<FileIdentity> *identity);
int Stat64AndIdentityOf(const wchar_t *path, __stat64 *buffer, std::optional<FileIdentity> *identity);
// GetFileAttributesOfUtf16 of the system's (the identity too where asked).
BOOL AttributesOfUtf16(const Utf16Unit *path, std::size_t length, WIN32_FILE_ATTRIBUTE_DATA *attributes,
                       std::optional<FileIdentity> *identity);
bool IdentityOfOpenFile(HANDLE file, FileIdentity &identity);

}  // namespace detail

namespace {

class SystemFileIdentityCalls final : public FileIdentityCalls {
 public:
  BOOL AttributesAndIdentity(LPCWSTR path, WIN32_FILE_ATTRIBUTE_DATA *attributes,
                             std::optional<FileIdentity> *identity) override {
    return detail::AttributesAndIdentityOf(path, attributes, identity);
  }
  int StatAndIdentity(const wchar_t *path, __stat64 *buffer, std::optional<FileIdentity> *identity) override {
    return detail::Stat64AndIdentityOf(path, buffer, identity);
  }
  bool OfHandle(HANDLE file, FileIdentity &identity) override { return detail::IdentityOfOpenFile(file, identity); }
};

// The calls installed for one interface: null for the system's.
template <typename Calls>
class Installed {
 public:
  static Calls &Get() {
    Calls *calls = Current();
    return calls != nullptr ? *calls : Calls::System();
  }
  static Calls *Current() { return installed_.load(std::memory_order_acquire); }
  static Calls *Swap(Calls *calls) { return installed_.exchange(calls, std::memory_order_acq_rel); }

 private:
  static std::atomic<Calls *> installed_;
};

template <typename Calls>
std::atomic<Calls *> Installed<Calls>::installed_{nullptr};

typedef Installed<ChangeNotificationCalls> Notifications;
typedef Installed<FileIdentityCalls> Identities;

}  // namespace

ChangeNotificationCalls *InstallChangeNotificationCalls(ChangeNotificationCalls *calls) {
  return Notifications::Swap(calls);
}

HANDLE OpenFileChangeNotification(const std::wstring &path, const std::shared_ptr<ChangeMailbox> &mailbox,
                                  std::uint64_t cookie) {
  return Notifications::Get().OpenFile(path, mailbox, cookie);
}

HANDLE OpenDirectoryChangeNotification(const std::wstring &path, DWORD filter,
                                       const std::shared_ptr<ChangeMailbox> &mailbox, std::uint64_t cookie) {
  return Notifications::Get().OpenDirectory(path, filter, mailbox, cookie);
}

bool TakeChanges(ChangeMailbox &mailbox, std::vector<std::uint64_t> &cookies) noexcept {
  return Notifications::Get().Take(mailbox, cookies);
}

bool ChangeNotificationsTrusted(const std::wstring &path) { return Notifications::Get().Trusted(path); }

// Never destroyed: a static's destructor may still read an identity.
FileIdentityCalls &FileIdentityCalls::System() {
  static auto *calls = new SystemFileIdentityCalls();
  return *calls;
}

FileIdentityCalls *InstallFileIdentityCalls(FileIdentityCalls *calls) { return Identities::Swap(calls); }

BOOL GetFileAttributesAndIdentity(LPCWSTR path, WIN32_FILE_ATTRIBUTE_DATA *attributes,
                                  std::optional<FileIdentity> *identity) {
  return Identities::Get().AttributesAndIdentity(path, attributes, identity);
}

// Straight to the system's read when no other is installed.
BOOL GetFileAttributesAndIdentity(const std::wstring &path, WIN32_FILE_ATTRIBUTE_DATA *attributes,
                                  std::optional<FileIdentity> *identity) {
  FileIdentityCalls *installed = Identities::Current();
  return installed != nullptr ? installed->AttributesAndIdentity(path.c_str(), attributes, identity)
                              : detail::AttributesAndIdentityOf(path, attributes, identity);
}

// The identity through the installed calls, which take a wide string, when
// a test installed some.
BOOL GetFileAttributesOfUtf16(const Utf16Unit *path, std::size_t length, WIN32_FILE_ATTRIBUTE_DATA *attributes,
                              std::optional<FileIdentity> *identity) {
  FileIdentityCalls *installed = identity != nullptr ? Identities::Current() : nullptr;
  return installed != nullptr ? installed->AttributesAndIdentity(FromUtf16(path, length).c_str(), attributes, identity)
                              : detail::AttributesOfUtf16(path, length, attributes, identity);
}

int Stat64AndIdentity(const wchar_t *path, __stat64 *buffer, std::optional<FileIdentity> *identity) {
  return Identities::Get().StatAndIdentity(path, buffer, identity);
}

bool IdentityOfHandle(HANDLE file, FileIdentity &identity) { return Identities::Get().OfHandle(file, identity); }

}  // namespace VantrelPlatform
