// vantrel-agent: the service host that loads the VantrelMonitor component
// and prints the changes of the paths it watches.
#include "agent/Agent.h"
#include "agent/AgentConfig.h"
#include "agent/AgentOptions.h"
#include "agent/SignalWatcher.h"

#if defined(_WIN32)
#include "agent/Service.h"

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

// The command line checked; false (the reason written) when it is bad or
// asks for nothing to run.
bool Parse(const std::vector<std::string> &arguments, VantrelAgent::AgentOptions &options,
           VantrelAgent::ParseOutcome &outcome) {
  std::vector<const char *> pointers;
  for (const auto &argument : arguments) pointers.push_back(argument.c_str());
  outcome = VantrelAgent::ParseCommandLine(static_cast<int>(pointers.size()), pointers.data(), options, std::cout,
                                           std::cerr);
  return outcome.run;
}

int RunAgent(const std::vector<std::string> &arguments) {
  using namespace VantrelAgent;
  AgentOptions options;
  ParseOutcome outcome;
  if (!Parse(arguments, options, outcome)) {
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

}  // namespace

int main(int argc, char **argv) {
  // Before any thread exists, so that every thread inherits the blocked set.
  VantrelAgent::SignalWatcher::BlockSignals();
  const std::vector<std::string> arguments = Arguments(argc, argv);
#if defined(_WIN32)
  const int status = VantrelAgent::RunServiceVerb(
      arguments,
      [](const std::vector<std::string> &rest) {
        VantrelAgent::AgentOptions options;
        VantrelAgent::ParseOutcome outcome;
        return Parse(rest, options, outcome);
      },
      &RunAgent);
  if (status >= 0) return status;
#endif
  return RunAgent(arguments);
}
