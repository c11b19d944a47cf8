// vantrel-agent as a Windows service: installed and removed by the program
// itself, run by the service control manager.
#ifndef VANTREL_AGENT_SERVICE_H
#define VANTREL_AGENT_SERVICE_H

#include <functional>
#include <string>
#include <vector>

namespace VantrelAgent {

// The service's name.
extern const wchar_t *const kServiceName;

// Runs the service verb that `arguments` (argv as UTF-8) start with, and
// returns the exit status; -1 when they start with none.
//   --install-service [ARGS...]  installs the service "VantrelAgent"
//       (started automatically, as LocalSystem) to run this program with
//       ARGS, after checking them with `check` (which reports what is wrong)
//   --uninstall-service          stops the service, waiting for it, and
//       removes it
//   --service [ARGS...]          what the service control manager runs:
//       the agent (`run`, given the program name and ARGS) with its output
//       appended to %ProgramData%\VantrelAgent\vantrel-agent.log and its
//       current directory the program's folder; a stop or the system's
//       shut-down stops it in order
int RunServiceVerb(const std::vector<std::string> &arguments,
                   const std::function<bool(const std::vector<std::string> &)> &check,
                   const std::function<int(const std::vector<std::string> &)> &run);

}  // namespace VantrelAgent

#endif  // VANTREL_AGENT_SERVICE_H
