#include "agent/WatchSet.h"

#include "agent/PathPattern.h"
#include "monitor/IFileMonitor.h"
#include "monitor/IFileMonitorSink.h"

#include <Platform/Win32Api.h>

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace VantrelAgent {

using WindowsAgentCommon::IFileMonitor;
using WindowsAgentCommon::IFileMonitorSink;

namespace {

const unsigned int kCreated = IFileMonitorSink::FILE_MON_CHANGE_CREATED;
const unsigned int kDeleted = IFileMonitorSink::FILE_MON_CHANGE_DELETED;
const unsigned int kModified = IFileMonitorSink::FILE_MON_CHANGE_MODIFICATION_TIME;

struct DirEntry {
  std::string name;
  bool directory = false;  // following a symbolic link
  bool link = false;
};

// The entries of a directory but "." and ".."; none when it cannot be read.
std::vector<DirEntry> ListDirectory(const std::string &directory) {
  std::vector<DirEntry> entries;
  DIR *dir = ::opendir(directory.c_str());
  if (dir == nullptr) return entries;
  const std::string prefix = directory == "/" ? directory : directory + "/";
  while (const dirent *e = ::readdir(dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    DirEntry entry;
    entry.name = e->d_name;
    entry.link = e->d_type == DT_LNK;
    entry.directory = e->d_type == DT_DIR;
    if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
      struct stat st {};
      entry.directory = ::stat((prefix + entry.name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
      if (e->d_type == DT_UNKNOWN) {
        struct stat lst {};
        entry.link = ::lstat((prefix + entry.name).c_str(), &lst) == 0 && S_ISLNK(lst.st_mode);
      }
    }
    entries.push_back(std::move(entry));
  }
  ::closedir(dir);
  return entries;
}

std::string Child(const std::string &directory, const std::string &name) {
  return directory == "/" ? directory + name : directory + "/" + name;
}

std::string Parent(const std::string &path) {
  const auto slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? std::string("/") : path.substr(0, slash);
}

bool Exists(const std::string &path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

WatchSet::WatchSet(IFileMonitor &monitor, IFileMonitorSink *sink, unsigned int intervalMillis,
                   const std::vector<std::string> &excludes)
    : rMonitor(monitor), pSink(sink), uInterval(intervalMillis) {
  const std::string cwd = CurrentDirectory();
  for (const auto &exclude : excludes) {
    if (exclude.find('/') == std::string::npos) {
      vecExcludeNames.push_back(exclude);
    } else {
      vecExcludePaths.push_back(SplitPath(NormalizePath(exclude, cwd)));
    }
  }
}

bool WatchSet::Excluded(const std::string &path) const {
  const std::vector<std::string> components = SplitPath(path);
  for (const auto &name : vecExcludeNames) {
    if (!components.empty() && MatchPath({name}, {components.back()})) return true;
  }
  for (const auto &pattern : vecExcludePaths) {
    if (MatchPath(pattern, components)) return true;
  }
  return false;
}

bool WatchSet::Register(const std::string &path, std::uint64_t handle, const Entry &role) {
  {
    std::lock_guard<std::mutex> lock(mtx);
    if (!mapEntries.emplace(path, role).second) return false;
  }
  // Every registration asks for idle reports: the first report after it
  // tells that the baseline is taken. The receiver shows them only with
  // --idle.
  rMonitor.AddMonitor(VantrelPlatform::FromUtf8(path), pSink, uInterval, handle, true);
  return true;
}

void WatchSet::AddTarget(const std::string &path, std::uint64_t handle, bool fixed, bool announce) {
  Entry role;
  role.target = true;
  role.fixed = fixed;
  role.announce = announce;
  if (Register(path, handle, role)) {
    ++nTargetsAdded;
    return;
  }
  std::lock_guard<std::mutex> lock(mtx);
  Entry &entry = mapEntries[path];
  entry.target = true;
  entry.fixed = entry.fixed || fixed;
}

void WatchSet::Start(const std::vector<WatchTarget> &targets, std::vector<std::string> &notes) {
  for (const auto &target : targets) {
    const std::uint64_t handle = target.defaultCredentials ? IFileMonitor::kDefaultCredentials : target.handle;
    if (!target.pattern) {
      if (Excluded(target.path)) {
        notes.push_back(target.path + " is left out by --exclude");
        continue;
      }
      struct stat st {};
      if (::stat(target.path.c_str(), &st) != 0) {
        const int e = errno;
        notes.push_back(e == ENOENT || e == ENOTDIR
                            ? target.path + " does not exist yet; it is watched until it appears"
                            : target.path + " cannot be checked now (" + std::strerror(e) +
                                  "); it is watched all the same");
      }
      AddTarget(target.path, handle, true, false);
      continue;
    }
    // The fixed directory in front of the first component with a wildcard.
    const std::vector<std::string> components = SplitPath(target.path);
    std::size_t first = 0;
    while (first < components.size() && !HasWildcard(components[first])) ++first;
    std::vector<std::string> base;
    for (std::size_t i = 0; i < first; ++i) base.push_back(Unescape(components[i]));
    Pattern pattern{std::vector<std::string>(components.begin() + static_cast<std::ptrdiff_t>(first),
                                             components.end()),
                    handle};
    // A trailing "**" stands for every file below.
    if (pattern.components.back() == "**") pattern.components.push_back("*");
    vecPatterns.push_back(pattern);
    const std::size_t before = nTargetsAdded;
    const std::string directory = JoinPath(base, base.size());
    Entry role;
    role.fixed = true;
    if (!Register(directory, handle, role)) {
      std::lock_guard<std::mutex> lock(mtx);
      mapEntries[directory].fixed = true;
    }
    Walk(directory, vecPatterns.size() - 1, 0, false);
    if (nTargetsAdded == before) {
      notes.push_back(target.path + " matches nothing yet; it is watched until something appears");
    }
  }
}

void WatchSet::Walk(const std::string &directory, std::size_t pattern, std::size_t component, bool found) {
  Register(directory, vecPatterns[pattern].handle, Entry());
  {
    std::lock_guard<std::mutex> lock(mtx);
    if (!mapEntries[directory].walks.emplace(pattern, component).second) return;
  }
  ListAt(directory, pattern, component, found);
}

void WatchSet::ListAt(const std::string &directory, std::size_t pattern, std::size_t component, bool found) {
  const Pattern &p = vecPatterns[pattern];
  const std::string &name = p.components[component];
  const bool last = component + 1 == p.components.size();
  if (name == "**") {
    Walk(directory, pattern, component + 1, found);
    for (const auto &entry : ListDirectory(directory)) {
      const std::string path = Child(directory, entry.name);
      // Not into hidden directories, and not along links, which could lead
      // round in a circle.
      if (entry.directory && !entry.link && entry.name[0] != '.' && !Excluded(path)) {
        Walk(path, pattern, component, found);
      }
    }
    return;
  }
  for (const auto &entry : ListDirectory(directory)) {
    if (!MatchName(name, entry.name)) continue;
    const std::string path = Child(directory, entry.name);
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
  bool announce = false;
  {
    std::lock_guard<std::mutex> lock(mtx);
    const auto it = mapEntries.find(path);
    if (it == mapEntries.end()) return verdict;
    Entry &entry = it->second;
    entry.key = key;
    verdict.print = entry.target;
    verdict.flags = flags;
    announce = entry.announce;
    entry.announce = false;
    if (!entry.walks.empty() && (!entry.seen || (flags & (kCreated | kModified)) != 0)) verdict.relist = true;
    entry.seen = true;
    entry.deleted = (flags & kDeleted) != 0;
    verdict.release = (flags & kDeleted) != 0 && !entry.fixed;
  }
  // Found while running: its first report says so, unless it has gone
  // again already (then the monitor reports what comes next).
  if (announce && (flags & kDeleted) == 0 && Exists(path)) verdict.flags |= kCreated;
  return verdict;
}

void WatchSet::Relist(const std::string &directory) {
  std::set<std::pair<std::size_t, std::size_t>> walks;
  {
    std::lock_guard<std::mutex> lock(mtx);
    const auto it = mapEntries.find(directory);
    if (it == mapEntries.end()) return;
    walks = it->second.walks;
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
    const auto it = mapEntries.find(path);
    if (it == mapEntries.end() || it->second.fixed) return gone;
    mapEntries.erase(it);
    released.push_back(path);
    const std::string below = path + "/";
    for (auto child = mapEntries.lower_bound(below);
         child != mapEntries.end() && child->first.compare(0, below.size(), below) == 0;) {
      if (child->second.fixed) {
        ++child;
        continue;
      }
      if (child->second.target && child->second.seen && !child->second.deleted) {
        gone.push_back(Gone{child->first, child->second.key, !child->second.walks.empty()});
      }
      released.push_back(child->first);
      child = mapEntries.erase(child);
    }
  }
  for (const auto &each : released) {
    rMonitor.RemoveMonitor(VantrelPlatform::FromUtf8(each), pSink);
  }
  // It may be back already, under the same name.
  Relist(Parent(path));
  return gone;
}

void WatchSet::RemoveAll() {
  std::map<std::string, Entry> entries;
  {
    std::lock_guard<std::mutex> lock(mtx);
    entries.swap(mapEntries);
  }
  for (const auto &entry : entries) {
    rMonitor.RemoveMonitor(VantrelPlatform::FromUtf8(entry.first), pSink);
  }
}

bool WatchSet::AllSeen() const {
  std::lock_guard<std::mutex> lock(mtx);
  for (const auto &entry : mapEntries) {
    if (!entry.second.seen) return false;
  }
  return true;
}

std::size_t WatchSet::Registered() const {
  std::lock_guard<std::mutex> lock(mtx);
  return mapEntries.size();
}

}  // namespace VantrelAgent
