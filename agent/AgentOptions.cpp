#include "agent/AgentOptions.h"

#include <VantrelCommon/Logger.h>

#include <CLI/CLI.hpp>

#include <cmath>

#ifndef VANTREL_VERSION
#define VANTREL_VERSION "0.0.0"
#endif

namespace VantrelAgent {

namespace {

const char *const kDescription =
    "vantrel-agent loads the VantrelMonitor component, watches files and directories with it and prints\n"
    "one line per change on standard output. With no path it watches /var/log and every regular file\n"
    "directly in it. SIGINT or SIGTERM stop it in order; SIGUSR1 prints a statistics line.";

}  // namespace

std::string MonitorTypeName(const std::string &monitor) {
  return monitor == "poll" ? "FileMonitorNoNotifications" : "FileMonitorNoFSRedirect";
}

ParseOutcome ParseCommandLine(int argc, const char *const *argv, AgentOptions &options, std::ostream &out,
                              std::ostream &err) {
  CLI::App app(kDescription, "vantrel-agent");
  app.set_version_flag("--version", std::string("vantrel-agent ") + VANTREL_VERSION);

  app.add_option("paths", options.paths, "Files or directories to watch")->type_name("PATH");
  app.add_option("--monitor", options.monitor,
                 "notify: change notifications plus checks (FileMonitorNoFSRedirect); "
                 "poll: attributes and listings only (FileMonitorNoNotifications)")
      ->check(CLI::IsMember({"notify", "poll"}))
      ->capture_default_str();
  app.add_option("--interval", options.intervalMillis, "Check interval of every path, in milliseconds")
      ->type_name("MS")
      ->capture_default_str();
  app.add_flag("--idle", options.idle, "Also report every check that found nothing (IDLE)");
  app.add_option("--credentials", options.credentials,
                 "Credentials handle (from the configuration's Credentials entries) for the command-line paths")
      ->type_name("HANDLE");
  app.add_option("--config", options.configFile, "Configuration file (name = value lines)")->type_name("FILE");
  app.add_option("--log-level", options.logLevel, "debug, info, warn, error or off (default: info)")
      ->type_name("LEVEL")
      ->check([](const std::string &text) {
        WindowsAgentCommon::LogLevel level;
        return WindowsAgentCommon::ParseLogLevel(text, level)
                   ? std::string()
                   : std::string("must be debug, info, warn, error or off");
      });
  app.add_option("--log-file", options.logFile, "Write the log to FILE instead of standard error")
      ->type_name("FILE");
  app.add_flag("--json", options.json, "One JSON object per report instead of a line of text");
  app.add_option("--duration", options.durationSeconds, "Stop in order after SECONDS")
      ->type_name("SECONDS")
      ->check(CLI::PositiveNumber);
  app.add_option("--stats", options.statsSeconds, "Write a statistics line to standard error every SECONDS")
      ->type_name("SECONDS")
      ->check(CLI::PositiveNumber);
  app.add_option("--library", options.library,
                 "The component library to load (default: libVantrelMonitor.so beside the program)")
      ->type_name("FILE");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    const int code = app.exit(e, out, err);
    return ParseOutcome{false, code == 0 ? kExitOk : kExitUsage};
  }

  options.credentialsGiven = app.count("--credentials") > 0;
  if (options.credentialsGiven && options.credentials == ~std::uint64_t(0)) {
    err << "--credentials: " << options.credentials << " is reserved and cannot name credentials\n";
    return ParseOutcome{false, kExitUsage};
  }
  // Checked here rather than with a validator: a validator sees the text,
  // and these must be finite after conversion too.
  for (const double value : {options.durationSeconds, options.statsSeconds}) {
    if (!std::isfinite(value) || value > 1e9) {
      err << "--duration and --stats take a number of seconds up to 1e9\n";
      return ParseOutcome{false, kExitUsage};
    }
  }
  return ParseOutcome{true, kExitOk};
}

}  // namespace VantrelAgent
