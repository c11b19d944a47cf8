// Attributes, listings, read handles and _wstat64 against real files.
#include "PlatformTestSupport.h"

#include <ace/OS_NS_sys_stat.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>

using namespace VantrelTest;

namespace {

constexpr std::uint64_t kUnixEpochTicks = 116444736000000000ULL;

std::uint64_t Ticks(const FILETIME &ft) {
  return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

void SetTimes(const std::string &path, time_t atimeSec, long atimeNsec, time_t mtimeSec, long mtimeNsec) {
  const struct timespec times[2] = {{atimeSec, atimeNsec}, {mtimeSec, mtimeNsec}};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, 0));
}

DWORD AttributesError(const std::string &path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  SetLastError(0);
  EXPECT_FALSE(GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data));
  return GetLastError();
}

// Every entry of a listing, name to attributes; the last error after the
// listing ended lands in `endError`.
std::map<std::wstring, DWORD> List(const std::string &pattern, DWORD &endError) {
  std::map<std::wstring, DWORD> entries;
  WIN32_FIND_DATAW data;
  HANDLE h = FindFirstFileW(Wide(pattern).c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) {
    endError = GetLastError();
    return entries;
  }
  // Bounded: a listing that never ends fails instead of hanging.
  for (int i = 0; i < 1000; ++i) {
    entries[data.cFileName] = data.dwFileAttributes;
    if (!FindNextFileW(h, &data)) break;
  }
  EXPECT_TRUE(FindClose(h));
  endError = GetLastError();
  return entries;
}

}  // namespace

TEST(FileAttributes, FilesAndDirectoriesWithFullTimeResolutionAndStat64Alike) {
  TempDir dir;
  WriteFile(dir.Join("app.log"), std::string(100, 'x'));
  SetTimes(dir.Join("app.log"), 1600000000, 500000000, 1700000000, 123456789);
  MakeDir(dir.Join("sub"));

  WIN32_FILE_ATTRIBUTE_DATA data;
  ASSERT_TRUE(GetFileAttributesExW(Wide(dir.Join("app.log")).c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(FILE_ATTRIBUTE_NORMAL, data.dwFileAttributes);
  EXPECT_EQ(0u, data.nFileSizeHigh);
  EXPECT_EQ(100u, data.nFileSizeLow);
  EXPECT_EQ(kUnixEpochTicks + 1700000000ULL * 10000000 + 1234567, Ticks(data.ftLastWriteTime));
  EXPECT_EQ(kUnixEpochTicks + 1600000000ULL * 10000000 + 5000000, Ticks(data.ftLastAccessTime));
  struct stat st;
  ASSERT_EQ(0, ::stat(dir.Join("app.log").c_str(), &st));
  EXPECT_EQ(kUnixEpochTicks + st.st_ctim.tv_sec * 10000000ULL + st.st_ctim.tv_nsec / 100,
            Ticks(data.ftCreationTime));
  struct __stat64 st64;
  ASSERT_EQ(0, _wstat64(Wide(dir.Join("app.log")).c_str(), &st64));
  EXPECT_EQ(_S_IFREG, st64.st_mode & _S_IFMT);
  EXPECT_EQ(100, st64.st_size);
  EXPECT_EQ(1700000000, st64.st_mtime);
  EXPECT_EQ(123456789, st64.st_mtim.tv_nsec);
  EXPECT_EQ(1600000000, st64.st_atime);

  ASSERT_TRUE(GetFileAttributesExW(Wide(dir.Join("sub")).c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, data.dwFileAttributes);
  EXPECT_EQ(0u, data.nFileSizeHigh);
  EXPECT_EQ(0u, data.nFileSizeLow);
  ASSERT_EQ(0, _wstat64(Wide(dir.Join("sub")).c_str(), &st64));
  EXPECT_EQ(_S_IFDIR, st64.st_mode & _S_IFMT);
  EXPECT_EQ(0, st64.st_size);

  // Symbolic links are followed.
  ASSERT_EQ(0, ::symlink(dir.Join("sub").c_str(), dir.Join("link").c_str()));
  ASSERT_TRUE(GetFileAttributesExW(Wide(dir.Join("link")).c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, data.dwFileAttributes);
}

TEST(FileAttributes, SizeAbove4GiBIsSplitAndStat64KeepsIt) {
  TempDir dir;
  const std::string path = dir.Join("big.log");
  WriteFile(path, "");
  ASSERT_EQ(0, ::truncate(path.c_str(), (5LL << 30) + 3));  // sparse
  WIN32_FILE_ATTRIBUTE_DATA data;
  ASSERT_TRUE(GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(1u, data.nFileSizeHigh);
  EXPECT_EQ((1u << 30) + 3u, data.nFileSizeLow);
  struct __stat64 st;
  ASSERT_EQ(0, _wstat64(Wide(path).c_str(), &st));
  EXPECT_EQ((5LL << 30) + 3, st.st_size);
}

TEST(FileAttributes, ErrnoMapsToWindowsCodes) {
  TempDir dir;
  WriteFile(dir.Join("file"), "x");
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, AttributesError(dir.Join("missing")));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, AttributesError(dir.Join("missing/child")));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, AttributesError(dir.Join("file/child")));  // ENOTDIR
  EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, AttributesError(dir.Join(std::string(300, 'n'))));
  ASSERT_EQ(0, ::symlink(dir.Join("loop2").c_str(), dir.Join("loop1").c_str()));
  ASSERT_EQ(0, ::symlink(dir.Join("loop1").c_str(), dir.Join("loop2").c_str()));
  EXPECT_EQ(ERROR_CANT_RESOLVE_FILENAME, AttributesError(dir.Join("loop1")));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, AttributesError(""));
  // A dangling link: its directory exists, the file it names does not.
  ASSERT_EQ(0, ::symlink(dir.Join("nowhere").c_str(), dir.Join("dangling").c_str()));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, AttributesError(dir.Join("dangling")));

  WIN32_FILE_ATTRIBUTE_DATA data;
  EXPECT_FALSE(GetFileAttributesExW(Wide(dir.Join("file")).c_str(), GetFileExMaxInfoLevel, &data));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  EXPECT_FALSE(GetFileAttributesExW(nullptr, GetFileExInfoStandard, &data));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());

  // _wstat64 sets errno and the last error alike.
  struct __stat64 st;
  EXPECT_EQ(-1, _wstat64(Wide(dir.Join("missing")).c_str(), &st));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
  EXPECT_EQ(-1, _wstat64(nullptr, &st));
  EXPECT_EQ(EINVAL, errno);
}

TEST(FileAttributes, OtherErrnoIsGeneralFailureWithItsText) {
  TempDir dir;
  // Opening a socket fails with ENXIO, which has no Windows counterpart.
  const std::string path = dir.Join("sock");
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  std::copy(path.begin(), path.end(), address.sun_path);
  ASSERT_EQ(0, ::bind(sock, reinterpret_cast<struct sockaddr *>(&address), sizeof address));

  EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(Wide(path).c_str(), GENERIC_READ, 7, 0, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
  EXPECT_EQ(ERROR_GEN_FAILURE, GetLastError());
  const std::string text = VantrelPlatform::ErrorText(ERROR_GEN_FAILURE);
  EXPECT_NE(std::string::npos, text.find("ENXIO")) << text;
  EXPECT_NE(std::string::npos, text.find("A device attached to the system is not functioning.")) << text;
  ::close(sock);
}

TEST(FileAttributes, AccessDeniedForAnUnprivilegedThread) {
  TempDir dir;
  ASSERT_EQ(0, ::chmod(dir.Path().c_str(), 0755));
  MakeDir(dir.Join("locked"));
  ASSERT_EQ(0, ::chmod(dir.Join("locked").c_str(), 0700));
  WriteFile(dir.Join("locked/inner.log"), "x");
  WriteFile(dir.Join("secret.log"), "x");
  ASSERT_EQ(0, ::chmod(dir.Join("secret.log").c_str(), 0600));

  const bool ran = RunWithoutPrivileges([&] {
    EXPECT_EQ(ERROR_ACCESS_DENIED, AttributesError(dir.Join("locked/inner.log")));
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(Wide(dir.Join("secret.log")).c_str(), GENERIC_READ, 7, 0,
                                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
    WIN32_FIND_DATAW data;
    EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileW(Wide(dir.Join("locked\\*")).c_str(), &data));
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstChangeNotificationW(Wide(dir.Join("locked")).c_str(), FALSE, 3));
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
    struct __stat64 st;
    EXPECT_EQ(-1, _wstat64(Wide(dir.Join("locked/inner.log")).c_str(), &st));
    EXPECT_EQ(EACCES, errno);
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
  });
  if (!ran) {
    GTEST_SKIP() << "cannot switch the thread's file-system identity";
  }
}

TEST(FindFiles, ListsEveryEntryWithDotAndDotDot) {
  TempDir dir;
  WriteFile(dir.Join("a.log"), "x");
  WriteFile(dir.Join("b.txt"), "x");
  MakeDir(dir.Join("sub"));
  ASSERT_EQ(0, ::symlink(dir.Join("sub").c_str(), dir.Join("link").c_str()));
  ASSERT_EQ(0, ::symlink(dir.Join("nowhere").c_str(), dir.Join("dangling").c_str()));
  const std::map<std::wstring, DWORD> expected = {
      {L".", FILE_ATTRIBUTE_DIRECTORY},      {L"..", FILE_ATTRIBUTE_DIRECTORY},
      {L"a.log", FILE_ATTRIBUTE_NORMAL},     {L"b.txt", FILE_ATTRIBUTE_NORMAL},
      {L"sub", FILE_ATTRIBUTE_DIRECTORY},    {L"link", FILE_ATTRIBUTE_DIRECTORY},
      {L"dangling", FILE_ATTRIBUTE_NORMAL}};
  for (const char *pattern : {"\\*", "/*", "/*.*"}) {
    DWORD end = 0;
    EXPECT_EQ(expected, List(dir.Path() + pattern, end)) << pattern;
    EXPECT_EQ(ERROR_NO_MORE_FILES, end) << pattern;  // FindClose kept it
  }
  DWORD end = 0;
  EXPECT_EQ((std::map<std::wstring, DWORD>{{L"a.log", FILE_ATTRIBUTE_NORMAL}}), List(dir.Join("*.log"), end));
  EXPECT_EQ((std::map<std::wstring, DWORD>{{L"b.txt", FILE_ATTRIBUTE_NORMAL}}), List(dir.Join("b.txt"), end));
  EXPECT_EQ((std::map<std::wstring, DWORD>{{L"sub", FILE_ATTRIBUTE_DIRECTORY}}), List(dir.Join("s?b"), end));
  EXPECT_EQ((std::map<std::wstring, DWORD>{{L"sub", FILE_ATTRIBUTE_DIRECTORY}}), List(dir.Join("sub**"), end));
}

TEST(FindFiles, FailuresAndHandleMisuse) {
  TempDir dir;
  WriteFile(dir.Join("file"), "x");
  DWORD error = 0;
  EXPECT_TRUE(List(dir.Join("missing\\*"), error).empty());
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, error);
  EXPECT_TRUE(List(dir.Join("file\\*"), error).empty());
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, error);
  EXPECT_TRUE(List(dir.Join("*.none"), error).empty());
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, error);
  EXPECT_TRUE(List(dir.Path() + "/", error).empty());
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, error);

  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(Wide(dir.Join("*")).c_str(), &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, find);
  EXPECT_FALSE(CloseHandle(find));  // a listing is not a file handle
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_TRUE(FindNextFileW(find, &data));
  EXPECT_TRUE(FindClose(find));
  EXPECT_FALSE(FindNextFileW(find, &data));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_FALSE(FindClose(find));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  for (HANDLE bogus : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(0x1234)}) {
    EXPECT_FALSE(FindNextFileW(bogus, &data));
    EXPECT_FALSE(FindClose(bogus));
    EXPECT_FALSE(CloseHandle(bogus));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  }
}

TEST(FindFiles, NonAsciiAndInvalidUtf8NamesOnDisk) {
  TempDir dir;
  // The last two are not UTF-8: they are listed with their bytes escaped and
  // can be opened by the listed name.
  const std::vector<std::wstring> names = {L"журнал.log", L"日本語", L"emoji-\U0001F600.txt", L"a\\b",
                                           L"bad\xDCFF\xDCFE.log", L"cut\xDCE2\xDC82"};
  for (const auto &name : names) {
    WriteFile(dir.Join(VantrelPlatform::ToUtf8(name)), "x");
  }

  DWORD end = 0;
  const auto entries = List(dir.Join("*"), end);
  for (const auto &name : names) {
    EXPECT_EQ(1u, entries.count(name)) << VantrelPlatform::ToUtf8(name);
    WIN32_FILE_ATTRIBUTE_DATA data;
    EXPECT_TRUE(GetFileAttributesExW((Wide(dir.Path() + "/") + name).c_str(), GetFileExInfoStandard, &data));
  }
  EXPECT_EQ(names.size() + 2, entries.size());
}

TEST(CreateFile, HandleGivesFstatAndClosesOnceAndOtherPathsAndModesAreRefused) {
  TempDir dir;
  WriteFile(dir.Join("app.log"), std::string(1234, 'x'));
  MakeDir(dir.Join("sub"));
  const int descriptors = OpenDescriptorCount();
  const auto open = [](const std::string &path, DWORD access = GENERIC_READ, DWORD disposition = OPEN_EXISTING) {
    return CreateFileW(Wide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  HANDLE h = open(dir.Join("app.log"));
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(ERROR_SUCCESS, GetLastError());
  ACE_stat st;
  ASSERT_EQ(0, ACE_OS::fstat(VantrelPlatform::AceHandle(h), &st));
  EXPECT_EQ(1234, st.st_size);
  EXPECT_FALSE(FindClose(h));  // a file is not a listing
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(ACE_INVALID_HANDLE, VantrelPlatform::AceHandle(h));
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());

  EXPECT_EQ(INVALID_HANDLE_VALUE, open(dir.Join("sub")));
  EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
  // With backup semantics a directory opens like a file.
  h = CreateFileW(Wide(dir.Join("sub")).c_str(), GENERIC_READ, 7, 0, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  ASSERT_EQ(0, ACE_OS::fstat(VantrelPlatform::AceHandle(h), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(INVALID_HANDLE_VALUE, open(dir.Join("missing")));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, open(dir.Join("missing/file")));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, open(dir.Join("app.log"), 0x40000000u));  // GENERIC_WRITE
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, open(dir.Join("app.log"), GENERIC_READ, 1u));  // CREATE_NEW
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  EXPECT_EQ(descriptors, OpenDescriptorCount());

  // A FIFO without a writer opens at once instead of blocking.
  ASSERT_EQ(0, ::mkfifo(dir.Join("fifo").c_str(), 0600));
  HANDLE fifo = open(dir.Join("fifo"));
  ASSERT_NE(INVALID_HANDLE_VALUE, fifo);
  EXPECT_TRUE(CloseHandle(fifo));
}

TEST(CreateFile, TooManyOpenFiles) {
  TempDir dir;
  WriteFile(dir.Join("file"), "x");
  struct rlimit saved;
  ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &saved));
  struct rlimit lowered = saved;
  lowered.rlim_cur = 64;
  ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &lowered));
  std::vector<int> fillers;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
    fillers.push_back(fd);
  }
  HANDLE h = CreateFileW(Wide(dir.Join("file")).c_str(), GENERIC_READ, 7, 0, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD error = GetLastError();
  for (int fd : fillers) {
    ::close(fd);
  }
  ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &saved));
  EXPECT_EQ(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(ERROR_TOO_MANY_OPEN_FILES, error);
}

// The one write loop of the log and the agent: a pipe takes a large block in
// pieces, and a descriptor that refuses the bytes is a failure, not success.
TEST(WriteFully, DeliversEveryByteOrReportsTheFailure) {
  int fds[2];
  ASSERT_EQ(0, ::pipe2(fds, O_CLOEXEC));
  std::string block(1 << 20, '\0');
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>('a' + i % 26);
  std::string received;
  std::thread reader([&] {
    char buffer[65536];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
      received.append(buffer, static_cast<std::size_t>(n));
    }
  });
  std::atomic<bool> written{false};
  EXPECT_TRUE(ReturnsWithin([&] { written = VantrelPlatform::WriteFully(fds[1], block.data(), block.size()); }));
  ::close(fds[1]);  // ends the reader, and a writer that hung
  reader.join();
  EXPECT_TRUE(written);
  EXPECT_TRUE(block == received) << received.size() << " bytes of " << block.size();

  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  for (int fd : {fds[0], full}) {  // not open for writing; no space left
    if (fd < 0) continue;
    written = true;
    EXPECT_TRUE(ReturnsWithin([&] { written = VantrelPlatform::WriteFully(fd, "x", 1); }, 5s));
    EXPECT_FALSE(written) << fd;
    ::close(fd);
  }
}
