#include "agent/PathPattern.h"

#include <fnmatch.h>
#include <unistd.h>

namespace VantrelAgent {

std::string CurrentDirectory() {
  std::vector<char> buffer(4096);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE || buffer.size() > (1u << 20)) return "/";
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

std::vector<std::string> SplitPath(const std::string &path) {
  std::vector<std::string> components;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t slash = path.find('/', start);
    const std::size_t end = slash == std::string::npos ? path.size() : slash;
    if (end > start) components.push_back(path.substr(start, end - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return components;
}

std::string JoinPath(const std::vector<std::string> &components, std::size_t count) {
  if (count == 0) return "/";
  std::string path;
  for (std::size_t i = 0; i < count && i < components.size(); ++i) {
    path += '/';
    path += components[i];
  }
  return path;
}

std::string NormalizePath(const std::string &path, const std::string &cwd) {
  const std::string absolute = !path.empty() && path[0] == '/' ? path : cwd + "/" + path;
  std::vector<std::string> kept;
  for (auto &component : SplitPath(absolute)) {
    if (component == ".") continue;
    if (component == "..") {
      if (!kept.empty()) kept.pop_back();
      continue;
    }
    kept.push_back(std::move(component));
  }
  return JoinPath(kept, kept.size());
}

bool HasWildcard(const std::string &text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '*' || text[i] == '?' || text[i] == '[') {
      return true;
    }
  }
  return false;
}

std::string Unescape(const std::string &component) {
  std::string text;
  for (std::size_t i = 0; i < component.size(); ++i) {
    if (component[i] == '\\' && i + 1 < component.size()) ++i;
    text += component[i];
  }
  return text;
}

bool MatchName(const std::string &pattern, const std::string &name) {
  return ::fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) == 0;
}

namespace {

bool MatchFrom(const std::vector<std::string> &pattern, std::size_t p, const std::vector<std::string> &path,
               std::size_t n) {
  for (; p < pattern.size(); ++p, ++n) {
    if (pattern[p] == "**") {
      for (std::size_t skip = n; skip <= path.size(); ++skip) {
        if (MatchFrom(pattern, p + 1, path, skip)) return true;
      }
      return false;
    }
    if (n >= path.size() || ::fnmatch(pattern[p].c_str(), path[n].c_str(), 0) != 0) return false;
  }
  return n == path.size();
}

}  // namespace

bool MatchPath(const std::vector<std::string> &pattern, const std::vector<std::string> &path) {
  return MatchFrom(pattern, 0, path, 0);
}

}  // namespace VantrelAgent
