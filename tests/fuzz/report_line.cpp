// --format templates and report lines for any path bytes: a template that
// CheckTemplate accepts gives one line, whose escaped path can be undone; the
// JSON line parses, and "path" (or "path_bytes" where the name is not UTF-8)
// gives back the exact bytes.
#include "tests/fuzz/FuzzSupport.h"

#include "agent/ReportFormat.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <nlohmann/json.hpp>

#include <cctype>
#include <cstring>

namespace {

// EscapeControls undone; false for text that it cannot have written.
bool Unescape(const std::string &text, std::string &bytes) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const char *escapes = "\\\\n\nr\rt\t";  // pairs: the letter, the byte
    const char *e = i + 1 < text.size() && c == '\\' ? std::strchr(escapes, text[i + 1]) : nullptr;
    if (c < 0x20 || c == 0x7F || (c == '\\' && i + 1 == text.size())) return false;
    if (c != '\\') {
      bytes += text[i];
    } else if (e != nullptr && (e - escapes) % 2 == 0 && *e != '\0') {
      bytes += e[1], ++i;
    } else if (text.compare(i, 2, "\\x") == 0 && i + 3 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 2])) &&
               std::isxdigit(static_cast<unsigned char>(text[i + 3]))) {
      bytes += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16)), i += 3;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  VantrelAgent::Report report;
  // Any time a clock can give, within what system_clock holds.
  report.when = std::chrono::system_clock::time_point(
      std::chrono::milliseconds(in.ConsumeIntegralInRange<std::int64_t>(-9000000000000, 9000000000000)));
  report.key = in.ConsumeIntegral<std::int64_t>();
  report.flags = in.ConsumeIntegral<unsigned int>();
  report.monitorType = in.ConsumeBool() ? "FileMonitorNoFSRedirect" : "FileMonitorNoNotifications";
  const std::string format = in.ConsumeRandomLengthString(64);
  report.path = in.ConsumeRemainingBytesAsString();

  std::string bytes;
  Expect(Unescape(VantrelAgent::EscapeControls(report.path), bytes) && bytes == report.path,
         "escaping can be undone", report.path, VantrelAgent::EscapeControls(report.path));

  std::string error;
  if (VantrelAgent::CheckTemplate(format, error) && format.find_first_of("\r\n") == std::string::npos) {
    const std::string line = VantrelAgent::FormatTemplate(format, report);
    Expect(line.find_first_of("\r\n") == std::string::npos, "a report is one line", format + " | " + report.path,
           line);
    // With the path alone in the template, the line is the escaped path.
    if (format == "%p") Expect(line == VantrelAgent::EscapeControls(report.path), "%p is the path", format, line);
  }

  const std::string json = VantrelAgent::FormatJson(report);
  Expect(json.find('\n') == std::string::npos, "a JSON report is one line", report.path, json);
  nlohmann::json object = nlohmann::json::parse(json, nullptr, false);
  Expect(!object.is_discarded(), "a JSON report parses", report.path, json);
  std::string path;
  if (object.contains("path_bytes")) {
    for (const auto &b : object["path_bytes"]) path += static_cast<char>(b.get<unsigned int>());
  } else {
    path = object["path"].get<std::string>();
  }
  Expect(path == report.path && object["key"].get<std::int64_t>() == report.key &&
             object["flags"].get<unsigned int>() == report.flags,
         "a JSON report gives back the exact path, key and flags", report.path, json);
  return 0;
}
