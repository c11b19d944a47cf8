// The command line: argument vectors built from the input (NUL separates
// them). The parser never throws; it runs with options that hold together,
// or asks for exit 0 (help, version) or 2 with a reason.
#include "tests/fuzz/FuzzSupport.h"

#include "agent/AgentOptions.h"
#include "agent/ReportFormat.h"

#include <sstream>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  std::vector<std::string> args{"vantrel-agent"};
  for (std::size_t start = 0; start <= size && args.size() < 24; start += args.back().size() + 1) {
    args.push_back(text.substr(start, text.find('\0', start) - start));
  }
  std::vector<const char *> argv;
  for (const auto &arg : args) argv.push_back(arg.c_str());
  VantrelAgent::AgentOptions options;
  std::ostringstream out, err;
  // An exception let out ends the run, which libFuzzer reports with its text.
  const VantrelAgent::ParseOutcome outcome =
      VantrelAgent::ParseCommandLine(static_cast<int>(args.size()), argv.data(), options, out, err);
  std::string reason;
  Expect(outcome.run ? (options.monitor == "notify" || options.monitor == "poll") && err.str().empty() &&
                           (!options.json || options.format.empty()) && VantrelAgent::CheckTemplate(options.format, reason) &&
                           options.durationSeconds >= 0 && options.durationSeconds <= 1e9 && options.statsSeconds >= 0 &&
                           options.statsSeconds <= 1e9 && options.credentials != ~std::uint64_t(0)
                     : outcome.exitCode == VantrelAgent::kExitOk ? !out.str().empty()
                                                                 : outcome.exitCode == VantrelAgent::kExitUsage && !err.str().empty(),
         "a run's options hold together; an exit says why", text, out.str() + err.str());
  return 0;
}
