// The configuration reader on whole files of any bytes: it accepts exactly
// when it reports no error; every error names a line of the file; reading
// again gives the same; an accepted file holds only known settings, distinct
// credentials handles and Watch entries whose handles are defined.
#include "tests/fuzz/FuzzSupport.h"

#include "agent/AgentConfig.h"

#include <algorithm>
#include <iterator>
#include <set>
#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  VantrelAgent::AgentConfig config[2];
  std::vector<std::string> errors[2];
  bool accepted = false;
  for (int i = 0; i < 2; ++i) {
    std::istringstream file(text);
    accepted = VantrelAgent::ParseConfig(file, "f.conf", config[i], errors[i]);
  }
  Expect(accepted == errors[0].empty() && errors[0] == errors[1] && config[0].settings == config[1].settings,
         "accepted exactly when no line is bad, and again the same", text, std::to_string(errors[0].size()));
  const long lines = static_cast<long>(std::count(text.begin(), text.end(), '\n')) + 1;
  for (const auto &error : errors[0]) {
    const long line = error.compare(0, 7, "f.conf:") == 0 ? std::strtol(error.c_str() + 7, nullptr, 10) : 0;
    Expect(line >= 1 && line <= lines && error.find('\n') == std::string::npos, "an error names a line", text, error);
  }
  if (!accepted) return 0;
  // The component gets every setting's default and then the file's own,
  // which are all known ones.
  std::set<std::string> names;
  for (const auto &setting : VantrelAgent::ComponentSettings(config[0])) names.insert(setting.first);
  Expect(names.size() == 2 * std::size(WindowsAgentCommon::kMonitorSettings), "only known settings are kept", text, std::to_string(names.size()));
  std::set<std::uint64_t> handles;
  for (const auto &entry : config[0].credentials) {
    Expect(entry.handle != 0 && entry.handle != ~std::uint64_t(0) && handles.insert(entry.handle).second,
           "credentials handles are distinct, neither 0 nor all ones", text, std::to_string(entry.handle));
  }
  for (const auto &watch : config[0].watches) {
    Expect(!watch.path.empty() && (!watch.hasHandle || config[0].KnowsHandle(watch.handle)),
           "a Watch names a path and a defined handle", text, watch.path);
  }
  return 0;
}
