// What vantrel-agent watches: the paths it was given, and for every pattern
// the files that match it and the directories that it passes through.
//
// The monitor's own reports drive discovery: every registration asks for a
// report after every check, so that the first report of a path tells that
// its baseline is taken. A directory that a pattern passes through is
// listed again at its first report and whenever it reports that its entries
// changed; what matches then and was not there before is registered, and its
// first report is turned into exactly CREATED, with DIR for a directory:
// whatever else the monitor's first check says compares the path with a
// state from before it was found. A path found by a pattern is let go of
// after its DELETED (its directory is listed again, in case it is back);
// the paths given as they are, and the fixed directory that each pattern
// starts from, are never let go of: they are watched until they appear again.
//
// Nothing watched is silently blind: a path that cannot be reached for
// another reason than its absence (no permission, a name too long) is said
// once through `say`, with the reason, and again when the reason changes or
// the path can be reached after all. It is found out on the worker that
// reports the path, which still runs with the path's credentials, so the
// reason is the one the monitor met; a path is looked at there only while
// no report has shown it present. A directory that cannot be listed is said
// the same way, and a path too long for the system is said once and not
// registered.
//
// Threads: Start, Relist, Release and RemoveAll run on one thread (the
// agent's main thread), the only one that registers or removes; OnReport
// runs on the monitor's workers. `mtx` guards the table; no monitor call is
// made while it is held.
#ifndef VANTREL_AGENT_WATCHSET_H
#define VANTREL_AGENT_WATCHSET_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "agent/PathTable.h"

namespace WindowsAgentCommon {
class CheckedPresence;
class IFileMonitor;
struct IFileMonitorSink;
}  // namespace WindowsAgentCommon

namespace VantrelAgent {

struct DirEntry;

struct WatchTarget {
  std::string path;  // absolute and normalised (PathPattern.h)
  bool pattern = false;
  bool defaultCredentials = true;  // the monitor's default (--credentials, else 0)
  std::uint64_t handle = 0;        // when not the default
};

class WatchSet {
 public:
  // `excludes` as the user wrote them; `refusedHandles`, the credentials
  // handles whose checks are refused (IFileMonitor::kDefaultCredentials among
  // them when the monitor's default is). The monitor and the receiver outlive
  // the set's registrations (RemoveAll). `say` writes one line for a person,
  // from any thread.
  WatchSet(WindowsAgentCommon::IFileMonitor &monitor, WindowsAgentCommon::IFileMonitorSink *sink,
           unsigned int intervalMillis, const std::vector<std::string> &excludes,
           std::set<std::uint64_t> refusedHandles = {}, std::function<void(const std::string &)> say = {});

  // Registers every target and what the patterns match now. `notes` gets a
  // line for a pattern that matches nothing yet, and for a path that does not
  // exist yet if its checks are refused; any other path is looked at once,
  // at its first report, and a missing one said there, through `say`. The
  // list shrinks as its targets are registered, so that it is not held
  // whole while the monitor's table grows.
  void Start(std::vector<WatchTarget> targets, std::vector<std::string> &notes);

  // The idle reports that every registration asks for (before Start): a
  // report after every check, or only those that discovery needs, the first
  // check of a path and the checks that find it absent, which spare the
  // monitor a delivery (and the notification monitor a check) for every
  // present path that stays unchanged.
  void ReportEveryCheck(bool every) { bEveryCheck = every; }

  // What a report of `path` means, on a worker thread.
  struct Verdict {
    bool print = false;     // a path that was asked for: its report is shown
    unsigned int flags = 0; // the flags to show (CREATED, and DIR, for a newly found path)
    bool relist = false;    // a directory of a pattern to list again
    bool release = false;   // a found path that is gone: let go of it
  };
  Verdict OnReport(const std::string &path, const std::int64_t &key, unsigned int flags);

  void Relist(const std::string &directory);

  // A path that was asked for and let go of without its own DELETED.
  struct Gone {
    std::string path;
    std::int64_t key;
    bool directory;
  };
  // Lets go of the path and of every found path below it (a directory that
  // goes takes what it held along: the polling monitor reports a path whose
  // directory is gone as a problem, not as deleted). Returns those below
  // that were asked for, whose DELETED the caller reports.
  std::vector<Gone> Release(const std::string &path);
  // Removes every registration; the set is empty afterwards.
  void RemoveAll();

  std::size_t Registered() const;
  // The paths that were asked for: given as they are, or matched by a
  // pattern.
  std::size_t Asked() const;
  // What patterns only pass through, for the ready line: " (3 patterns,
  // 1,001 directories followed)", or nothing without a pattern.
  std::string Followed() const;
  // Whether every registration has had its first report: its baseline is
  // taken, so that any change from now on is reported. Registrations with a
  // refused handle never have one and are not counted.
  bool AllSeen() const;

 private:
  struct Pattern {
    std::vector<std::string> components;  // after the fixed directory
    std::uint64_t handle;
    std::vector<std::string> whole;       // every component, the fixed ones included
  };
  // A path's entry: a key and nine bits, so that with its slot in the
  // table's compact array a path costs 24 bytes there.
  struct Entry {
    Entry()
        : target(false), given(false), fixed(false), announce(false), seen(false), deleted(false), refused(false),
          present(false), rare(false) {}
    std::int64_t key = 0x7FFFFFFFFFFFFFFFll;  // the monitor's, from the first report
    bool target : 1;    // asked for (given, or found by a pattern): printed
    bool given : 1;     // given as it is: its absence is said at its first report
    bool fixed : 1;     // never let go of
    bool announce : 1;  // found after the start: the first report says CREATED
    bool seen : 1;      // a report has come since the registration
    bool deleted : 1;   // its last report said DELETED
    bool refused : 1;   // watched with a handle whose checks are refused
    bool present : 1;   // a report or a look has shown it there since its last DELETED
    bool rare : 1;      // it has a Rare in rare_, under its path
  };
  static_assert(sizeof(Entry) <= 16, "an entry is a key and a word of bits");
  // What few entries need, made when first needed and kept beside the
  // table, under the entry's path.
  struct Rare {
    Rare();
    std::uint64_t handle;  // the credentials: the monitor's default unless set
    std::string unreachable;  // why it cannot be checked, as last said; empty when it can
    std::string unlisted;     // why it cannot be listed, as last said; empty when it can
    std::set<std::pair<std::size_t, std::size_t>> walks;  // (pattern, component) listed here
  };
  // The entry's Rare, made if it has none; under mtx.
  Rare &More(const std::string &path, Entry &entry);
  // The entry's Rare, or null; under mtx.
  const Rare *RareOf(std::string_view path, const Entry &entry) const;
  bool Walked(std::string_view path, const Entry &entry) const;
  std::uint64_t HandleOf(std::string_view path, const Entry &entry) const;
  // An entry leaves the table (under mtx): its Rare goes with it.
  void Forget(std::string_view path, const Entry &entry);

  void StartOne(const WatchTarget &target, std::vector<std::string> &notes);
  bool Excluded(const std::string &path) const;
  // The line that says that a given path is not there yet.
  static std::string Absent(const std::string &path);
  // Whether a pattern matches the path as a whole.
  bool Matched(const std::string &path) const;
  // False, after saying so once, for a path longer than the system takes.
  bool Fits(const std::string &path, bool directory);
  // What to say when the reason why the entry's path cannot be reached (or
  // listed: `listing`) becomes `reason`; empty when nothing changed.
  std::string Reach(const std::string &path, Entry &entry, bool listing, const std::string &reason);
  // Registers the path unless it is; false when it was already registered.
  bool Register(const std::string &path, std::uint64_t handle, const Entry &role);
  void AddTarget(const std::string &path, std::uint64_t handle, bool given, bool announce);
  void Walk(const std::string &directory, std::size_t pattern, std::size_t component, bool found);
  void ListAt(const std::string &directory, std::size_t pattern, std::size_t component, bool found);
  // The directory's entries; a failure to list it is said as Reach says it.
  std::vector<DirEntry> List(const std::string &directory);

  WindowsAgentCommon::IFileMonitor &rMonitor;
  WindowsAgentCommon::CheckedPresence *const presence_;  // null when the monitor does not say
  WindowsAgentCommon::IFileMonitorSink *pSink;
  const unsigned int uInterval;
  bool bEveryCheck = true;
  const std::set<std::uint64_t> setRefusedHandles;
  std::vector<std::vector<std::string>> vecExcludePaths;  // with a separator: whole paths
  std::vector<std::string> vecExcludeNames;               // without: names
  std::vector<Pattern> vecPatterns;                       // main thread only
  std::size_t nTargetsAdded = 0;                          // main thread only
  std::set<std::string> setTooLong;                       // said once; main thread only
  const std::function<void(const std::string &)> fnSay;

  mutable std::mutex mtx;
  // Entries neither seen nor refused, under mtx: AllSeen without a walk of
  // the table, which the wait for the ready line asks every 20 ms.
  std::size_t nUnseen = 0;
  // The given paths are reserved in it at Start.
  PathTable<Entry> entries_;
  std::map<std::string, Rare, std::less<>> rare_;  // under mtx
};

}  // namespace VantrelAgent

#endif  // VANTREL_AGENT_WATCHSET_H
