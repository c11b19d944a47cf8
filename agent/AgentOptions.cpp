#include "agent/AgentOptions.h"

#include "agent/Follower.h"
#include "agent/ReportFormat.h"

#include <VantrelCommon/Logger.h>

#include <CLI/CLI.hpp>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>

#ifndef VANTREL_VERSION
#define VANTREL_VERSION "0.0.0"
#endif

namespace VantrelAgent {

namespace {

const char *const kDescription =
    "vantrel-agent loads the VantrelMonitor component, watches files and directories with it and prints\n"
    "one line per change on standard output. A path may be a pattern (*, ?, [...] and ** for any depth,\n"
    "quoted for the shell): the files that match now and later are watched. With no path it watches\n"
#if defined(_WIN32)
    "the Logs folder of the Windows directory and every regular file directly in it. Ctrl+C or closing\n"
    "the console stop it in order; Ctrl+Break prints a statistics line. As the first argument,\n"
    "--install-service [ARGS...] installs the service VantrelAgent that runs it with ARGS, and\n"
    "--uninstall-service stops and removes it.";
#else
    "/var/log and every regular file directly in it. SIGINT or SIGTERM stop it in order; SIGHUP reopens\n"
    "the log file; SIGUSR1 prints a statistics line.";
#endif

// A number of seconds: more than 0, at most 1e9 (about 31 years).
bool ParseSeconds(const std::string &option, const std::string &text, double &seconds, std::ostream &err) {
  char *end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(value) ||
      value <= 0 || value > 1e9) {
    err << option << " takes a number of seconds greater than 0 and at most 1000000000, not '" << text << "'\n";
    return false;
  }
  seconds = value;
  return true;
}

// A whole decimal number from 0 to `maximum`; `what` names it in messages.
bool ParseWhole(const std::string &option, const std::string &text, std::uint64_t maximum, const char *what,
                std::uint64_t &number, std::ostream &err) {
  if (!text.empty() && text[0] == '-' && text.find_first_not_of("0123456789", 1) == std::string::npos &&
      text.size() > 1) {
    err << option << " cannot be negative, not " << text << "\n";
    return false;
  }
  std::uint64_t value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size() || value > maximum) {
    err << option << " takes " << what << ", a whole number from 0 to " << maximum << ", not '" << text << "'\n";
    return false;
  }
  number = value;
  return true;
}

}  // namespace

std::string MonitorTypeName(const std::string &monitor) {
  return monitor == "poll" ? "FileMonitorNoNotifications" : "FileMonitorNoFSRedirect";
}

ParseOutcome ParseCommandLine(int argc, const char *const *argv, AgentOptions &options, std::ostream &out,
                              std::ostream &err) {
  CLI::App app(kDescription, "vantrel-agent");
  // A path such as /var/log is an argument on every system, never a
  // Windows-style option.
  app.allow_windows_style_options(false);
  app.set_version_flag("--version", std::string("vantrel-agent ") + VANTREL_VERSION);

  app.add_option("paths", options.paths, "Files or directories to watch")->type_name("PATH");
  app.add_option("--monitor", options.monitor,
                 "notify: change notifications plus checks (FileMonitorNoFSRedirect); "
                 "poll: attributes and listings only (FileMonitorNoNotifications)")
      ->check(CLI::IsMember({"notify", "poll"}))
      ->capture_default_str();
  std::string interval = std::to_string(options.intervalMillis);
  std::string credentials;
  std::string duration;
  std::string stats;
  app.add_option("--interval", interval, "Check interval of every path, in milliseconds")
      ->type_name("MS")
      ->capture_default_str();
  app.add_flag("--idle", options.idle, "Also report every check that found nothing (IDLE)");
  app.add_option("--credentials", credentials,
                 "Credentials handle (from the configuration's Credentials entries) for the command-line paths")
      ->type_name("HANDLE");
  app.add_option("--config", options.configFile, "Configuration file (name = value lines)")->type_name("FILE");
  app.add_option("--log-level", options.logLevel, "debug, info, warn, error or off (default: warn)")
      ->type_name("LEVEL")
      ->check([](const std::string &text) {
        WindowsAgentCommon::LogLevel level;
        return WindowsAgentCommon::ParseLogLevel(text, level)
                   ? std::string()
                   : std::string("must be debug, info, warn, error or off");
      });
  app.add_option("--log-file", options.logFile, "Write the log to FILE instead of standard error")
      ->type_name("FILE");
  auto *json = app.add_flag("--json", options.json, "One JSON object per report instead of a line of text");
  app.add_option("--format", options.format,
                 std::string("A line of text per report made from FORMAT: ") + kTemplateHelp +
                     " (default: \"" + kDefaultTemplate + "\")")
      ->type_name("FORMAT")
      ->excludes(json);
  std::string events;
  app.add_option("--events", events,
                 "Only reports that carry one of these flags: " + EventNames(",") + " (IDLE with --idle)")
      ->type_name("NAMES");
  app.add_option("--exclude", options.excludes,
                 "Leave out paths that match PATTERN (repeatable); without a separator it matches a file or directory name")
      ->type_name("PATTERN")
      ->allow_extra_args(false);
  app.add_option("--duration", duration, "Stop in order after SECONDS")->type_name("SECONDS");
  app.add_option("--stats", stats, "Write a statistics line to standard error every SECONDS")
      ->type_name("SECONDS");
  auto *follow = app.add_flag("--follow", options.follow,
                              "Write every new line of every watched file, once, across rotations, instead of "
                              "reports (--format: " + std::string(kFollowTemplateHelp) + ")");
  app.add_option("--state", options.stateFile, "With --follow: keep where each file was read to in FILE, "
                                               "to go on from there after a restart")
      ->type_name("FILE")
      ->needs(follow);
  app.add_flag("--from-start", options.fromStart, "With --follow: read files that exist at start from their start")
      ->needs(follow);
  std::string maxOpen;
  app.add_option("--max-open", maxOpen, "With --follow: rotated files held open at most, waiting to be read "
                                        "(default 64)")
      ->type_name("N")
      ->needs(follow);
  app.add_option("--library", options.library,
                 "The component library to load (default: the one beside the program, else in ../lib from it)")
      ->type_name("FILE");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    const int code = app.exit(e, out, err);
    return ParseOutcome{false, code == 0 ? kExitOk : kExitUsage};
  }

  const ParseOutcome refused{false, kExitUsage};
  std::uint64_t number = 0;
  if (!ParseWhole("--interval", interval, 0xFFFFFFFFu, "milliseconds", number, err)) return refused;
  options.intervalMillis = static_cast<unsigned int>(number);
  options.credentialsGiven = app.count("--credentials") > 0;
  options.monitorGiven = app.count("--monitor") > 0;
  // All ones stands for the monitor's default and cannot name credentials.
  if (options.credentialsGiven &&
      !ParseWhole("--credentials", credentials, ~std::uint64_t(0) - 1, "a credentials handle", options.credentials,
                  err)) {
    return refused;
  }
  std::string reason;
  if (app.count("--format") > 0 && options.format.empty()) {
    err << "--format: an empty format would print empty lines; leave --format out for the default \""
        << kDefaultTemplate << "\"\n";
    return refused;
  }
  if (app.count("--format") > 0 &&
      !(options.follow ? CheckFollowTemplate(options.format, reason) : CheckTemplate(options.format, reason))) {
    err << "--format: " << reason << "\n";
    return refused;
  }
  if (!maxOpen.empty()) {
    if (!ParseWhole("--max-open", maxOpen, 1000000, "a number of files", number, err)) return refused;
    if (number == 0) {
      err << "--max-open takes at least 1 file\n";
      return refused;
    }
    options.maxOpen = static_cast<unsigned int>(number);
  }
  options.eventsGiven = app.count("--events") > 0;
  if (options.eventsGiven && !ParseEventNames(events, options.eventMask, options.eventIdle, reason)) {
    err << "--events: " << reason << "\n";
    return refused;
  }
  if (options.eventIdle && !options.idle) {
    err << "--events: IDLE needs --idle: without it no check that found nothing is reported\n";
    return refused;
  }
  if (!duration.empty() && !ParseSeconds("--duration", duration, options.durationSeconds, err)) return refused;
  if (!stats.empty() && !ParseSeconds("--stats", stats, options.statsSeconds, err)) return refused;
  return ParseOutcome{true, kExitOk};
}

}  // namespace VantrelAgent
