#include "agent/WatchSet.h"

#include <algorithm>

#include "agent/PathPattern.h"
#include "monitor/IFileMonitor.h"
#include "monitor/IFileMonitorSink.h"

#include <Platform/Win32Api.h>
#include <VantrelCommon/MessageBlockUtil.h>

#if !defined(_WIN32)
#include <dirent.h>
#include <sys/stat.h>
#endif

#include <cerrno>
#include <climits>
#include <cstring>
#include <cwchar>

namespace VantrelAgent {

using WindowsAgentCommon::IFileMonitor;
using WindowsAgentCommon::IFileMonitorSink;

struct DirEntry {
  std::string name;
  bool directory = false;  // following a symbolic link
  bool link = false;       // a symbolic link (POSIX) or any reparse point (Windows)
};

namespace {

const unsigned int kCreated = IFileMonitorSink::FILE_MON_CHANGE_CREATED;
const unsigned int kDeleted = IFileMonitorSink::FILE_MON_CHANGE_DELETED;
const unsigned int kModified = IFileMonitorSink::FILE_MON_CHANGE_MODIFICATION_TIME;
const unsigned int kDirectory = IFileMonitorSink::FILE_MON_CHANGE_TYPE_IS_DIRECTORY;

// The entries of a directory but "." and ".."; none when it cannot be read,
// and then in `failure` the reason, unless the directory is just not there.
// Not the platform layer's FindFirstFileW: it follows links on POSIX without
// saying so, and a walk must not follow them.
std::vector<DirEntry> ListDirectory(const std::string &directory, std::string &failure) {
  std::vector<DirEntry> entries;
  failure.clear();
#if defined(_WIN32)
  WIN32_FIND_DATAW data;
  const HANDLE find = ::FindFirstFileExW(VantrelPlatform::FromUtf8(ChildPath(directory, "*")).c_str(),
                                         FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && error != ERROR_DIRECTORY) {
      failure = WindowsAgentCommon::LastError(error);
    }
    return entries;
  }
  do {
    if (std::wcscmp(data.cFileName, L".") == 0 || std::wcscmp(data.cFileName, L"..") == 0) continue;
    DirEntry entry;
    entry.name = VantrelPlatform::ToUtf8(data.cFileName);
    entry.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    entries.push_back(std::move(entry));
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
#else
  DIR *dir = ::opendir(directory.c_str());
  if (dir == nullptr) {
    if (errno != ENOENT && errno != ENOTDIR) failure = std::strerror(errno);
    return entries;
  }
  while (const dirent *e = ::readdir(dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    DirEntry entry;
    entry.name = e->d_name;
    entry.link = e->d_type == DT_LNK;
    entry.directory = e->d_type == DT_DIR;
    if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
      const std::string path = ChildPath(directory, entry.name);
      struct stat st {};
      entry.directory = ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
      if (e->d_type == DT_UNKNOWN) {
        struct stat lst {};
        entry.link = ::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode);
      }
    }
    entries.push_back(std::move(entry));
  }
  ::closedir(dir);
#endif
  return entries;
}

// Whether the path exists, as the calling thread sees it; when it does not,
// why, unless it is just not there.
bool Exists(const std::string &path, bool &directory, std::string &failure) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  failure.clear();
  if (::GetFileAttributesExW(VantrelPlatform::FromUtf8(path).c_str(), GetFileExInfoStandard, &data)) {
    directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
  }
  const DWORD error = ::GetLastError();
  if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) failure = WindowsAgentCommon::LastError(error);
  return false;
}

}  // namespace

WatchSet::WatchSet(IFileMonitor &monitor, IFileMonitorSink *sink, unsigned int intervalMillis,
                   const std::vector<std::string> &excludes, std::set<std::uint64_t> refusedHandles,
                   std::function<void(const std::string &)> say)
    : rMonitor(monitor),
      presence_(monitor.Presence()),
      pSink(sink),
      uInterval(intervalMillis),
      setRefusedHandles(std::move(refusedHandles)),
      fnSay(std::move(say)) {
  const std::string cwd = CurrentDirectory();
  for (const auto &exclude : excludes) {
    if (!HasSeparator(exclude)) {
      vecExcludeNames.push_back(exclude);
    } else {
      vecExcludePaths.push_back(SplitPath(NormalizePath(exclude, cwd)));
    }
  }
}

bool WatchSet::Excluded(const std::string &path) const {
  if (vecExcludeNames.empty() && vecExcludePaths.empty()) return false;
  const std::vector<std::string> components = SplitPath(path);
  for (const auto &name : vecExcludeNames) {
    if (!components.empty() && MatchPath({name}, {components.back()})) return true;
  }
  for (const auto &pattern : vecExcludePaths) {
    if (MatchPath(pattern, components)) return true;
  }
  return false;
}

bool WatchSet::Matched(const std::string &path) const {
  const std::vector<std::string> components = SplitPath(path);
  for (const auto &pattern : vecPatterns) {
    if (MatchPath(pattern.whole, components)) return true;
  }
  return false;
}

// Windows takes long paths behind "\\?\", and its MAX_PATH is no limit for them.
bool WatchSet::Fits(const std::string &path, bool directory) {
#if defined(PATH_MAX) && !defined(_WIN32)
  if (path.size() < PATH_MAX) return true;
  if (setTooLong.insert(path).second && fnSay) {
    fnSay("warning: " + path + " cannot be watched (" + std::strerror(ENAMETOOLONG) + ")" +
          (directory ? "; nothing below it is watched either" : ""));
  }
  return false;
#else
  (void)path;
  (void)directory;
  return true;
#endif
}

std::string WatchSet::Reach(const std::string &path, Entry &entry, bool listing, const std::string &reason) {
  const Rare *rare = RareOf(path, entry);
  if ((rare == nullptr ? std::string() : listing ? rare->unlisted : rare->unreachable) == reason) {
    return std::string();
  }
  std::string &said = listing ? More(path, entry).unlisted : More(path, entry).unreachable;
  const bool before = !said.empty();
  said = reason;
  const std::string what = listing ? "listed" : "checked";
  if (reason.empty()) return before ? path + " can be " + what + " now" : std::string();
  const std::uint64_t handle = HandleOf(path, entry);
  const std::string as = handle == IFileMonitor::kDefaultCredentials ? std::string()
                                                                     : " with credentials " + std::to_string(handle);
  return "warning: " + path + " cannot be " + what + as + " (" + reason + "); " +
         (listing ? "what it holds is not watched until it can be" : "it is watched until it can be");
}

bool WatchSet::Register(const std::string &path, std::uint64_t handle, const Entry &role) {
  if (!Fits(path, false)) return false;
  {
    std::lock_guard<std::mutex> lock(mtx);
    const auto added = entries_.Insert(path, role);
    if (!added.second) return false;
    Entry &entry = *added.first;
    entry.refused = setRefusedHandles.count(handle) != 0;
    if (!entry.refused && !entry.seen) ++nUnseen;
    if (handle != IFileMonitor::kDefaultCredentials) More(path, entry).handle = handle;
  }
  // Every registration asks for idle reports: the first report after it
  // tells that the baseline is taken, and those of a path that is not there
  // tell why. The receiver shows them only with --idle.
  if (bEveryCheck) {
    rMonitor.AddMonitor(VantrelPlatform::FromUtf8(path), pSink, uInterval, handle, true);
  } else {
    rMonitor.AddMonitorWithIdleReports(VantrelPlatform::FromUtf8(path), pSink, uInterval, handle,
                                       IFileMonitor::IDLE_REPORTS_UNTIL_PRESENT);
  }
  return true;
}

WatchSet::Rare::Rare() : handle(IFileMonitor::kDefaultCredentials) {}

WatchSet::Rare &WatchSet::More(const std::string &path, Entry &entry) {
  Rare &rare = rare_[path];
  entry.rare = true;
  return rare;
}

const WatchSet::Rare *WatchSet::RareOf(std::string_view path, const Entry &entry) const {
  if (!entry.rare) return nullptr;
  const auto found = rare_.find(path);
  return found == rare_.end() ? nullptr : &found->second;
}

bool WatchSet::Walked(std::string_view path, const Entry &entry) const {
  const Rare *rare = RareOf(path, entry);
  return rare != nullptr && !rare->walks.empty();
}

std::uint64_t WatchSet::HandleOf(std::string_view path, const Entry &entry) const {
  const Rare *rare = RareOf(path, entry);
  return rare != nullptr ? rare->handle : IFileMonitor::kDefaultCredentials;
}

void WatchSet::Forget(std::string_view path, const Entry &entry) {
  if (!entry.rare) return;
  const auto found = rare_.find(path);
  if (found != rare_.end()) rare_.erase(found);
}

void WatchSet::AddTarget(const std::string &path, std::uint64_t handle, bool given, bool announce) {
  Entry role;
  role.target = true;
  role.given = given;
  role.fixed = given;
  role.announce = announce;
  if (Register(path, handle, role)) {
    ++nTargetsAdded;
    return;
  }
  std::lock_guard<std::mutex> lock(mtx);
  Entry *entry = entries_.Find(path);
  if (entry == nullptr) return;  // too long to be watched
  entry->target = true;
  entry->given = entry->given || given;
  entry->fixed = entry->fixed || given;
}

void WatchSet::Start(std::vector<WatchTarget> targets, std::vector<std::string> &notes) {
  {
    // The paths given as they are, which a long list is made of, in the
    // table's compact array.
    std::vector<std::string_view> given;
    for (const auto &target : targets) {
      if (!target.pattern) given.emplace_back(target.path);
    }
    std::lock_guard<std::mutex> lock(mtx);
    entries_.Reserve(std::move(given));
  }
  // Taken from the back, and the list's storage halved whenever half of it
  // is free.
  std::reverse(targets.begin(), targets.end());
  while (!targets.empty()) {
    StartOne(targets.back(), notes);
    targets.pop_back();
    if (targets.size() < targets.capacity() / 2) targets.shrink_to_fit();
  }
}

void WatchSet::StartOne(const WatchTarget &target, std::vector<std::string> &notes) {
  const std::uint64_t handle = target.defaultCredentials ? IFileMonitor::kDefaultCredentials : target.handle;
  if (!target.pattern) {
    if (Excluded(target.path)) {
      notes.push_back(target.path + " is left out by --exclude");
      return;
    }
    // Whether it is there, and what keeps it from being checked, is found
    // out at its first report, with its own credentials; one whose checks
    // are refused has none, and is looked at now.
    bool directory = false;
    std::string failure;
    if (setRefusedHandles.count(handle) != 0 && !Exists(target.path, directory, failure) && failure.empty()) {
      notes.push_back(Absent(target.path));
    }
    AddTarget(target.path, handle, true, false);
    return;
  }
  // The fixed directory in front of the first component with a wildcard.
  const std::vector<std::string> components = SplitPath(target.path);
  const std::size_t first = FixedComponents(components);
  std::vector<std::string> base;
  for (std::size_t i = 0; i < first; ++i) base.push_back(Unescape(components[i]));
  Pattern pattern{std::vector<std::string>(components.begin() + static_cast<std::ptrdiff_t>(first),
                                           components.end()),
                  handle, components};
  // A trailing "**" stands for every file below.
  if (pattern.components.back() == "**") {
    pattern.components.push_back("*");
    pattern.whole.push_back("*");
  }
  vecPatterns.push_back(pattern);
  const std::size_t before = nTargetsAdded;
  const std::string directory = JoinPath(base, base.size());
  Entry role;
  role.fixed = true;
  if (!Register(directory, handle, role)) {
    std::lock_guard<std::mutex> lock(mtx);
    const auto found = entries_.Insert(directory, Entry());
    if (found.second) ++nUnseen;
    found.first->fixed = true;
  }
  Walk(directory, vecPatterns.size() - 1, 0, false);
  if (nTargetsAdded == before) {
    notes.push_back(target.path + " matches nothing yet; it is watched until something appears");
  }
}

void WatchSet::Walk(const std::string &directory, std::size_t pattern, std::size_t component, bool found) {
  bool known;
  {
    std::lock_guard<std::mutex> lock(mtx);
    known = entries_.Find(directory) != nullptr;
  }
  if (!known) {
    if (!Fits(directory, true)) return;
    // A directory that a pattern matches as well as passes through is
    // announced like any path it matches.
    Entry role;
    role.target = Matched(directory);
    role.announce = role.target && found;
    if (Register(directory, vecPatterns[pattern].handle, role) && role.target) ++nTargetsAdded;
  }
  {
    std::lock_guard<std::mutex> lock(mtx);
    Entry *entry = entries_.Find(directory);
    if (entry == nullptr || !More(directory, *entry).walks.emplace(pattern, component).second) return;
  }
  ListAt(directory, pattern, component, found);
}

std::vector<DirEntry> WatchSet::List(const std::string &directory) {
  std::string failure;
  std::vector<DirEntry> entries = ListDirectory(directory, failure);
  std::string note;
  {
    std::lock_guard<std::mutex> lock(mtx);
    Entry *entry = entries_.Find(directory);
    if (entry != nullptr) note = Reach(directory, *entry, true, failure);
  }
  if (!note.empty() && fnSay) fnSay(note);
  return entries;
}

void WatchSet::ListAt(const std::string &directory, std::size_t pattern, std::size_t component, bool found) {
  const Pattern &p = vecPatterns[pattern];
  const std::string &name = p.components[component];
  const bool last = component + 1 == p.components.size();
  if (name == "**") {
    Walk(directory, pattern, component + 1, found);
    for (const auto &entry : List(directory)) {
      const std::string path = ChildPath(directory, entry.name);
      // Not into hidden directories, and not along links, which could lead
      // round in a circle.
      if (entry.directory && !entry.link && entry.name[0] != '.' && !Excluded(path)) {
        Walk(path, pattern, component, found);
      }
    }
    return;
  }
  for (const auto &entry : List(directory)) {
    if (!MatchName(name, entry.name)) continue;
    const std::string path = ChildPath(directory, entry.name);
    if (Excluded(path)) continue;
    if (last) {
      AddTarget(path, p.handle, false, found);
    } else if (entry.directory) {
      Walk(path, pattern, component + 1, found);
    }
  }
}

WatchSet::Verdict WatchSet::OnReport(const std::string &path, const std::int64_t &key, unsigned int flags) {
  Verdict verdict;
  bool announce = false, look = false, first = false;
  std::string note;
  {
    std::lock_guard<std::mutex> lock(mtx);
    Entry *found = entries_.Find(path);
    if (found == nullptr) return verdict;
    Entry &entry = *found;
    entry.key = key;
    verdict.print = entry.target;
    verdict.flags = flags;
    announce = entry.announce;
    entry.announce = false;
    first = entry.given && !entry.seen;
    if (Walked(path, entry) && (!entry.seen || (flags & (kCreated | kModified)) != 0)) verdict.relist = true;
    entry.deleted = (flags & kDeleted) != 0;
    entry.present = !entry.deleted && (entry.present || (flags & kCreated) != 0);
    verdict.release = entry.deleted && !entry.fixed;
    look = announce || (!entry.present && !entry.deleted);
    if (!look) {
      if (!entry.seen && !entry.refused) --nUnseen;
      entry.seen = true;
      // Present by the check itself: whatever kept it out is gone.
      if ((flags & kCreated) != 0) note = Reach(path, entry, false, std::string());
    }
  }
  if (!look) {
    if (!note.empty() && fnSay) fnSay(note);
    return verdict;
  }
  // This worker still runs with the path's credentials: it sees the path as
  // the check did. A path that the check found there needs no second look,
  // unless it is announced, with its type.
  bool directory = false;
  std::string failure;
  const bool exists =
      (!announce && presence_ != nullptr && presence_->FoundPresent(key)) || Exists(path, directory, failure);
  // Said before the entry counts as seen, so before the ready line.
  if (first && !exists && failure.empty() && fnSay) fnSay(Absent(path));
  {
    std::lock_guard<std::mutex> lock(mtx);
    Entry *found = entries_.Find(path);
    if (found != nullptr) {
      Entry &entry = *found;
      entry.present = entry.present || exists;
      note = Reach(path, entry, false, failure);
      if (!entry.seen && !entry.refused) --nUnseen;
      entry.seen = true;
    }
  }
  if (!note.empty() && fnSay) fnSay(note);
  // Found while running: its first report says so and nothing else, since
  // the monitor compared it with a state from before it was found. Gone
  // again already, it was never announced: nothing is shown.
  if (announce) {
    if (verdict.release || (flags & kDeleted) != 0) {
      verdict.print = false;
    } else if (exists) {
      verdict.flags = kCreated | (directory ? kDirectory : 0u);
    }
  }
  return verdict;
}

void WatchSet::Relist(const std::string &directory) {
  std::set<std::pair<std::size_t, std::size_t>> walks;
  {
    std::lock_guard<std::mutex> lock(mtx);
    const Entry *entry = entries_.Find(directory);
    if (entry == nullptr || !Walked(directory, *entry)) return;
    walks = RareOf(directory, *entry)->walks;
  }
  for (const auto &walk : walks) {
    ListAt(directory, walk.first, walk.second, true);
  }
}

std::vector<WatchSet::Gone> WatchSet::Release(const std::string &path) {
  std::vector<Gone> gone;
  std::vector<std::string> released;
  {
    std::lock_guard<std::mutex> lock(mtx);
    const Entry *entry = entries_.Find(path);
    if (entry == nullptr || entry->fixed) return gone;
    if (!entry->seen && !entry->refused) --nUnseen;
    Forget(path, *entry);
    entries_.Erase(path);
    released.push_back(path);
    entries_.EraseIf(ChildPath(path, ""), [&](std::string_view below, const Entry &child) {
      if (child.fixed) return false;
      if (child.target && child.seen && !child.deleted) {
        gone.push_back(Gone{std::string(below), child.key, Walked(below, child)});
      }
      released.emplace_back(below);
      if (!child.seen && !child.refused) --nUnseen;
      Forget(below, child);
      return true;
    });
  }
  for (const auto &each : released) {
    rMonitor.RemoveMonitor(VantrelPlatform::FromUtf8(each), pSink);
  }
  // It may be back already, under the same name.
  Relist(ParentPath(path));
  return gone;
}

void WatchSet::RemoveAll() {
  PathTable<Entry> entries;
  {
    std::lock_guard<std::mutex> lock(mtx);
    std::swap(entries, entries_);
    rare_.clear();
  }
  entries.ForEach([this](std::string_view path, const Entry &) {
    rMonitor.RemoveMonitor(VantrelPlatform::FromUtf8(std::string(path)), pSink);
  });
}

bool WatchSet::AllSeen() const {
  std::lock_guard<std::mutex> lock(mtx);
  return nUnseen == 0;
}

std::size_t WatchSet::Registered() const {
  std::lock_guard<std::mutex> lock(mtx);
  return entries_.Size();
}

std::size_t WatchSet::Asked() const {
  std::lock_guard<std::mutex> lock(mtx);
  std::size_t asked = 0;
  entries_.ForEach([&asked](std::string_view, const Entry &entry) { asked += entry.target ? 1 : 0; });
  return asked;
}

std::string WatchSet::Absent(const std::string &path) {
  return path + " does not exist yet; it is watched until it appears";
}

namespace {

// "1,001": thousands apart, as a person counts them.
std::string Grouped(std::size_t number) {
  std::string digits = std::to_string(number);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

}  // namespace

std::string WatchSet::Followed() const {
  if (vecPatterns.empty()) return std::string();
  const std::size_t directories = Registered() - Asked();
  return " (" + Grouped(vecPatterns.size()) + (vecPatterns.size() == 1 ? " pattern, " : " patterns, ") +
         Grouped(directories) + (directories == 1 ? " directory" : " directories") + " followed)";
}

}  // namespace VantrelAgent
