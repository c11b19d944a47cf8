// vantrel-agent: the service host that loads the VantrelMonitor component
// and prints the changes of the paths it watches.
#include "agent/Agent.h"
#include "agent/AgentConfig.h"
#include "agent/AgentOptions.h"
#include "agent/SignalWatcher.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char **argv) {
  using namespace VantrelAgent;
  // Before any thread exists, so that every thread inherits the blocked set.
  SignalWatcher::BlockSignals();

  AgentOptions options;
  const ParseOutcome outcome = ParseCommandLine(argc, argv, options, std::cout, std::cerr);
  if (!outcome.run) {
    return outcome.exitCode;
  }

  AgentConfig config;
  if (!options.configFile.empty()) {
    std::vector<std::string> errors;
    if (!LoadConfigFile(options.configFile, config, errors)) {
      for (const auto &error : errors) {
        std::cerr << "vantrel-agent: " << error << '\n';
      }
      std::cerr << "vantrel-agent: not started: the configuration file " << options.configFile << " has "
                << errors.size() << (errors.size() == 1 ? " error" : " errors") << std::endl;
      return kExitUsage;
    }
  }

  Agent agent(std::move(options), std::move(config));
  return agent.Run();
}
