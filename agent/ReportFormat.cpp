#include "agent/ReportFormat.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <ctime>

namespace VantrelAgent {

namespace {

struct FlagName {
  unsigned int bit;
  const char *name;
};

// The monitor's change flags (IFileMonitorSink), in the order a person reads
// them: what happened to the path, then how its size moved, then the qualifier.
const FlagName kFlagNames[] = {
    {0x0001, "CREATED"}, {0x0010, "DELETED"}, {0x0040, "REPLACED"}, {0x0002, "MODIFIED"},
    {0x0008, "GREW"},    {0x0004, "SHRANK"},  {0x0020, "REVERTED"}, {0x8000, "DIR"},
};

struct LocalParts {
  std::tm tm{};
  int millis = 0;
};

LocalParts Split(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const auto sinceEpoch = duration_cast<milliseconds>(when.time_since_epoch());
  auto seconds = duration_cast<std::chrono::seconds>(sinceEpoch);
  int millis = static_cast<int>((sinceEpoch - seconds).count());
  if (millis < 0) {
    millis += 1000;
    seconds -= std::chrono::seconds(1);
  }
  LocalParts parts;
  const std::time_t t = static_cast<std::time_t>(seconds.count());
  localtime_r(&t, &parts.tm);
  parts.millis = millis;
  return parts;
}

bool IsUtf8(const std::string &bytes) {
  try {
    static_cast<void>(nlohmann::json(bytes).dump());
    return true;
  } catch (const nlohmann::json::type_error &) {
    return false;
  }
}

}  // namespace

std::vector<std::string> FlagNames(unsigned int flags) {
  std::vector<std::string> names;
  if (flags == 0) {
    names.emplace_back("IDLE");
    return names;
  }
  for (const auto &entry : kFlagNames) {
    if ((flags & entry.bit) != 0) {
      names.emplace_back(entry.name);
    }
  }
  return names;
}

std::string LocalTimestamp(std::chrono::system_clock::time_point when) {
  const LocalParts parts = Split(when);
  char date[32];
  std::strftime(date, sizeof(date), "%Y-%m-%d %H:%M:%S", &parts.tm);
  char text[48];
  std::snprintf(text, sizeof(text), "%s.%03d", date, parts.millis);
  return text;
}

std::string IsoTimestamp(std::chrono::system_clock::time_point when) {
  const LocalParts parts = Split(when);
  char date[32];
  std::strftime(date, sizeof(date), "%Y-%m-%dT%H:%M:%S", &parts.tm);
  const long offset = parts.tm.tm_gmtoff;  // seconds east of UTC
  const long magnitude = offset < 0 ? -offset : offset;
  char text[64];
  std::snprintf(text, sizeof(text), "%s.%03d%c%02ld:%02ld", date, parts.millis, offset < 0 ? '-' : '+',
                magnitude / 3600, (magnitude % 3600) / 60);
  return text;
}

std::string FormatText(const Report &report) {
  std::string names;
  for (const auto &name : FlagNames(report.flags)) {
    if (!names.empty()) names += '|';
    names += name;
  }
  char hex[16];
  std::snprintf(hex, sizeof(hex), "0x%04X", report.flags);
  return LocalTimestamp(report.when) + ' ' + report.path + ' ' + names + ' ' + hex;
}

std::string FormatJson(const Report &report) {
  nlohmann::ordered_json object;
  object["time"] = IsoTimestamp(report.when);
  object["monitor"] = report.monitorType;
  object["path"] = report.path;
  object["key"] = report.key;
  object["flags"] = report.flags;
  object["names"] = FlagNames(report.flags);
  if (!IsUtf8(report.path)) {
    object["path_bytes"] = std::vector<unsigned char>(report.path.begin(), report.path.end());
  }
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace VantrelAgent
