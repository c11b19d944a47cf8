// Paths and patterns as vantrel-agent takes them from its command line and
// configuration: made absolute and tidied by text, and matched by name.
// Pure functions, safe from any thread.
//
// A pattern is a path in which a component holds `*` (any run of characters
// but '/'), `?` (one character) or `[...]` (one of a set, `[!...]` none of
// it); a component that is exactly `**` stands for any number of directories,
// none included. A backslash makes the next character literal. A name that
// begins with '.' matches only a component that begins with '.' itself, and
// `**` never passes through such a directory: hidden files and directories
// are found only when the pattern names them.
#ifndef VANTREL_AGENT_PATHPATTERN_H
#define VANTREL_AGENT_PATHPATTERN_H

#include <string>
#include <vector>

namespace VantrelAgent {

// `path` made absolute against `cwd` (an absolute directory), with ".",
// "..", repeated and trailing slashes removed by text alone: symbolic links
// are not resolved, and ".." at the root stays at the root. An empty path
// gives `cwd`.
std::string NormalizePath(const std::string &path, const std::string &cwd);

// The process's current directory ("/" when it cannot be read).
std::string CurrentDirectory();

// Whether the text holds an unescaped `*`, `?` or `[`.
bool HasWildcard(const std::string &text);

// The components of an absolute, normalised path ("/" has none).
std::vector<std::string> SplitPath(const std::string &path);
// "/" followed by the components joined with "/".
std::string JoinPath(const std::vector<std::string> &components, std::size_t count);

// Whether a file name matches one component of a pattern (no '/' in
// either), with the rules above on hidden names.
bool MatchName(const std::string &pattern, const std::string &name);

// Whether an absolute path matches an absolute pattern component by
// component; `**` matches any number of components, hidden ones included.
bool MatchPath(const std::vector<std::string> &pattern, const std::vector<std::string> &path);

// The text of a literal component with its escaping backslashes removed.
std::string Unescape(const std::string &component);

}  // namespace VantrelAgent

#endif  // VANTREL_AGENT_PATHPATTERN_H
