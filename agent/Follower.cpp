#include "agent/Follower.h"

#include "agent/ReportFormat.h"

#include <nlohmann/json.hpp>

#include <chrono>

#if !defined(_WIN32)
#include "agent/FollowState.h"
#include "monitor/IFileMonitorSink.h"

#include <Platform/Win32Api.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>
#endif

namespace VantrelAgent {

namespace {

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or
// values above U+10FFFF).
[[maybe_unused]] bool ValidUtf8(const std::string &text) {
  const auto *p = reinterpret_cast<const unsigned char *>(text.data());
  const auto *end = p + text.size();
  while (p < end) {
    if (*p < 0x80) {
      ++p;
      continue;
    }
    int more = 0;
    unsigned int low = 0x80, high = 0xBF;  // the range of the second byte
    if (*p >= 0xC2 && *p <= 0xDF) {
      more = 1;
    } else if (*p >= 0xE0 && *p <= 0xEF) {
      more = 2;
      if (*p == 0xE0) low = 0xA0;
      if (*p == 0xED) high = 0x9F;
    } else if (*p >= 0xF0 && *p <= 0xF4) {
      more = 3;
      if (*p == 0xF0) low = 0x90;
      if (*p == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (end - p <= more || p[1] < low || p[1] > high) return false;
    for (int i = 2; i <= more; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
    }
    p += more + 1;
  }
  return true;
}

// One line as it is written, without its newline, appended to `out`: the
// template (text) or a JSON object {"path":...,"offset":...,"line":...} with
// "path_bytes" and "line_bytes" for text that is not UTF-8 and
// "continued":true on the pieces of an overlong line after the first.
// `escapedPath` is `path` through EscapeControls.
[[maybe_unused]] void AppendLine(std::string &out, const FollowOptions &options, const std::string &path,
                const std::string &escapedPath, std::uint64_t offset, const char *data, std::size_t size,
                bool continued) {
  if (options.json) {
    nlohmann::ordered_json object;
    const std::string line(data, size);
    object["path"] = path;
    object["offset"] = offset;
    object["line"] = line;
    if (continued) object["continued"] = true;
    if (!ValidUtf8(path)) object["path_bytes"] = std::vector<unsigned char>(path.begin(), path.end());
    if (!ValidUtf8(line)) object["line_bytes"] = std::vector<unsigned char>(line.begin(), line.end());
    out += object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return;
  }
  static const std::string defaultFormat(kDefaultFollowTemplate);
  const std::string &format = options.format.empty() ? defaultFormat : options.format;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%' || i + 1 == format.size()) {
      out += format[i];
      continue;
    }
    switch (format[++i]) {
      case 'p': out += escapedPath; break;
      case 'l': out.append(data, size); break;
      case 'o': out += std::to_string(offset); break;
      case 't': out += LocalTimestamp(std::chrono::system_clock::now()); break;
      case 'I': out += IsoTimestamp(std::chrono::system_clock::now()); break;
      default: out += format[i];
    }
  }
}

}  // namespace

bool CheckFollowTemplate(const std::string &format, std::string &error) {
  return CheckPlaceholders(format, "plotI%", kFollowTemplateHelp, error);
}

#if defined(_WIN32)

std::unique_ptr<Follower> MakeFollower(const FollowOptions &, std::function<void()>, std::string &error) {
  error = "--follow is not available on Windows yet";
  return nullptr;
}

#else

namespace {

using Clock = std::chrono::steady_clock;
using WindowsAgentCommon::IFileMonitorSink;

const unsigned int kNewFile = IFileMonitorSink::FILE_MON_CHANGE_CREATED | IFileMonitorSink::FILE_MON_CHANGE_REPLACED;
// A file that lost its name stays open this long after its last line, for a
// writer that had opened it before the rotation and writes a little later.
const Clock::duration kRotatedGrace = std::chrono::seconds(2);
const Clock::duration kSaveEvery = std::chrono::seconds(1);
const Clock::duration kWarnEvery = std::chrono::seconds(60);
// A new file is taken for a copy of a followed one only when at least this
// many of its first bytes are the same, or all of the lines read of that
// one: fewer are too easily shared by unrelated logs (a date, a banner).
const std::uint32_t kMinCopyPrint = 64;
const std::size_t kReadChunk = 64 * 1024;
const std::size_t kFlushAt = 64 * 1024;

struct FileId {
  std::uint64_t device = 0, inode = 0;
  bool operator<(const FileId &o) const { return device != o.device ? device < o.device : inode < o.inode; }
  bool operator==(const FileId &o) const { return device == o.device && inode == o.inode; }
  bool operator!=(const FileId &o) const { return !(*this == o); }
};

FileId IdOf(const struct stat &st) {
  return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// A regular file opened for reading, or -1.
int OpenRegular(const std::string &path, struct stat &st) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return -1;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

ssize_t ReadAt(int fd, char *buffer, std::size_t size, std::uint64_t offset) {
  ssize_t n;
  do {
    n = ::pread(fd, buffer, size, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  return n;
}

// gzip, bzip2, xz and zstd: a rotation's compressed copy, never read as lines.
bool LooksCompressed(int fd) {
  unsigned char head[6] = {};
  const ssize_t n = ReadAt(fd, reinterpret_cast<char *>(head), sizeof(head), 0);
  if (n >= 2 && head[0] == 0x1F && head[1] == 0x8B) return true;
  if (n >= 3 && std::memcmp(head, "BZh", 3) == 0) return true;
  if (n >= 6 && std::memcmp(head, "\xFD" "7zXZ\0", 6) == 0) return true;
  return n >= 4 && std::memcmp(head, "\x28\xB5\x2F\xFD", 4) == 0;
}

// Where reading starts in a file that was there before the agent: after its
// last newline, so that a line being written is written once it is whole.
std::uint64_t LastLineStart(int fd, std::uint64_t size) {
  const std::size_t window = static_cast<std::size_t>(std::min<std::uint64_t>(size, kMaxLineBytes));
  std::string tail(window, '\0');
  const ssize_t n = ReadAt(fd, &tail[0], window, size - window);
  if (n != static_cast<ssize_t>(window)) return size;
  const std::size_t newline = tail.rfind('\n');
  if (newline != std::string::npos) return size - window + newline + 1;
  return size <= kMaxLineBytes ? 0 : size;
}

std::string DirectoryOf(const std::string &path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

void Say(const std::string &text) {
  const std::string line = "vantrel-agent: " + text + "\n";
  VantrelPlatform::WriteFully(STDERR_FILENO, line.data(), line.size());
}

class FileFollower final : public Follower {
 public:
  FileFollower(const FollowOptions &options, std::function<void()> requestStop)
      : opts(options), fnRequestStop(std::move(requestStop)) {}

  ~FileFollower() override {
    Stop();
    for (auto &file : mapFiles) {
      if (file.second.fd >= 0) ::close(file.second.fd);
    }
  }

  bool Load(std::string &error) {
    if (opts.stateFile.empty()) return true;
    FollowState state;
    if (!LoadFollowState(opts.stateFile, state, bStateLoaded, error)) return false;
    nTruncations = state.truncations;
    nLetGo = state.letGo;
    for (const auto &record : state.files) {
      File &file = mapFiles[FileId{record.device, record.inode}];
      file.offset = record.offset;
      file.print = record.print;
      file.copy = record.copy;
      file.savedName = record.name;
      SetLabel(file, record.label);
    }
    return true;
  }

  void Start() { thrReader = std::thread([this] { Run(); }); }

  void OnReport(const std::string &path, unsigned int flags) override {
    if ((flags & IFileMonitorSink::FILE_MON_CHANGE_TYPE_IS_DIRECTORY) != 0) return;
    // Opened here also before Ready, so that a file that was there at start
    // is read from where its end was at its first report, however late the
    // reading thread takes it in.
    Opened opened{path, -1, FileId(), false, 0};
    if ((flags & kNewFile) != 0 || !bReadyAnnounced.load()) {
      struct stat st {};
      opened.fd = OpenRegular(path, st);
      opened.id = IdOf(st);
      opened.size = static_cast<std::uint64_t>(st.st_size);
    }
    int dropped = -1;
    {
      std::lock_guard<std::mutex> lock(mtx);
      mapPending.emplace(path, Pending{0, !bReadyAsked}).first->second.flags |= flags;
      if (opened.fd >= 0) {
        opened.early = !bReadyAsked && (flags & kNewFile) == 0;
        if (!opened.early) ++nOpenedNew;
        queOpened.push_back(std::move(opened));
        // Held up by its output, the reader may not take new files in for a
        // while: at most --max-open wait, the oldest is let go of.
        if (nOpenedNew > 0 && nOpenedNew + nRotatedHeld.load() > opts.maxOpen) {
          const auto oldest =
              std::find_if(queOpened.begin(), queOpened.end(), [](const Opened &o) { return !o.early; });
          dropped = oldest->fd;
          queOpened.erase(oldest);
          --nOpenedNew;
          ++nDroppedUnread;
        }
      }
      cv.notify_one();
    }
    if (dropped >= 0) ::close(dropped);
  }

  void Ready() override {
    std::lock_guard<std::mutex> lock(mtx);
    bReadyAsked = true;
    bReadyAnnounced = true;
    cv.notify_one();
  }

  void Stop() override {
    {
      std::lock_guard<std::mutex> lock(mtx);
      bStop = true;
      cv.notify_one();
    }
    if (thrReader.joinable()) thrReader.join();
  }

  bool WriteFailed() const override { return bWriteFailed.load(); }

 private:
  struct Pending {
    unsigned int flags;
    bool early;  // first reported before Ready: a file that was there at start
  };
  struct Opened {
    std::string path;
    int fd;
    FileId id;
    bool early;          // there at start: reported before Ready, not as new
    std::uint64_t size;  // when it was opened
  };
  struct File {
    int fd = -1;               // -1: known from the state file, not seen in this run yet
    std::uint64_t offset = 0;  // read so far, `partial` included
    std::string partial;       // the last line, until its newline
    bool continued = false;    // the next piece continues an overlong line
    bool compressed = false;   // never read
    bool copy = false;         // a copy of another (copytruncate): read only as that one's rest
    bool fresh = false;        // new, not read yet: maybe a copy still being written (Decide)
    Fingerprint print;
    std::uint64_t printedSize = std::numeric_limits<std::uint64_t>::max();  // size at the last print
    std::string label, escapedLabel;  // the name its lines are written under
    std::set<std::string> names;      // its watched names now
    std::string savedName;            // a name it had when the state was saved
    Clock::time_point unnamedSince;
    // Before its last truncation: its print and how far its lines were
    // written, so that the rest can be read from its copy.
    Fingerprint printBefore;
    std::uint64_t committedBefore = 0;
    std::uint64_t Committed() const { return offset - partial.size(); }
  };

  static void SetLabel(File &file, const std::string &label) {
    file.label = label;
    file.escapedLabel = EscapeControls(label);
  }

  void Run() {
    std::unique_lock<std::mutex> lock(mtx);
    for (;;) {
      cv.wait_for(lock, std::chrono::milliseconds(250),
                  [this] { return bStop || !mapPending.empty() || !queOpened.empty(); });
      std::map<std::string, Pending> pending;
      pending.swap(mapPending);
      std::deque<Opened> opened;
      opened.swap(queOpened);
      nOpenedNew = 0;
      const bool stopping = bStop, ready = bReadyAsked;
      lock.unlock();

      // The names known first, so that a truncation is seen (and its copy
      // taken for what it is) before a new file is taken in.
      for (const auto &each : pending) {
        if (mapNames.count(each.first) != 0) Sync(each.first, each.second);
      }
      for (auto &each : opened) Adopt(each);
      for (const auto &each : pending) {
        if (mapNames.count(each.first) == 0) Sync(each.first, each.second);
      }
      if (ready && !bReady) ReadFirst();
      ReadRotated();
      Flush();
      Warn();
      if (!stopping || !pending.empty() || !opened.empty()) {
        MaybeSave(false);
        lock.lock();
        continue;
      }
      MaybeSave(true);
      break;
    }
    if (nTruncationsRun > 0 || nLetGoRun > 0) {
      Say("followed " + std::to_string(nLines) + " lines; " + std::to_string(nTruncationsRun) +
          " truncations (lines written between a copy and its truncation cannot be read); " +
          std::to_string(nLetGoRun) + " files let go of with lines unread" +
          (opts.stateFile.empty() ? std::string()
                                  : "; " + std::to_string(nTruncations) + " truncations and " +
                                        std::to_string(nLetGo) + " files let go of since the state began"));
    }
  }

  // Every path watched at start has been reported: what the state knew and
  // this run has not found is gone, and the files are read for the first
  // time, the least recently written first (known before new when written
  // at once), so that a file rotated while the agent was down is finished
  // before the one that took its name, and copytruncate's copy before the
  // new lines of its original, also of one that was empty when the state
  // was saved (nothing tells its copy as one then).
  void ReadFirst() {
    bReady = true;
    std::vector<std::pair<std::pair<bool, struct timespec>, File *>> files;
    for (auto it = mapFiles.begin(); it != mapFiles.end();) {
      if (it->second.fd < 0) {
        it = mapFiles.erase(it);
        continue;
      }
      struct stat st {};
      ::fstat(it->second.fd, &st);
      files.emplace_back(std::make_pair(it->second.fresh, st.st_mtim), &it->second);
      ++it;
    }
    std::sort(files.begin(), files.end(), [](const auto &a, const auto &b) {
      const struct timespec &x = a.first.second, &y = b.first.second;
      if (x.tv_sec != y.tv_sec || x.tv_nsec != y.tv_nsec) {
        return x.tv_sec != y.tv_sec ? x.tv_sec < y.tv_sec : x.tv_nsec < y.tv_nsec;
      }
      return !a.first.first && b.first.first;
    });
    for (auto &each : files) Read(*each.second);
  }

  // A file the receiver opened: new (CREATED, REPLACED), or there at start.
  void Adopt(Opened &opened) {
    const auto it = mapFiles.find(opened.id);
    if (it != mapFiles.end() && it->second.fd >= 0) {
      ::close(opened.fd);
      return;
    }
    if (it != mapFiles.end()) {
      Confirm(it, opened.fd, opened.path);
    } else {
      AddFile(opened.path, opened.fd, opened.id, opts.fromStart || bStateLoaded || !opened.early, opened.size);
    }
  }

  // The report of a path: the file that had the name is finished if another
  // has it now, and the file that has it is read.
  void Sync(const std::string &path, const Pending &pending) {
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    const FileId id = IdOf(st);
    const auto named = mapNames.find(path);
    const bool replaced = named != mapNames.end();
    if (named != mapNames.end() && (!exists || named->second != id)) {
      const auto old = mapFiles.find(named->second);
      mapNames.erase(named);
      if (old != mapFiles.end()) {
        old->second.names.erase(path);
        old->second.savedName = path;
        if (old->second.names.empty()) old->second.unnamedSince = Clock::now();
        Read(old->second);
      }
    }
    if (!exists) return;
    auto it = mapFiles.find(id);
    if (it == mapFiles.end() || it->second.fd < 0) {
      struct stat opened {};
      const int fd = OpenRegular(path, opened);
      if (fd < 0) return;
      if (IdOf(opened) != id) {  // replaced again meanwhile: its own report follows
        ::close(fd);
        return;
      }
      if (it != mapFiles.end()) {
        it = Confirm(it, fd, path);
      } else {
        const bool fromStart =
            opts.fromStart || bStateLoaded || replaced || !pending.early || (pending.flags & kNewFile) != 0;
        it = AddFile(path, fd, id, fromStart, static_cast<std::uint64_t>(opened.st_size));
      }
    }
    File &file = it->second;
    if (file.names.insert(path).second) mapNames[path] = id;
    Read(file);
  }

  // A file not followed before: a copy of one that is (its rest is read and
  // the copy itself is not), else new.
  // `fromStart` false: from after the last newline before `end`.
  std::map<FileId, File>::iterator AddFile(const std::string &path, int fd, const FileId &id, bool fromStart,
                                           std::uint64_t end) {
    File file;
    file.fd = fd;
    file.unnamedSince = Clock::now();
    file.savedName = path;
    SetLabel(file, path);
    struct stat st {};
    ::fstat(fd, &st);
    const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    MatchFingerprint(fd, Fingerprint(), file.print);
    file.printedSize = size;
    file.compressed = LooksCompressed(fd);
    File *original = nullptr;
    bool truncated = false;
    for (auto &each : mapFiles) {
      File &other = each.second;
      if (each.first == id) continue;
      const auto copies = [&](const Fingerprint &print, std::uint64_t committed) {
        return CopyEvidence(print, committed) && print.length <= file.print.length && PrefixMatches(fd, print);
      };
      if (copies(other.print, other.Committed())) {
        original = &other;
        truncated = false;
        break;
      }
      if (other.printBefore.length > 0 && copies(other.printBefore, other.committedBefore)) {
        original = &other;
        truncated = true;
      }
    }
    if (original != nullptr && !file.compressed) {
      ReadCopy(*original, fd, size, truncated);
      SetLabel(file, original->label);
      file.offset = size;
      file.copy = true;
    } else {
      file.offset = fromStart ? 0 : LastLineStart(fd, std::min(end, size));
      file.fresh = fromStart;
    }
    bDirty = true;
    return mapFiles.emplace(id, std::move(file)).first;
  }

  // Whether a file that begins with `print` is a copy of the file with that
  // print: enough of its bytes, or all that was read of it.
  static bool CopyEvidence(const Fingerprint &print, std::uint64_t committed) {
    return print.length >= kMinCopyPrint || (committed > 0 && print.length >= committed);
  }

  static bool PrefixMatches(int fd, const Fingerprint &print) {
    Fingerprint ignored;
    return MatchFingerprint(fd, print, ignored);
  }

  // A file known from the state file, found again at `path`: read on where
  // the state left it. When its first bytes changed while the agent was
  // down it is new to the agent, whether it was truncated (copytruncate) or
  // is another file at the inode of one deleted meanwhile (maybe a copy):
  // it is taken in as new, with its old print kept, so that a copy of what
  // it held is still known as one.
  std::map<FileId, File>::iterator Confirm(std::map<FileId, File>::iterator it, int fd, const std::string &path) {
    Fingerprint now;
    if (!MatchFingerprint(fd, it->second.print, now)) {
      const FileId id = it->first;
      const Fingerprint before = it->second.print;
      const std::uint64_t committed = it->second.offset;
      mapFiles.erase(it);
      struct stat st {};
      ::fstat(fd, &st);
      it = AddFile(path, fd, id, true, static_cast<std::uint64_t>(st.st_size));
      if (!it->second.copy) {
        it->second.printBefore = before;
        it->second.committedBefore = committed;
      }
      return it;
    }
    it->second.fd = fd;
    it->second.printedSize = std::numeric_limits<std::uint64_t>::max();
    return it;
  }

  // The lines of `copy` from where the original's lines were written to its
  // last newline; when the original is truncated already, its last partial
  // line too, since the rest of it is gone.
  void ReadCopy(File &original, int fd, std::uint64_t size, bool truncated) {
    std::uint64_t &from = truncated ? original.committedBefore : original.offset;
    const std::uint64_t committed = truncated ? original.committedBefore : original.Committed();
    if (size <= committed) return;
    std::string partial;
    bool continued = false;
    std::uint64_t offset = committed;
    ReadRange(fd, offset, size, partial, continued, original);
    if (truncated && !partial.empty()) {
      Emit(original, offset - partial.size(), partial.data(), partial.size(), continued);
      partial.clear();
    }
    from = offset - partial.size();
    if (!truncated) {
      // The original holds the same bytes: it goes on after them.
      original.partial.clear();
      original.continued = false;
    }
    bDirty = true;
  }

  // Reads [offset, end) of `fd` (to its end of file for the largest end),
  // writing each whole line under `file`'s label.
  void ReadRange(int fd, std::uint64_t &offset, std::uint64_t end, std::string &partial, bool &continued,
                 const File &file) {
    char buffer[kReadChunk];
    while (offset < end) {
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof(buffer), end - offset));
      const ssize_t n = ReadAt(fd, buffer, want, offset);
      if (n <= 0) break;
      const char *p = buffer;
      const char *const stop = buffer + n;
      while (p < stop) {
        const char *newline = static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(stop - p)));
        const char *pieceEnd = newline != nullptr ? newline : stop;
        const std::uint64_t at = offset + static_cast<std::uint64_t>(p - buffer) - partial.size();
        if (newline != nullptr && partial.empty()) {
          EmitWhole(file, at, p, static_cast<std::size_t>(newline - p), continued);
        } else {
          partial.append(p, pieceEnd);
          if (newline != nullptr) {
            EmitWhole(file, at, partial.data(), partial.size(), continued);
            partial.clear();
          } else {
            std::size_t cut = 0;
            while (partial.size() - cut > kMaxLineBytes) {
              Emit(file, at + cut, partial.data() + cut, kMaxLineBytes, continued);
              continued = true;
              cut += kMaxLineBytes;
            }
            partial.erase(0, cut);
          }
        }
        p = newline != nullptr ? newline + 1 : stop;
      }
      offset += static_cast<std::uint64_t>(n);
    }
  }

  // A whole line, in pieces when it is overlong; the next line is not a
  // continuation.
  void EmitWhole(const File &file, std::uint64_t at, const char *data, std::size_t size, bool &continued) {
    while (size > kMaxLineBytes) {
      Emit(file, at, data, kMaxLineBytes, continued);
      continued = true;
      at += kMaxLineBytes;
      data += kMaxLineBytes;
      size -= kMaxLineBytes;
    }
    Emit(file, at, data, size, continued);
    continued = false;
  }

  void Emit(const File &file, std::uint64_t at, const char *data, std::size_t size, bool continued) {
    ++nLines;
    if (bOutClosed) return;
    AppendLine(strOut, opts, file.label, file.escapedLabel, at, data, size, continued);
    strOut += '\n';
    if (strOut.size() >= kFlushAt) Flush();
  }

  // Whether a new file can be read as a file of its own. A copy that
  // copytruncate is still writing was too short to be told from a new file
  // when it appeared: as long as its bytes are the start of a followed file,
  // it is not read; once it holds all of that one's first bytes as they were
  // read (its print) it is that one's copy, also when that one has been
  // truncated since and its truncation is not seen yet: its bytes now are
  // the new lines. A file left undecided for kRotatedGrace is new.
  bool Decide(File &file, std::uint64_t size) {
    const auto now = Clock::now();
    if (size == 0 && now - file.unnamedSince < kRotatedGrace) return false;
    std::string head(static_cast<std::size_t>(std::min<std::uint64_t>(size, kFingerprintBytes)), '\0');
    head.resize(static_cast<std::size_t>(std::max<ssize_t>(ReadAt(file.fd, &head[0], head.size(), 0), 0)));
    bool undecided = false;
    for (auto &each : mapFiles) {
      File &other = each.second;
      if (&other == &file || other.fd < 0 || other.copy || other.compressed || other.offset == 0 ||
          other.print.length == 0) {
        continue;
      }
      if (head.size() < other.print.length) {
        // Still being written: undecided while it is the start of that one.
        std::string theirs(head.size(), '\0');
        theirs.resize(static_cast<std::size_t>(std::max<ssize_t>(ReadAt(other.fd, &theirs[0], theirs.size(), 0), 0)));
        if (!head.empty() && theirs == head) undecided = true;
        continue;
      }
      if (HashBytes(head.data(), other.print.length, kFnvBasis) == other.print.hash) {
        ReadCopy(other, file.fd, size, false);
        SetLabel(file, other.label);
        file.offset = size;
        file.copy = true;
        file.fresh = false;
        return false;
      }
    }
    if (undecided && now - file.unnamedSince < kRotatedGrace) return false;
    file.fresh = false;
    return true;
  }

  // Reads a followed file to its end; a file that shrank below what was read,
  // or whose first bytes changed, was truncated.
  // Nothing is read before every path watched at start has been reported
  // (ReadFirst).
  void Read(File &file) {
    if (file.fd < 0 || file.compressed || file.copy || !bReady) return;
    struct stat st {};
    if (::fstat(file.fd, &st) != 0) return;
    const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    if (file.offset == 0 && size > 0 && LooksCompressed(file.fd)) {
      file.compressed = true;
      return;
    }
    if (file.fresh && !Decide(file, size)) return;
    bool truncated = size < file.offset;
    if (!truncated && size != file.printedSize) {
      Fingerprint now;
      truncated = !MatchFingerprint(file.fd, file.print, now);
      if (!truncated) file.print = now;
      file.printedSize = size;
    }
    if (truncated) {
      file.printBefore = file.print;
      file.committedBefore = file.Committed();
      Truncated(file);
    }
    if (size > file.offset) {
      ReadRange(file.fd, file.offset, std::numeric_limits<std::uint64_t>::max(), file.partial, file.continued,
                file);
      // The print covers what was read, so that a copy of a short file is
      // known by it (CopyEvidence).
      Fingerprint now;
      if (file.print.length < kFingerprintBytes && MatchFingerprint(file.fd, file.print, now)) {
        file.print = now;
        file.printedSize = file.offset;
      }
      bDirty = true;
    }
  }

  // The file was truncated (copytruncate, or by hand): what its copy holds
  // beyond the lines written is read first, then the file from its start.
  void Truncated(File &file) {
    ++nTruncations;
    ++nTruncationsRun;
    const std::string directory = DirectoryOf(file.names.empty() ? file.label : *file.names.begin());
    const bool copied = ReadCopies(file, directory);
    if (!copied && !file.partial.empty()) {
      Emit(file, file.Committed(), file.partial.data(), file.partial.size(), file.continued);
    }
    file.partial.clear();
    file.continued = false;
    file.offset = 0;
    MatchFingerprint(file.fd, Fingerprint(), file.print);
    file.printedSize = std::numeric_limits<std::uint64_t>::max();
    bDirty = true;
  }

  // The largest file of the directory that begins with the truncated file's
  // old first bytes and holds more than was read: its copy.
  bool ReadCopies(File &file, const std::string &directory) {
    if (!CopyEvidence(file.printBefore, file.committedBefore)) return false;
    DIR *dir = ::opendir(directory.c_str());
    if (dir == nullptr) return false;
    std::string best;
    std::uint64_t bestSize = 0;
    while (const dirent *entry = ::readdir(dir)) {
      if (entry->d_name[0] == '.' && (entry->d_name[1] == 0 || std::strcmp(entry->d_name, "..") == 0)) continue;
      const std::string path = directory + (directory == "/" ? "" : "/") + entry->d_name;
      struct stat st {};
      const int fd = OpenRegular(path, st);
      if (fd < 0) continue;
      const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
      if (size >= file.committedBefore && size >= bestSize && PrefixMatches(fd, file.printBefore) &&
          !(IdOf(st) == IdOfFile(file))) {
        best = path;
        bestSize = size;
      }
      ::close(fd);
    }
    ::closedir(dir);
    if (best.empty()) return false;
    struct stat st {};
    const int fd = OpenRegular(best, st);
    if (fd < 0) return false;
    ReadCopy(file, fd, static_cast<std::uint64_t>(st.st_size), true);
    const FileId id = IdOf(st);
    const auto known = mapFiles.find(id);
    if (known != mapFiles.end() && known->second.fd >= 0) {
      known->second.copy = true;
      ::close(fd);
    } else {
      // Known from now on, so that its own report does not read it again;
      // let go of with the rotated files unless it has a watched name.
      File copy;
      copy.fd = fd;
      copy.offset = static_cast<std::uint64_t>(st.st_size);
      MatchFingerprint(fd, Fingerprint(), copy.print);
      copy.printedSize = copy.offset;
      copy.unnamedSince = Clock::now();
      copy.copy = true;
      copy.savedName = best;
      SetLabel(copy, file.label);
      if (known != mapFiles.end()) mapFiles.erase(known);
      mapFiles.emplace(id, std::move(copy));
    }
    return true;
  }

  FileId IdOfFile(const File &file) const {
    struct stat st {};
    return file.fd >= 0 && ::fstat(file.fd, &st) == 0 ? IdOf(st) : FileId();
  }

  // Files that lost their name: read again for late lines, closed once
  // they have been quiet for a while; at most --max-open are held.
  void ReadRotated() {
    std::vector<std::map<FileId, File>::iterator> rotated;
    const auto now = Clock::now();
    for (auto it = mapFiles.begin(); it != mapFiles.end(); ++it) {
      if (it->second.fd < 0 || !it->second.names.empty()) continue;
      const std::uint64_t before = it->second.offset;
      Read(it->second);
      if (it->second.offset != before) it->second.unnamedSince = now;
      rotated.push_back(it);
    }
    std::sort(rotated.begin(), rotated.end(),
              [](const auto &a, const auto &b) { return a->second.unnamedSince < b->second.unnamedSince; });
    std::size_t held = rotated.size();
    for (auto &it : rotated) {
      File &file = it->second;
      const bool quiet = now - file.unnamedSince >= kRotatedGrace;
      if (!quiet && held <= opts.maxOpen) continue;
      struct stat st {};
      if (!quiet && ::fstat(file.fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) > file.offset) {
        ++nLetGo;
        ++nLetGoRun;
        ++nLetGoUnsaid;
      }
      ::close(file.fd);
      mapFiles.erase(it);
      --held;
      bDirty = true;
    }
    nRotatedHeld = held;
  }

  void Flush() {
    if (strOut.empty()) return;
    if (!bOutClosed && !VantrelPlatform::WriteFully(opts.output, strOut.data(), strOut.size())) {
      bOutClosed = true;
      const int error = errno;
      if (error != EPIPE) {
        Say(std::string("cannot write to standard output: ") + std::strerror(error) + "; stopping");
        bWriteFailed = true;
      }
      fnRequestStop();
    }
    strOut.clear();
  }

  // Files let go of unread, at most once a minute.
  void Warn() {
    const std::uint64_t dropped = nDroppedUnread.exchange(0);
    nLetGo += dropped;
    nLetGoRun += dropped;
    nLetGoUnsaid += dropped;
    if (dropped > 0) bDirty = true;
    const auto now = Clock::now();
    if (nLetGoUnsaid == 0 || (bWarned && now - tpLastWarn < kWarnEvery)) return;
    Say(std::to_string(nLetGoUnsaid) + " rotated files let go of with lines unread: more than --max-open " +
        std::to_string(opts.maxOpen) + " were waiting to be read");
    nLetGoUnsaid = 0;
    bWarned = true;
    tpLastWarn = now;
  }

  // After standard output failed the state stays as it was: the lines it
  // would count as written were not.
  void MaybeSave(bool force) {
    if (opts.stateFile.empty() || bOutClosed || !bDirty) return;
    const auto now = Clock::now();
    if (!force && now - tpLastSave < kSaveEvery) return;
    FollowState state;
    state.truncations = nTruncations;
    state.letGo = nLetGo;
    for (const auto &each : mapFiles) {
      const File &file = each.second;
      state.files.push_back(
          FollowRecord{each.first.device, each.first.inode, file.Committed(), file.print, file.label,
                       file.names.empty() ? file.savedName : *file.names.begin(), file.copy});
    }
    std::string error;
    if (!SaveFollowState(opts.stateFile, state, error)) {
      if (!bSaveWarned) Say(error);
      bSaveWarned = true;
    }
    tpLastSave = now;
    bDirty = false;
  }

  const FollowOptions opts;
  const std::function<void()> fnRequestStop;
  std::thread thrReader;

  std::mutex mtx;  // guards the queues and the flags below; never held while reading or writing
  std::condition_variable cv;
  std::map<std::string, Pending> mapPending;
  std::deque<Opened> queOpened;
  std::size_t nOpenedNew = 0;  // of queOpened, those not early
  bool bStop = false;
  bool bReadyAsked = false;
  std::atomic<bool> bReadyAnnounced{false};  // bReadyAsked, for OnReport before it locks
  std::atomic<std::size_t> nRotatedHeld{0};
  std::atomic<std::uint64_t> nDroppedUnread{0};
  std::atomic<bool> bWriteFailed{false};

  // The reading thread's alone (Load runs before it starts).
  std::map<FileId, File> mapFiles;
  std::map<std::string, FileId> mapNames;
  bool bStateLoaded = false;
  bool bReady = false;
  bool bDirty = false;
  bool bOutClosed = false;
  bool bSaveWarned = false;
  bool bWarned = false;
  std::string strOut;
  std::uint64_t nLines = 0, nTruncations = 0, nTruncationsRun = 0, nLetGo = 0, nLetGoRun = 0, nLetGoUnsaid = 0;
  Clock::time_point tpLastSave, tpLastWarn;
};

}  // namespace

std::unique_ptr<Follower> MakeFollower(const FollowOptions &options, std::function<void()> requestStop,
                                       std::string &error) {
  std::unique_ptr<FileFollower> follower(new FileFollower(options, std::move(requestStop)));
  if (!follower->Load(error)) return nullptr;
  follower->Start();
  return follower;
}

#endif

}  // namespace VantrelAgent
