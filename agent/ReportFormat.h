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

// "2026-12-05 19:10:01.123 /var/log/syslog MODIFIED|GREW 0x000A", no newline.
std::string FormatText(const Report &report);
// {"time":...,"monitor":...,"path":...,"key":...,"flags":...,"names":[...]},
// no newline. A file name on Linux is bytes and need not be UTF-8: the line
// stays valid JSON for any name, with each byte outside well-formed UTF-8
// shown as U+FFFD in "path", and such a name also carries its exact bytes as
// "path_bytes", an array of numbers 0..255. Never throws for odd bytes.
std::string FormatJson(const Report &report);

}  // namespace VantrelAgent

#endif  // VANTREL_AGENT_REPORTFORMAT_H
