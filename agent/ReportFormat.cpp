#include "agent/ReportFormat.h"

#include <ace/OS_NS_time.h>

#include <nlohmann/json.hpp>

#include <cctype>
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
  long utcOffset = 0;  // seconds east of UTC
};

// The local time's distance from UTC at `t`, from the two broken-down times
// (not every C library has tm_gmtoff). They are at most a day apart.
long UtcOffset(std::time_t t, const std::tm &local) {
  std::tm utc{};
  ACE_OS::gmtime_r(&t, &utc);
  long days = local.tm_year != utc.tm_year ? (local.tm_year < utc.tm_year ? -1 : 1) : local.tm_yday - utc.tm_yday;
  return ((days * 24 + local.tm_hour - utc.tm_hour) * 60 + local.tm_min - utc.tm_min) * 60 + local.tm_sec - utc.tm_sec;
}

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
  ACE_OS::localtime_r(&t, &parts.tm);
  parts.millis = millis;
  parts.utcOffset = UtcOffset(t, parts.tm);
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
  const long offset = parts.utcOffset;
  const long magnitude = offset < 0 ? -offset : offset;
  char text[64];
  std::snprintf(text, sizeof(text), "%s.%03d%c%02ld:%02ld", date, parts.millis, offset < 0 ? '-' : '+',
                magnitude / 3600, (magnitude % 3600) / 60);
  return text;
}

#if defined(_WIN32)
const bool kSeparatorIsBackslash = true;
#else
const bool kSeparatorIsBackslash = false;
#endif

std::string EscapeControls(const std::string &text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\\': escaped += kSeparatorIsBackslash ? "\\" : "\\\\"; break;
      case '\n': escaped += "\\n"; break;
      case '\r': escaped += "\\r"; break;
      case '\t': escaped += "\\t"; break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof(hex), "\\x%02X", byte);
          escaped += hex;
        } else {
          escaped += c;
        }
    }
  }
  return escaped;
}

bool CheckPlaceholders(const std::string &format, const char *known, const char *help, std::string &error) {
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') continue;
    if (i + 1 == format.size()) {
      error = "a lone % ends the format; write %% for a percent sign";
      return false;
    }
    const char c = format[++i];
    if (std::string(known).find(c) == std::string::npos) {
      error = std::string("unknown placeholder %") + c + " (" + help + ")";
      return false;
    }
  }
  return true;
}

bool CheckTemplate(const std::string &format, std::string &error) {
  return CheckPlaceholders(format, "tpfxkmI%", kTemplateHelp, error);
}

std::string FormatTemplate(const std::string &format, const Report &report) {
  std::string line;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%' || i + 1 == format.size()) {
      line += format[i];
      continue;
    }
    switch (format[++i]) {
      case 't': line += LocalTimestamp(report.when); break;
      case 'I': line += IsoTimestamp(report.when); break;
      case 'p': line += EscapeControls(report.path); break;
      case 'f': {
        std::string names;
        for (const auto &name : FlagNames(report.flags)) {
          if (!names.empty()) names += '|';
          names += name;
        }
        line += names;
        break;
      }
      case 'x': {
        char hex[16];
        std::snprintf(hex, sizeof(hex), "0x%04X", report.flags);
        line += hex;
        break;
      }
      case 'k': line += std::to_string(report.key); break;
      case 'm': line += report.monitorType; break;
      case '%': line += '%'; break;
      default: line += '%'; line += format[i];
    }
  }
  return line;
}

std::string FormatText(const Report &report) { return FormatTemplate(kDefaultTemplate, report); }

std::string EventNames(const char *separator) {
  std::string names;
  for (const auto &entry : kFlagNames) names += std::string(entry.name) + separator;
  return names + "IDLE";
}

bool ParseEventNames(const std::string &text, unsigned int &mask, bool &idle, std::string &error) {
  mask = 0;
  idle = false;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = text.find(',', start);
    std::string name = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    for (auto &c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    bool known = name == "IDLE";
    if (known) idle = true;
    for (const auto &entry : kFlagNames) {
      if (name == entry.name) {
        mask |= entry.bit;
        known = true;
      }
    }
    if (!known) {
      error = "unknown event '" + name + "' (" + EventNames(", ") + ")";
      return false;
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return true;
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
