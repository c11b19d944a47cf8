// The system's own file calls as the monitors make them on Windows, through
// the platform layer (identities, listings, change notifications, paths of
// any length). Under Wine in CI; on Windows as they are.
#include "support/TestSupport.h"

#include <Platform/Win32Api.h>

#include <cerrno>
#include <optional>
#include <set>

using namespace VantrelTest;
using VantrelPlatform::FileIdentity;

namespace {

std::optional<FileIdentity> IdentityOf(const std::wstring &path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  std::optional<FileIdentity> identity;
  EXPECT_TRUE(VantrelPlatform::GetFileAttributesAndIdentity(path.c_str(), &data, &identity)) << Utf8(path);
  return identity;
}

std::optional<FileIdentity> IdentityByHandle(const std::wstring &path) {
  const HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  FileIdentity identity;
  const bool read = VantrelPlatform::IdentityOfHandle(file, identity);
  CloseHandle(file);
  return read ? std::optional<FileIdentity>(identity) : std::nullopt;
}

// The names of a listing of `pattern` and the last error after FindClose.
std::pair<std::set<std::wstring>, DWORD> List(const std::wstring &pattern) {
  std::set<std::wstring> names;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return {names, GetLastError()};
  for (int i = 0; i < 1000; ++i) {
    names.insert(found.cFileName);
    if (!FindNextFileW(search, &found)) break;
  }
  FindClose(search);
  return {names, GetLastError()};
}

}  // namespace

// Two names of one file share its identity, by name and by handle, a renamed
// file keeps it, a new file at the old name has another, a directory has one,
// and a read that cannot learn it leaves it unknown.
TEST(WindowsPlatform, IdentitiesFollowTheFileNotTheName) {
  TempDir dir;
  const std::wstring file = Wide(dir.Write("a.log", "1")), link = dir.WJoin("b.log"), moved = dir.WJoin("c.log");
  ASSERT_TRUE(CreateHardLinkW(link.c_str(), file.c_str(), nullptr));
  const std::optional<FileIdentity> first = IdentityOf(file);
  ASSERT_TRUE(first.has_value());
  EXPECT_NE(first->file, 0u);
  EXPECT_EQ(IdentityOf(link), first);
  EXPECT_EQ(IdentityByHandle(file), first);
  ASSERT_TRUE(MoveFileW(file.c_str(), moved.c_str()));
  WriteFile(Utf8(file), "2");
  EXPECT_EQ(IdentityOf(moved), first);
  EXPECT_NE(IdentityOf(file), first);
  const std::optional<FileIdentity> directory = IdentityOf(dir.WPath());
  EXPECT_TRUE(directory.has_value() && *directory != *first);
  FailingIdentityReads reads;
  reads.failures = 1;
  EXPECT_EQ(IdentityOf(moved), std::nullopt);
  EXPECT_EQ(IdentityOf(moved), first);
}

// A listing of "dir\*" holds "." and ".." and every name as the system keeps
// it; its end is ERROR_NO_MORE_FILES, still the last error after FindClose.
TEST(WindowsPlatform, ListingsHoldEveryNameAndEndWithNoMoreFiles) {
  TempDir dir;
  dir.Write("app.log", "");
  dir.Write("\xE6\x97\xA5\xE5\xBF\x97.log", "");  // 日志.log
  MakeDir(dir.Join("Sub"));
  EXPECT_EQ(List(dir.WPath() + L"\\*"),
            std::make_pair(std::set<std::wstring>{L".", L"..", L"app.log", L"Sub", L"\u65E5\u5FD7.log"},
                           DWORD{ERROR_NO_MORE_FILES}));
  EXPECT_EQ(List(dir.WJoin("missing") + L"\\*").second, DWORD{ERROR_PATH_NOT_FOUND});
}

// A notification on a directory's entry names is signalled by a new name and
// a removed one, not by a write into a file, and is re-armed by
// FindNextChangeNotification.
TEST(WindowsPlatform, ChangeNotificationsTellEntryNamesOnly) {
  TempDir dir;
  const std::string file = dir.Write("app.log", "1");
  const HANDLE change = FindFirstChangeNotificationW(dir.WPath().c_str(), FALSE,
                                                     FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME);
  ASSERT_NE(change, INVALID_HANDLE_VALUE);
  std::vector<DWORD> waits;
  AppendFile(file, "more");
  waits.push_back(WaitForSingleObject(change, 500));
  dir.Write("new.log", "");
  waits.push_back(WaitForSingleObject(change, 5000));
  // One change may signal more than once (Wine hands on each of the
  // system's events): re-armed until it stays quiet.
  DWORD quiet = WAIT_OBJECT_0;
  for (int i = 0; i < 20 && quiet == WAIT_OBJECT_0; ++i) {
    EXPECT_TRUE(FindNextChangeNotification(change));
    quiet = WaitForSingleObject(change, 200);
  }
  waits.push_back(quiet);
  RemovePath(file);
  waits.push_back(WaitForSingleObject(change, 5000));
  EXPECT_TRUE(FindCloseChangeNotification(change));
  EXPECT_EQ(waits, (std::vector<DWORD>{WAIT_TIMEOUT, WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_OBJECT_0}))
      << "a write, a new name, re-armed, a removed name";
  EXPECT_EQ(FindFirstChangeNotificationW(dir.WJoin("missing").c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME),
            INVALID_HANDLE_VALUE);
}

// Paths of any length, written with slashes and "..", reach the system in
// their long form through every call that the monitors make; the runtime's
// stat takes the long form itself too.
TEST(WindowsPlatform, EveryFileCallTakesPathsOfAnyLength) {
  TempDir dir;
  std::wstring deep = dir.WPath();
  for (int i = 0; deep.size() < 400; ++i) {
    deep += L"\\" + std::wstring(60, static_cast<wchar_t>(L'a' + i));
    ASSERT_TRUE(CreateDirectoryW(VantrelPlatform::SystemPath(deep.c_str()).c_str(), nullptr)) << GetLastError();
  }
  const std::wstring file = deep + L"\\app.log";
  std::wstring written = deep + L"/../" + deep.substr(deep.rfind(L'\\') + 1) + L"/app.log";
  const HANDLE created = CreateFileW(written.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(created, INVALID_HANDLE_VALUE) << GetLastError();
  DWORD wrote = 0;
  EXPECT_TRUE(::WriteFile(created, "12345", 5, &wrote, nullptr));
  CloseHandle(created);
  EXPECT_EQ(VantrelPlatform::SystemPath(written.c_str()), L"\\\\?\\" + file);
  EXPECT_EQ(VantrelPlatform::SystemPath(L"C:\\short\\..\\app.log"), L"C:\\short\\..\\app.log");

  WIN32_FILE_ATTRIBUTE_DATA data;
  EXPECT_TRUE(GetFileAttributesExW(written.c_str(), GetFileExInfoStandard, &data) && data.nFileSizeLow == 5u);
  for (const std::wstring &path : {written, L"\\\\?\\" + file}) {
    struct _stat64 st;
    EXPECT_EQ(_wstat64(path.c_str(), &st), 0) << Utf8(path);
    EXPECT_EQ(st.st_size, 5);
    EXPECT_EQ(st.st_mode & _S_IFMT, _S_IFREG);
  }
  struct _stat64 st;
  EXPECT_TRUE(_wstat64(deep.c_str(), &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFDIR && st.st_size == 0);
  EXPECT_TRUE(_wstat64((deep + L"\\missing").c_str(), &st) == -1 && errno == ENOENT);
  EXPECT_EQ(List(deep + L"/*").first, (std::set<std::wstring>{L".", L"..", L"app.log"}));
  EXPECT_TRUE(IdentityOf(written).has_value());
  const HANDLE change = FindFirstChangeNotificationW(deep.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
  EXPECT_NE(change, INVALID_HANDLE_VALUE);
  if (change != INVALID_HANDLE_VALUE) FindCloseChangeNotification(change);
}
