#include "agent/PathPattern.h"

#include <Platform/Win32Api.h>

#include <algorithm>

#if !defined(_WIN32)
#include <fnmatch.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace VantrelAgent {

namespace {

#if defined(_WIN32)

const char kSeparator = '\\';
const char *const kSeparators = "\\/";

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// In capitals, by the system's own mapping.
std::wstring Fold(const std::string &text) {
  std::wstring wide = VantrelPlatform::FromUtf8(text);
  if (!wide.empty()) ::CharUpperBuffW(&wide[0], static_cast<DWORD>(wide.size()));
  return wide;
}

// One character against the class that starts at pattern[p] ('['); `p` is
// moved past it. A '[' without its ']' is a character of its own.
bool MatchClass(const std::wstring &pattern, std::size_t &p, wchar_t c) {
  std::size_t i = p + 1;
  const bool negate = i < pattern.size() && (pattern[i] == L'!' || pattern[i] == L'^');
  if (negate) ++i;
  bool found = false;
  for (bool first = true; i < pattern.size() && (first || pattern[i] != L']'); ++i, first = false) {
    if (i + 2 < pattern.size() && pattern[i + 1] == L'-' && pattern[i + 2] != L']') {
      found = found || (pattern[i] <= c && c <= pattern[i + 2]);
      i += 2;
    } else {
      found = found || pattern[i] == c;
    }
  }
  if (i >= pattern.size()) {
    ++p;
    return c == L'[';
  }
  p = i + 1;
  return found != negate;
}

// Whether pattern[p] matches the character c; `p` is moved past it.
bool MatchOne(const std::wstring &pattern, std::size_t &p, wchar_t c) {
  if (pattern[p] == L'[') return MatchClass(pattern, p, c);
  return pattern[p++] == L'?' || pattern[p - 1] == c;
}

// Both already folded. On a mismatch after a '*', the '*' takes one more
// character and the rest is tried again from there.
bool Glob(const std::wstring &pattern, const std::wstring &name) {
  std::size_t p = 0, n = 0;
  std::size_t starP = std::wstring::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == L'*') {
      starP = ++p;
      starN = n;
      continue;
    }
    std::size_t next = p;
    if (p < pattern.size() && MatchOne(pattern, next, name[n])) {
      p = next;
      ++n;
      continue;
    }
    if (starP == std::wstring::npos) return false;
    p = starP;
    n = ++starN;
  }
  while (p < pattern.size() && pattern[p] == L'*') ++p;
  return p == pattern.size();
}

bool MatchComponent(const std::string &pattern, const std::string &name, bool hidden) {
  if (hidden && !name.empty() && name[0] == '.' && (pattern.empty() || pattern[0] != '.')) return false;
  return Glob(Fold(pattern), Fold(name));
}

// The end of the component that starts at `from`.
std::size_t ComponentEnd(const std::string &path, std::size_t from) {
  while (from < path.size() && !IsSeparator(path[from])) ++from;
  return from;
}

// The length of the root at the start of `path` (0 when it has none) and its
// text, with backslashes and a capital drive letter, in `root`.
std::size_t ParseRoot(const std::string &path, std::string &root) {
  root.clear();
  std::size_t at = 0;
  bool share = path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]);
  if (share && path.size() >= 4 && path[2] == '.' && IsSeparator(path[3])) {
    root = "\\\\.\\";  // a device: "\\.\NAME"
    at = 4;
    share = false;
  } else if (share && path.size() >= 4 && path[2] == '?' && IsSeparator(path[3])) {
    // "\\?\C:" is "C:", "\\?\UNC\server\share" is "\\server\share".
    at = 4;
    share = ComponentEnd(path, at) == at + 3 && PathKey(path.substr(at, 3)) == "UNC";
    if (share) {
      root = "\\\\";
      at = std::min(at + 4, path.size());
    } else if (path.size() < at + 2 || path[at + 1] != ':') {
      root = "\\\\?\\";  // a volume: "\\?\Volume{...}"
    }
  } else if (share) {
    root = "\\\\";
    at = 2;
  }
  if (share) {
    const std::size_t server = ComponentEnd(path, at);
    root += path.substr(at, server - at);
    if (server >= path.size()) return server;
    const std::size_t end = ComponentEnd(path, server + 1);
    root += "\\" + path.substr(server + 1, end - server - 1);
    return end;
  }
  const char letter = path.size() >= at + 2 && path[at + 1] == ':' ? path[at] : '\0';
  if ((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z')) {
    root += static_cast<char>(letter & ~0x20);
    root += ':';
    return at + 2;
  }
  if (at == 0) return 0;
  const std::size_t end = ComponentEnd(path, at);
  root += path.substr(at, end - at);
  return end;
}

std::string Absolute(const std::string &path, const std::string &cwd) {
  std::string root, cwdRoot;
  const std::size_t length = ParseRoot(path, root);
  ParseRoot(cwd, cwdRoot);
  if (length == 0) {
    return !path.empty() && IsSeparator(path[0]) ? cwdRoot + path : cwd + kSeparator + path;
  }
  // "D:logs" is in the current directory of drive D:, which the process
  // knows only for its own drive.
  const bool driveRelative = root.size() == 2 && root[1] == ':' && (length == path.size() || !IsSeparator(path[length]));
  if (!driveRelative) return path;
  return (cwdRoot == root ? cwd : root) + kSeparator + path.substr(length);
}

#else  // POSIX

const char kSeparator = '/';
const char *const kSeparators = "/";

bool MatchComponent(const std::string &pattern, const std::string &name, bool hidden) {
  return ::fnmatch(pattern.c_str(), name.c_str(), hidden ? FNM_PERIOD : 0) == 0;
}

std::string Absolute(const std::string &path, const std::string &cwd) {
  return !path.empty() && path[0] == '/' ? path : cwd + "/" + path;
}

// Whether the path is absolute and already as NormalizePath writes it: one
// separator between components, none at the end, no "." or "..". A long
// list of paths is mostly written so, and is then taken as it is.
bool IsTidy(const std::string &path) {
  if (path.empty() || path[0] != '/') return false;
  if (path.size() == 1) return true;
  std::size_t start = 1;
  for (;;) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    const std::size_t length = end - start;
    if (length == 0 || (path[start] == '.' && (length == 1 || (length == 2 && path[start + 1] == '.')))) {
      return false;
    }
    if (end == path.size()) return true;
    start = end + 1;
  }
}

#endif

// Components of a path that never go: the root.
std::size_t RootComponents(const std::vector<std::string> &components) {
#if defined(_WIN32)
  return components.empty() ? 0 : 1;
#else
  static_cast<void>(components);
  return 0;
#endif
}

}  // namespace

std::string CurrentDirectory() {
#if defined(_WIN32)
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), &buffer[0]);
    if (n == 0) return "C:\\";
    if (n < buffer.size()) return VantrelPlatform::ToUtf8(buffer.substr(0, n));
    buffer.resize(n);
  }
#else
  std::vector<char> buffer(4096);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE || buffer.size() > (1u << 20)) return "/";
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
#endif
}

std::vector<std::string> SplitPath(const std::string &path) {
  std::vector<std::string> components;
  std::size_t start = 0;
#if defined(_WIN32)
  std::string root;
  start = ParseRoot(path, root);
  if (start > 0) components.push_back(root);
#endif
  while (start <= path.size()) {
    const std::size_t separator = path.find_first_of(kSeparators, start);
    const std::size_t end = separator == std::string::npos ? path.size() : separator;
    if (end > start) components.push_back(path.substr(start, end - start));
    if (separator == std::string::npos) break;
    start = separator + 1;
  }
  return components;
}

std::string JoinPath(const std::vector<std::string> &components, std::size_t count) {
  count = std::min(count, components.size());
  const std::size_t root = RootComponents(components);
  std::string path;
  for (std::size_t i = 0; i < root && i < count; ++i) path += components[i];
  path += kSeparator;
  for (std::size_t i = root; i < count; ++i) {
    if (i > root) path += kSeparator;
    path += components[i];
  }
  return path;
}

std::size_t FixedComponents(const std::vector<std::string> &components) {
  std::size_t fixed = RootComponents(components);
  while (fixed < components.size() && !HasWildcard(components[fixed])) ++fixed;
  return fixed;
}

std::string ChildPath(const std::string &directory, const std::string &name) {
  return !directory.empty() && directory.back() == kSeparator ? directory + name : directory + kSeparator + name;
}

std::string ParentPath(const std::string &path) {
  const std::vector<std::string> components = SplitPath(path);
  if (components.size() <= RootComponents(components)) return path;
  return JoinPath(components, components.size() - 1);
}

std::string NormalizePath(const std::string &path, const std::string &cwd) {
#if !defined(_WIN32)
  if (IsTidy(path)) return path;
#endif
  std::vector<std::string> components = SplitPath(Absolute(path, cwd));
  const std::size_t root = RootComponents(components);
  std::vector<std::string> kept(components.begin(), components.begin() + static_cast<std::ptrdiff_t>(root));
  for (std::size_t i = root; i < components.size(); ++i) {
    if (components[i] == ".") continue;
    if (components[i] == "..") {
      if (kept.size() > root) kept.pop_back();
      continue;
    }
    kept.push_back(std::move(components[i]));
  }
  return JoinPath(kept, kept.size());
}

bool HasWildcard(const std::string &text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && kSeparator == '/') {
      ++i;
    } else if (text[i] == '*' || text[i] == '?' || text[i] == '[') {
      return true;
    }
  }
  return false;
}

bool IsPattern(const std::string &path) {
#if defined(_WIN32)
  // The root is no pattern: "\\?\" holds a '?'.
  const std::vector<std::string> components = SplitPath(path);
  return FixedComponents(components) < components.size();
#else
  // A separator is no wildcard, so an escape that takes one changes nothing.
  return HasWildcard(path);
#endif
}

bool HasSeparator(const std::string &text) { return text.find_first_of(kSeparators) != std::string::npos; }

std::string Unescape(const std::string &component) {
  if (kSeparator == '\\') return component;
  std::string text;
  for (std::size_t i = 0; i < component.size(); ++i) {
    if (component[i] == '\\' && i + 1 < component.size()) ++i;
    text += component[i];
  }
  return text;
}

std::string WhyNotificationsCannotWatch(const std::string &path) {
#if defined(_WIN32)
  const std::vector<std::string> components = SplitPath(path);
  if (components.empty()) return std::string();
  if (components[0].compare(0, 2, "\\\\") == 0) {
    return path + " is a network or device path";
  }
  if (FixedComponents(components) == 1) {
    return path + (components.size() == 1 ? " is a drive's root directory" : " watches a drive's root directory");
  }
#else
  static_cast<void>(path);
#endif
  return std::string();
}

std::string PathKey(const std::string &path) {
#if defined(_WIN32)
  return VantrelPlatform::ToUtf8(Fold(path));
#else
  return path;
#endif
}

bool MatchName(const std::string &pattern, const std::string &name) { return MatchComponent(pattern, name, true); }

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
    if (n >= path.size() || !MatchComponent(pattern[p], path[n], false)) return false;
  }
  return n == path.size();
}

}  // namespace

bool MatchPath(const std::vector<std::string> &pattern, const std::vector<std::string> &path) {
  return MatchFrom(pattern, 0, path, 0);
}

}  // namespace VantrelAgent
