// How vantrel-agent prints a report: one line of text for a person, or one
// JSON object per line for a program. Pure functions, safe from any thread.
#ifndef VANTREL_AGENT_REPORTFORMAT_H
#define VANTREL_AGENT_REPORTFORMAT_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace VantrelAgent {

// The names of the set bits, in the order CREATED, DELETED, REPLACED,
// MODIFIED, GREW, SHRANK, REVERTED, DIR; {"IDLE"} for 0. Bits without a name are left out
// (the hexadecimal value still shows them).
std::vector<std::string> FlagNames(unsigned int flags);

// "2026-12-05 19:10:01.123", local time.
std::string LocalTimestamp(std::chrono::system_clock::time_point when);
// "2026-12-05T19:10:01.123+01:00", local time with its offset from UTC.
std::string IsoTimestamp(std::chrono::system_clock::time_point when);

struct Report {
  std::chrono::system_clock::time_point when;
  std::string monitorType;  // "FileMonitorNoFSRedirect"
  std::string path;         // the name's bytes: UTF-8 where the name is
  std::int64_t key = 0;
  unsigned int flags = 0;
};

// The path's bytes with every control character escaped (\n, \r, \t,
// \xHH) and the backslash doubled, so that a report is always one line and
// the escaping cannot be mistaken for a name. Bytes from 0x80 up are kept as
// they are. On Windows the backslash is the separator and stays single: no
// name holds a backslash or a control character there, so an escape still
// cannot be mistaken for a name.
std::string EscapeControls(const std::string &text);

// A line made from a template: %t the local time, %I the time in ISO 8601,
// %p the path (escaped), %f the flag names joined by '|', %x the flags in
// hexadecimal, %k the key, %m the monitor type, %% a percent sign.
const char *const kDefaultTemplate = "%t %p %f %x";
const char *const kTemplateHelp = "%t time, %I ISO time, %p path, %f flag names, %x hex flags, %k key, "
                                  "%m monitor, %% percent sign";
// Whether every placeholder of the template is known; the reason otherwise.
bool CheckTemplate(const std::string &format, std::string &error);
// The same for any set of placeholder letters (`known`, '%' among them),
// with `help` naming them in the reason.
bool CheckPlaceholders(const std::string &format, const char *known, const char *help, std::string &error);
std::string FormatTemplate(const std::string &format, const Report &report);

// "2026-12-05 19:10:01.123 /var/log/syslog MODIFIED|GREW 0x000A", no newline:
// the default template.
std::string FormatText(const Report &report);

// Every name that --events accepts, in FlagNames' order and IDLE last,
// joined by `separator`.
std::string EventNames(const char *separator);

// A comma-separated list of flag names, in any letter case, as a mask;
// `idle` tells whether IDLE (a check that found nothing) is among them.
bool ParseEventNames(const std::string &text, unsigned int &mask, bool &idle, std::string &error);
// {"time":...,"monitor":...,"path":...,"key":...,"flags":...,"names":[...]},
// no newline. A file name on Linux is bytes and need not be UTF-8: the line
// stays valid JSON for any name, with each byte outside well-formed UTF-8
// shown as U+FFFD in "path", and such a name also carries its exact bytes as
// "path_bytes", an array of numbers 0..255. Never throws for odd bytes.
std::string FormatJson(const Report &report);

}  // namespace VantrelAgent

#endif  // VANTREL_AGENT_REPORTFORMAT_H
