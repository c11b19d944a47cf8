// Attributes, identities, listings, read handles and _wstat64 against real
// files, and the Windows codes of their failures.
#include "PlatformTestSupport.h"

#include <ace/OS_NS_sys_stat.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <tuple>

using namespace VantrelTest;

namespace {

constexpr std::uint64_t kUnixEpochTicks = 116444736000000000ULL;

std::uint64_t Ticks(const FILETIME &ft) {
  return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

std::uint64_t Ticks(const struct timespec &ts) {
  return kUnixEpochTicks + ts.tv_sec * 10000000ULL + ts.tv_nsec / 100;
}

HANDLE Open(const std::string &path, DWORD access = GENERIC_READ, DWORD disposition = OPEN_EXISTING,
            DWORD flags = FILE_ATTRIBUTE_NORMAL) {
  return CreateFileW(Wide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0,
                     disposition, flags, nullptr);
}

// The last error of each call that takes a path, ERROR_SUCCESS where it
// succeeded: GetFileAttributesExW, GetFileAttributesAndIdentity, CreateFileW,
// _wstat64 and its errno, FindFirstChangeNotificationW.
std::vector<DWORD> Errors(const std::string &path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  std::optional<VantrelPlatform::FileIdentity> identity;
  struct __stat64 st;
  std::vector<DWORD> codes;
  const auto record = [&](bool ok) { codes.push_back(FailureCode(!ok)); };
  record(GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data));
  record(VantrelPlatform::GetFileAttributesAndIdentity(Wide(path).c_str(), &data, &identity));
  // The same path given as UTF-16 units fails alike, with the identity or without.
  const VantrelPlatform::Utf16String units = VantrelPlatform::ToUtf16(Wide(path));
  for (std::optional<VantrelPlatform::FileIdentity> *asked : {decltype(&identity){}, &identity}) {
    EXPECT_EQ(codes[asked ? 1 : 0],
              FailureCode(!VantrelPlatform::GetFileAttributesOfUtf16(units.c_str(), units.size(), &data, asked)))
        << path;
  }
  // A handle that opened is closed at once.
  HANDLE file = Open(path);
  record(file != INVALID_HANDLE_VALUE && CloseHandle(file));
  errno = 0;
  record(_wstat64(Wide(path).c_str(), &st) == 0);
  codes.push_back(static_cast<DWORD>(errno));
  HANDLE watch = FindFirstChangeNotificationW(Wide(path).c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
  record(watch != INVALID_HANDLE_VALUE && FindCloseChangeNotification(watch));
  return codes;
}

// Entry names and their attributes.
using Listing = std::map<std::wstring, DWORD>;

// Every entry of a listing, and the last error after the listing ended.
std::pair<Listing, DWORD> List(const std::string &pattern) {
  Listing entries;
  WIN32_FIND_DATAW data;
  HANDLE h = FindFirstFileW(Wide(pattern).c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) return {entries, GetLastError()};
  // Bounded: a listing that never ends fails instead of hanging.
  for (int i = 0; i < 1000; ++i) {
    entries[data.cFileName] = data.dwFileAttributes;
    if (!FindNextFileW(h, &data)) break;
  }
  EXPECT_TRUE(FindClose(h));
  return {entries, GetLastError()};
}

// A log, a directory, a link to it and a link to nothing.
class PlatformFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir.Join("a.log"), "x");
    MakeDir(dir.Join("sub"));
    ASSERT_EQ(0, ::symlink(dir.Join("sub").c_str(), dir.Join("link").c_str()));
    ASSERT_EQ(0, ::symlink(dir.Join("nowhere").c_str(), dir.Join("dangling").c_str()));
  }

  TempDir dir;
};

}  // namespace

// Every call sees what stat sees: times at full resolution (the creation
// time is the status change), sizes above 4 GiB split in two halves, a
// directory's size 0, links followed. The attributes and identity read
// together agree with the separate calls and with a read handle's, which
// opens a directory only with backup semantics.
TEST_F(PlatformFiles, AttributesOfFilesAndDirectoriesAlikeInEveryCall) {
  ASSERT_EQ(0, ::truncate(dir.Join("a.log").c_str(), (5LL << 30) + 3));  // sparse
  const struct timespec times[2] = {{1600000000, 500000000}, {1700000000, 123456789}};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, dir.Join("a.log").c_str(), times, 0));

  // And files whose names are not ASCII (one beyond U+FFFF, U+10000 first, one with a byte
  // that is not UTF-8), and paths of 511 and 512 bytes, ASCII or not: a path is
  // converted in place up to 512 bytes with its terminator.
  std::vector<std::string> names = {"a.log", "sub", "link", "\xF0\x90\x80\x80\xF0\x9F\x98\x80.log", "caf\xC3\xA9\xFF.log"};
  WriteFile(dir.Join(names[3]), "x");
  WriteFile(dir.Join(names[4]), "x");
  for (const std::string &letter : {std::string("d"), std::string("\xC3\xA9")}) {
    const std::string deep = std::string(120, 'd') + letter + "/" + std::string(120, 'e') + letter + "/";
    MakeDir(dir.Join(deep.substr(0, deep.find('/'))));
    MakeDir(dir.Join(deep));
    for (const std::size_t bytes : {511u, 512u}) {
      names.push_back(deep + std::string(bytes - dir.Join(deep).size() - letter.size() - 2, 'f') + letter + ".l");
      ASSERT_EQ(bytes, dir.Join(names.back()).size());
      WriteFile(dir.Join(names.back()), "xy");
    }
  }

  const int descriptors = OpenDescriptorCount();
  for (const std::string &name : names) {
    SCOPED_TRACE(name);
    const std::wstring path = Wide(dir.Join(name));
    struct stat st;
    ASSERT_EQ(0, ::stat(dir.Join(name).c_str(), &st));
    const bool isDir = S_ISDIR(st.st_mode);
    const std::int64_t size = isDir ? 0 : st.st_size;
    WIN32_FILE_ATTRIBUTE_DATA data, together;
    std::optional<VantrelPlatform::FileIdentity> identity;
    VantrelPlatform::FileIdentity ofHandle;
    struct __stat64 st64;
    ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data));
    ASSERT_TRUE(VantrelPlatform::GetFileAttributesAndIdentity(path, &together, &identity));
    // The same path as UTF-16 units, with and without the identity.
    WIN32_FILE_ATTRIBUTE_DATA fromUnits[2];
    std::optional<VantrelPlatform::FileIdentity> unitsIdentity;
    const VantrelPlatform::Utf16String units = VantrelPlatform::ToUtf16(path);
    ASSERT_TRUE(VantrelPlatform::GetFileAttributesOfUtf16(units.c_str(), units.size(), &fromUnits[0], nullptr));
    ASSERT_TRUE(VantrelPlatform::GetFileAttributesOfUtf16(units.c_str(), units.size(), &fromUnits[1], &unitsIdentity));
    EXPECT_EQ(0, std::memcmp(&data, &fromUnits[0], sizeof data));
    EXPECT_EQ(0, std::memcmp(&data, &fromUnits[1], sizeof data));
    EXPECT_EQ(identity, unitsIdentity);
    ASSERT_EQ(0, _wstat64(path.c_str(), &st64));
    EXPECT_EQ(std::make_tuple(DWORD{isDir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL},
                              static_cast<DWORD>(size >> 32), static_cast<DWORD>(size), Ticks(st.st_ctim),
                              Ticks(st.st_atim), Ticks(st.st_mtim)),
              std::make_tuple(data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow,
                              Ticks(data.ftCreationTime), Ticks(data.ftLastAccessTime),
                              Ticks(data.ftLastWriteTime)));
    EXPECT_EQ(std::make_tuple(isDir ? _S_IFDIR : _S_IFREG, size, std::int64_t{st.st_mtim.tv_sec},
                              std::int64_t{st.st_mtim.tv_nsec}, std::int64_t{st.st_atim.tv_sec}),
              std::make_tuple(st64.st_mode & _S_IFMT, std::int64_t{st64.st_size}, std::int64_t{st64.st_mtime},
                              std::int64_t{st64.st_mtim.tv_nsec}, std::int64_t{st64.st_atime}));
    EXPECT_EQ(0, std::memcmp(&data, &together, sizeof data));
    EXPECT_EQ(std::make_pair(std::uint64_t{st.st_dev}, std::uint64_t{st.st_ino}),
              std::make_pair(identity.value_or(ofHandle).volume, identity.value_or(ofHandle).file));
    // A handle reads the identity when it opens the file, or when asked for
    // it with backup semantics.
    for (const DWORD flags : {DWORD{FILE_ATTRIBUTE_NORMAL}, DWORD{FILE_FLAG_BACKUP_SEMANTICS}}) {
      const bool refused = S_ISDIR(st.st_mode) && flags == FILE_ATTRIBUTE_NORMAL;
      HANDLE h = Open(dir.Join(name), GENERIC_READ, OPEN_EXISTING, flags);
      EXPECT_EQ(std::make_pair(refused, DWORD{refused ? ERROR_ACCESS_DENIED : ERROR_SUCCESS}),
                std::make_pair(h == INVALID_HANDLE_VALUE, GetLastError()));
      if (h == INVALID_HANDLE_VALUE) continue;
      ACE_stat opened;
      ASSERT_EQ(0, ACE_OS::fstat(VantrelPlatform::AceHandle(h), &opened));
      EXPECT_EQ(std::make_pair(st.st_mode, st.st_size), std::make_pair(opened.st_mode, opened.st_size));
      EXPECT_TRUE(VantrelPlatform::IdentityOfHandle(h, ofHandle) && identity == ofHandle);
      EXPECT_TRUE(CloseHandle(h));
      EXPECT_FALSE(VantrelPlatform::IdentityOfHandle(h, ofHandle));
    }
  }
  EXPECT_EQ(descriptors, OpenDescriptorCount());
}

// One errno, one code, whichever call met it; bad arguments are refused. A
// socket cannot be opened, and its ENXIO, which has no Windows counterpart,
// keeps its text; a FIFO without a writer opens at once instead of blocking;
// a process without descriptors left is told so.
TEST_F(PlatformFiles, ErrnoMapsToWindowsCodesInEveryCall) {
  ASSERT_EQ(0, ::chmod(dir.Path().c_str(), 0755));
  ASSERT_EQ(0, ::symlink(dir.Join("loop2").c_str(), dir.Join("loop1").c_str()));
  ASSERT_EQ(0, ::symlink(dir.Join("loop1").c_str(), dir.Join("loop2").c_str()));
  // The codes of attributes, attributes with identity, open, _wstat64 and
  // its errno, change notification.
  const DWORD fnf = ERROR_FILE_NOT_FOUND, pnf = ERROR_PATH_NOT_FOUND, ok = ERROR_SUCCESS, no = ERROR_ACCESS_DENIED;
  const DWORD loop = ERROR_CANT_RESOLVE_FILENAME, tooLong = ERROR_FILENAME_EXCED_RANGE;
  const std::vector<std::pair<std::string, std::vector<DWORD>>> cases = {
      {dir.Join("missing"), {fnf, fnf, fnf, fnf, ENOENT, fnf}},
      {dir.Join("missing/child"), {pnf, pnf, pnf, pnf, ENOENT, pnf}},
      {dir.Join("a.log/child"), {pnf, pnf, pnf, pnf, ENOTDIR, pnf}},
      {dir.Join("a.log"), {ok, ok, ok, ok, 0, pnf}},
      {dir.Join("dangling"), {fnf, fnf, fnf, fnf, ENOENT, fnf}},  // its directory exists, its target does not
      {dir.Join(std::string(300, 'n')), {tooLong, tooLong, tooLong, tooLong, ENAMETOOLONG, tooLong}},
      {dir.Join("loop1"), {loop, loop, loop, loop, ELOOP, loop}},
      {"", {pnf, pnf, pnf, pnf, ENOENT, pnf}},
  };
  for (const auto &c : cases) EXPECT_EQ(c.second, Errors(c.first)) << c.first;

  // Each call refuses what it cannot take.
  WIN32_FILE_ATTRIBUTE_DATA data;
  struct __stat64 st;
  const std::function<bool()> refused[] = {
      [&] { return !GetFileAttributesExW(Wide(dir.Join("a.log")).c_str(), GetFileExMaxInfoLevel, &data); },
      [&] { return !GetFileAttributesExW(nullptr, GetFileExInfoStandard, &data); },
      [&] { return !VantrelPlatform::GetFileAttributesOfUtf16(nullptr, 0, &data, nullptr); },
      [&] { return !VantrelPlatform::GetFileAttributesAndIdentity(Wide(dir.Join("a.log")).c_str(), &data, nullptr); },
      [&] { return Open(dir.Join("a.log"), 0x40000000u) == INVALID_HANDLE_VALUE; },        // GENERIC_WRITE
      [&] { return Open(dir.Join("a.log"), GENERIC_READ, 1u) == INVALID_HANDLE_VALUE; },  // CREATE_NEW
      [&] { return _wstat64(nullptr, &st) == -1 && errno == EINVAL; }};
  for (std::size_t i = 0; i < std::size(refused); ++i) {
    EXPECT_EQ(ERROR_INVALID_PARAMETER, FailureCode(refused[i]())) << i;
  }

  // Special files.
  ASSERT_EQ(0, ::mknod(dir.Join("sock").c_str(), S_IFSOCK | 0600, 0));
  EXPECT_EQ(ERROR_GEN_FAILURE, FailureCode(Open(dir.Join("sock")) == INVALID_HANDLE_VALUE));
  // The text is the system's own, of the errno the code stood for.
  EXPECT_EQ(std::strerror(ENXIO), VantrelPlatform::ErrorText(ERROR_GEN_FAILURE));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, FailureCode(Open(dir.Join("a.log/child")) == INVALID_HANDLE_VALUE));
  EXPECT_EQ(std::strerror(ENOTDIR), VantrelPlatform::ErrorText(ERROR_PATH_NOT_FOUND));
  ASSERT_EQ(0, ::mkfifo(dir.Join("fifo").c_str(), 0600));
  EXPECT_TRUE(ReturnsWithin([fifo = dir.Join("fifo")] { EXPECT_TRUE(CloseHandle(Open(fifo))); }, 5s));

  // No descriptor left for the process: a limit of none.
  struct rlimit saved;
  ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &saved));
  const struct rlimit none = {0, saved.rlim_max};
  ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &none));
  const DWORD error = FailureCode(Open(dir.Join("a.log")) == INVALID_HANDLE_VALUE);
  ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &saved));
  EXPECT_EQ(ERROR_TOO_MANY_OPEN_FILES, error);

  // What a user without the rights meets: a directory and a log of root's
  // own, and a log inside that directory.
  WriteFile(dir.Join("sub/inner.log"), "x");
  ASSERT_EQ(0, ::chmod(dir.Join("sub").c_str(), 0700));
  ASSERT_EQ(0, ::chmod(dir.Join("a.log").c_str(), 0600));
  const bool ran = RunWithoutPrivileges([&] {
    EXPECT_EQ((std::vector<DWORD>{no, no, no, no, EACCES, no}), Errors(dir.Join("sub/inner.log")));
    EXPECT_EQ((std::vector<DWORD>{ok, ok, no, ok, 0, pnf}), Errors(dir.Join("a.log")));
    EXPECT_EQ((std::vector<DWORD>{ok, ok, no, ok, 0, no}), Errors(dir.Join("sub")));
    EXPECT_EQ(std::make_pair(Listing{}, no), List(dir.Join("sub\\*")));
  });
  if (!ran) GTEST_SKIP() << "cannot switch the thread's file-system identity";
}

// Names that are not UTF-8 (the last two of `names`) are listed with their
// bytes escaped and can be opened by the listed name.
TEST_F(PlatformFiles, FindFilesListsEveryEntryWithDotAndDotDotOrFails) {
  WriteFile(dir.Join("b.txt"), "x");
  MakeDir(dir.Join("names"));
  const std::vector<std::wstring> names = {L"журнал.log", L"日本語", L"emoji-\U0001F600.txt", L"a\\b",
                                           L"bad\xDCFF\xDCFE.log", L"cut\xDCE2\xDC82"};
  Listing named = {{L".", FILE_ATTRIBUTE_DIRECTORY}, {L"..", FILE_ATTRIBUTE_DIRECTORY}};
  WIN32_FILE_ATTRIBUTE_DATA data;
  for (const auto &name : names) {
    WriteFile(dir.Join("names/" + VantrelPlatform::ToUtf8(name)), "x");
    EXPECT_TRUE(GetFileAttributesExW((Wide(dir.Join("names/")) + name).c_str(), GetFileExInfoStandard, &data));
    named[name] = FILE_ATTRIBUTE_NORMAL;
  }
  const Listing all = {{L".", FILE_ATTRIBUTE_DIRECTORY},      {L"..", FILE_ATTRIBUTE_DIRECTORY},
                       {L"a.log", FILE_ATTRIBUTE_NORMAL},     {L"b.txt", FILE_ATTRIBUTE_NORMAL},
                       {L"sub", FILE_ATTRIBUTE_DIRECTORY},    {L"link", FILE_ATTRIBUTE_DIRECTORY},
                       {L"dangling", FILE_ATTRIBUTE_NORMAL},  {L"names", FILE_ATTRIBUTE_DIRECTORY}};
  const Listing sub = {{L"sub", FILE_ATTRIBUTE_DIRECTORY}};
  // A pattern after the directory's path; the entries and the last error.
  const std::tuple<std::string, Listing, DWORD> cases[] = {
      {"\\*", all, ERROR_NO_MORE_FILES},  // FindClose kept the error
      {"/*", all, ERROR_NO_MORE_FILES},
      {"/*.*", all, ERROR_NO_MORE_FILES},
      {"/*.log", {{L"a.log", FILE_ATTRIBUTE_NORMAL}}, ERROR_NO_MORE_FILES},
      {"/b.txt", {{L"b.txt", FILE_ATTRIBUTE_NORMAL}}, ERROR_NO_MORE_FILES},
      {"/s?b", sub, ERROR_NO_MORE_FILES},
      {"/sub**", sub, ERROR_NO_MORE_FILES},
      {"/missing\\*", {}, ERROR_PATH_NOT_FOUND},
      {"/a.log\\*", {}, ERROR_PATH_NOT_FOUND},
      {"/*.none", {}, ERROR_FILE_NOT_FOUND},
      {"/", {}, ERROR_FILE_NOT_FOUND},  // the directory itself, with a trailing slash
      {"/names/*", named, ERROR_NO_MORE_FILES},
  };
  for (const auto &[pattern, entries, end] : cases) {
    EXPECT_EQ(std::make_pair(entries, end), List(dir.Path() + pattern)) << pattern;
  }
}

// A handle of one kind is refused by the calls of the others, a closed one by
// all; the value of a closed handle stays invalid.
TEST_F(PlatformFiles, EveryKindOfHandleIsRefusedWhereItDoesNotBelong) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(Wide(dir.Join("*")).c_str(), &data);
  HANDLE file = Open(dir.Join("a.log"));
  HANDLE change = FindFirstChangeNotificationW(Wide(dir.Path()).c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
  for (HANDLE h : {find, file, change}) ASSERT_NE(INVALID_HANDLE_VALUE, h);
  const auto refused = [&](HANDLE h, bool asFind, bool asFile, bool asChange) {
    EXPECT_FALSE(asFind && (FindNextFileW(h, &data) || FindClose(h)));
    EXPECT_FALSE(asFile && (CloseHandle(h) || VantrelPlatform::AceHandle(h) != ACE_INVALID_HANDLE));
    EXPECT_FALSE(asChange && (WaitForSingleObject(h, 0) != WAIT_FAILED || FindNextChangeNotification(h) ||
                              FindCloseChangeNotification(h)));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  };
  refused(find, false, true, true);
  refused(file, true, false, true);
  refused(change, true, true, false);
  EXPECT_TRUE(FindNextFileW(find, &data));
  EXPECT_TRUE(FindClose(find));
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_TRUE(FindCloseChangeNotification(change));
  for (HANDLE h : {find, file, change, static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE,
                   reinterpret_cast<HANDLE>(0x1234)}) {
    refused(h, true, true, true);
  }
}

// The one write loop of the log and the agent: every byte of a large block
// arrives, and a descriptor that refuses the bytes is a failure, not success.
TEST(WriteFully, DeliversEveryByteOrReportsTheFailure) {
  TempDir dir;
  const std::string path = dir.Join("out");
  std::string block(1 << 20, '\0');
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>('a' + i % 26);
  // Open for writing; not open for writing; no space left.
  const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const int readOnly = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  std::atomic<bool> written{false};
  for (const int fd : {out, readOnly, full}) {
    if (fd < 0) continue;
    written = fd != out;
    EXPECT_TRUE(ReturnsWithin([&] { written = VantrelPlatform::WriteFully(fd, block.data(), block.size()); }));
    ::close(fd);  // ends a writer that hung
    EXPECT_EQ(fd == out, written.load()) << fd;
  }
  EXPECT_TRUE(block == ReadFile(path)) << ReadFile(path).size() << " bytes of " << block.size();
}
