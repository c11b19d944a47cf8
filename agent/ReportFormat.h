// How vantrel-agent prints a report: one line of text for a person, or one
// JSON object per line for a program. Pure functions, safe from any thread.
#ifndef VANTREL_AGENT_REPORTFORMAT_H
#define VANTREL_AGENT_REPORTFORMAT_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace VantrelAgent {

// The names of the set bits, in the order CREATED, DELETED, MODIFIED, GREW,
// SHRANK, REVERTED, DIR; {"IDLE"} for 0. Bits without a name are left out
// (the hexadecimal value still shows them).
std::vector<std::string> FlagNames(unsigned int flags);

// "2026-12-05 19:10:01.123", local time.
std::string LocalTimestamp(std::chrono::system_clock::time_point when);
// "2026-12-05T19:10:01.123+01:00", local time with its offset from UTC.
std::string IsoTimestamp(std::chrono::system_clock::time_point when);

struct Report {
  std::chrono::system_clock::time_point when;
  std::string monitorType;  // "FileMonitorNoFSRedirect"
  std::string path;         // UTF-8
  std::int64_t key = 0;
  unsigned int flags = 0;
};

// "2026-12-05 19:10:01.123 /var/log/syslog MODIFIED|GREW 0x000A", no newline.
std::string FormatText(const Report &report);
// {"time":...,"monitor":...,"path":...,"key":...,"flags":...,"names":[...]},
// no newline. Never throws for odd bytes in the path: they become U+FFFD.
std::string FormatJson(const Report &report);

}  // namespace VantrelAgent

#endif  // VANTREL_AGENT_REPORTFORMAT_H
