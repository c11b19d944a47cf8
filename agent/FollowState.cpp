#include "agent/FollowState.h"

#include <Platform/Win32Api.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace VantrelAgent {

namespace {

const char *const kHeader = "vantrel-agent follow state 1";

std::string Hex(const std::string &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    text += digits[static_cast<unsigned char>(c) >> 4];
    text += digits[static_cast<unsigned char>(c) & 15];
  }
  return text;
}

bool FromHex(const std::string &text, std::string &bytes) {
  const auto digit = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  if (text.size() % 2 != 0) return false;
  bytes.clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = digit(text[i]), low = digit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes += static_cast<char>(high * 16 + low);
  }
  return true;
}

std::string ParentDirectory(const std::string &path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::uint64_t HashBytes(const char *data, std::size_t size, std::uint64_t hash) {
  for (std::size_t i = 0; i < size; ++i) {
    hash ^= static_cast<unsigned char>(data[i]);
    hash *= 1099511628211ull;
  }
  return hash;
}

bool MatchFingerprint(int fd, const Fingerprint &known, Fingerprint &now) {
  char head[kFingerprintBytes];
  std::size_t got = 0;
  while (got < sizeof(head)) {
    const ssize_t n = ::pread(fd, head + got, sizeof(head) - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got < known.length) {
    now = Fingerprint{static_cast<std::uint32_t>(got), HashBytes(head, got, kFnvBasis)};
    return false;
  }
  const std::uint64_t prefix = HashBytes(head, known.length, kFnvBasis);
  now = Fingerprint{static_cast<std::uint32_t>(got), HashBytes(head + known.length, got - known.length, prefix)};
  return prefix == known.hash || known.length == 0;
}

bool LoadFollowState(const std::string &path, FollowState &state, bool &existed, std::string &error) {
  state = FollowState();
  std::ifstream in(path, std::ios::binary);
  existed = in.is_open();
  if (!existed) {
    if (errno == ENOENT) return true;
    error = path + ": " + std::strerror(errno);
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const std::string where = path + ":" + std::to_string(number) + ": ";
    if (number == 1) {
      if (line != kHeader) {
        error = where + "not a state file of vantrel-agent --follow";
        return false;
      }
      continue;
    }
    std::istringstream fields(line);
    std::string kind;
    fields >> kind;
    if (kind == "counts") {
      if (!(fields >> state.truncations >> state.letGo)) {
        error = where + "bad counts";
        return false;
      }
    } else if (kind == "file" || kind == "copy") {
      FollowRecord record;
      record.copy = kind == "copy";
      std::string hash, label, name;
      if (!(fields >> record.device >> record.inode >> record.offset >> record.print.length >> hash >> label >>
            name) ||
          !FromHex(name, record.name) ||
          record.print.length > kFingerprintBytes || hash.size() != 16 ||
          std::sscanf(hash.c_str(), "%16" SCNx64, &record.print.hash) != 1 || !FromHex(label, record.label) ||
          record.label.empty()) {
        error = where + "bad file record";
        return false;
      }
      state.files.push_back(std::move(record));
    } else if (!kind.empty()) {
      error = where + "unknown record '" + kind + "'";
      return false;
    }
  }
  if (number == 0) {
    error = path + ": empty, not a state file of vantrel-agent --follow";
    return false;
  }
  return true;
}

bool SaveFollowState(const std::string &path, const FollowState &state, std::string &error) {
  std::string text = std::string(kHeader) + "\n";
  char number[128];
  std::snprintf(number, sizeof(number), "counts %" PRIu64 " %" PRIu64 "\n", state.truncations, state.letGo);
  text += number;
  for (const auto &record : state.files) {
    std::snprintf(number, sizeof(number), "%s %" PRIu64 " %" PRIu64 " %" PRIu64 " %u %016" PRIx64 " ",
                  record.copy ? "copy" : "file", record.device, record.inode, record.offset, record.print.length, record.print.hash);
    text += number + Hex(record.label) + " " + Hex(record.name) + "\n";
  }
  const std::string temporary = path + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0 && VantrelPlatform::WriteFully(fd, text.data(), text.size()) && ::fsync(fd) == 0;
  const int writeError = errno;
  if (fd >= 0) ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
    error = "cannot save " + path + ": " + std::strerror(ok ? errno : writeError);
    if (fd >= 0) ::unlink(temporary.c_str());
    return false;
  }
  // The rename itself lasts only once the directory is synced.
  const int dir = ::open(ParentDirectory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace VantrelAgent
