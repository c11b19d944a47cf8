// Path patterns, compiled and matched as the agent does (BuildWatchList,
// then WatchSet walking a real directory tree that holds one path), against
// fnmatch(3) with FNM_PATHNAME | FNM_PERIOD; --exclude's whole-path match
// (MatchPath) against fnmatch with FNM_PATHNAME. Patterns with a `**`
// component have no reference and are not compared. The differences that
// README documents ("Patterns and fnmatch") are left out of the comparison.
#include "tests/fuzz/FuzzSupport.h"

#include "agent/Agent.h"
#include "agent/PathPattern.h"
#include "agent/WatchSet.h"

#include "monitor/statonly/FileMonitorStatOnly.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

namespace {

// Registrations go nowhere (the monitor is never initialised): what a path
// means is asked of the WatchSet.
struct NoMonitor : WindowsAgentCommon::FileMonitorStatOnly {
  void AddMonitor(const std::wstring &, WindowsAgentCommon::IFileMonitorSink *, unsigned int, const std::uint64_t &,
                  bool) override {}
  void RemoveMonitor(const std::wstring &, WindowsAgentCommon::IFileMonitorSink *) override {}
};

std::string root;  // a directory of our own; its name has no wildcard

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  char dir[] = "/tmp/vantrel-fuzz-XXXXXX";
  if (::mkdtemp(dir) == nullptr) std::abort();
  root = dir;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool lastIsDirectory = in.ConsumeBool();
  std::vector<std::string> names(in.ConsumeIntegralInRange(1, 4));
  for (auto &name : names) {
    for (char c : in.ConsumeRandomLengthString(16)) {
      if (c != '/' && c != '\0') name += c;
    }
    if (name.empty() || name == "." || name == "..") return 0;
  }
  const std::string written = root + "/" + in.ConsumeRemainingBytesAsString().c_str();

  VantrelAgent::AgentOptions options;
  options.paths.push_back(written);
  std::vector<VantrelAgent::WatchTarget> targets;
  std::vector<std::string> notes;
  std::string error;
  if (!VantrelAgent::BuildWatchList(options, VantrelAgent::AgentConfig(), "/", "/", targets, notes, error)) return 0;
  const std::string pattern = targets.at(0).path;
  const std::vector<std::string> components = VantrelAgent::SplitPath(pattern);
  // Out of our directory, or with a `**`: no comparison.
  if (pattern.compare(0, root.size() + 1, root + "/") != 0 ||
      std::find(components.begin(), components.end(), "**") != components.end()) {
    return 0;
  }

  std::string path = root;
  for (std::size_t i = 0; i < names.size(); ++i) {
    path += "/" + names[i];
    if (i + 1 < names.size() || lastIsDirectory) {
      ::mkdir(path.c_str(), 0700);
    } else {
      ::close(::open(path.c_str(), O_CREAT | O_WRONLY, 0600));
    }
  }
  static NoMonitor &monitor = *new NoMonitor;  // stateless, and never torn down
  VantrelAgent::WatchSet set(monitor, nullptr, 1000, {});
  set.Start(targets, notes);
  const bool matched = set.OnReport(path, 1, 0).print;
  std::error_code ec;
  std::filesystem::remove_all(root + "/" + names[0], ec);

  // Documented: a separator separates, even behind a backslash.
  if (pattern.find("\\/") != std::string::npos) return 0;
  const bool reference = targets[0].pattern ? ::fnmatch(pattern.c_str(), path.c_str(), FNM_PATHNAME | FNM_PERIOD) == 0
                                            : pattern == path;
  Expect(matched == reference, "a watched pattern matches as fnmatch does", pattern + " | " + path,
         matched ? "matched" : "not matched");
  const bool excluded = VantrelAgent::MatchPath(components, VantrelAgent::SplitPath(path));
  Expect(excluded == (::fnmatch(pattern.c_str(), path.c_str(), FNM_PATHNAME) == 0),
         "an --exclude pattern matches as fnmatch does without FNM_PERIOD", pattern + " | " + path,
         excluded ? "matched" : "not matched");
  return 0;
}
