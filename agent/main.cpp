// vantrel-agent: the service host that loads the VantrelMonitor component
// and prints the changes of the paths it watches.
#include "agent/Agent.h"
#include "agent/AgentConfig.h"
#include "agent/AgentOptions.h"
#include "agent/SignalWatcher.h"

#if defined(_WIN32)
#include <Platform/Win32Api.h>

#include <shellapi.h>
#endif

#include <iostream>
#include <string>
#include <vector>

namespace {

// The arguments as UTF-8. Windows hands main() the command line in the ANSI
// code page, which cannot hold every file name: it is read again as UTF-16.
std::vector<std::string> Arguments(int argc, char **argv) {
#if defined(_WIN32)
  int count = 0;
  wchar_t **wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide != nullptr) {
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) arguments.push_back(VantrelPlatform::ToUtf8(wide[i]));
    ::LocalFree(wide);
    return arguments;
  }
#endif
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace

int main(int argc, char **argv) {
  using namespace VantrelAgent;
  // Before any thread exists, so that every thread inherits the blocked set.
  SignalWatcher::BlockSignals();

  const std::vector<std::string> arguments = Arguments(argc, argv);
  std::vector<const char *> pointers;
  for (const auto &argument : arguments) pointers.push_back(argument.c_str());
  AgentOptions options;
  const ParseOutcome outcome =
      ParseCommandLine(static_cast<int>(pointers.size()), pointers.data(), options, std::cout, std::cerr);
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
