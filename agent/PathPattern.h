// Paths and patterns as vantrel-agent takes them from its command line and
// configuration: made absolute and tidied by text, and matched by name.
// Pure functions, safe from any thread. Paths are UTF-8.
//
// A pattern is a path in which a component holds `*` (any run of characters
// within the component), `?` (one character) or `[...]` (one of a set,
// `[!...]` none of it); a component that is exactly `**` stands for any
// number of directories, none included. A name that begins with '.' matches
// only a component that begins with '.' itself, and `**` never passes
// through such a directory: hidden files and directories are found only when
// the pattern names them.
//
// POSIX: '/' separates components, and a backslash makes the next character
// of a pattern literal. Names match case by case, as the file system tells
// them apart.
//
// Windows: '\' and '/' both separate components and paths are written back
// with '\'. The first component is the root: a drive ("C:"), a share
// ("\\server\share") or either behind the "\\?\" prefix; a drive letter is
// written in capitals. A backslash is a separator only, so nothing is
// escaped (`[[]` matches a '['). Names match regardless of case, as the file
// system finds them.
#ifndef VANTREL_AGENT_PATHPATTERN_H
#define VANTREL_AGENT_PATHPATTERN_H

#include <string>
#include <vector>

namespace VantrelAgent {

// `path` made absolute against `cwd` (an absolute directory), with ".",
// "..", repeated and trailing separators removed by text alone: symbolic
// links are not resolved, and ".." at the root stays at the root. An empty
// path gives `cwd`. On Windows a path without a drive or share is taken on
// `cwd`'s root ("\logs" on "C:", "D:logs" in `cwd` when it is on D:, else
// in "D:\"); a path in the long form loses its prefix ("\\?\C:\logs" is
// "C:\logs", "\\?\UNC\server\share" is "\\server\share\"), which the
// platform layer gives back to a path long enough to need it.
std::string NormalizePath(const std::string &path, const std::string &cwd);

// Why the notification monitor cannot watch an absolute, normalised path or
// pattern, or empty when it can. It watches a path without its leading
// backslashes, so on Windows a share or device path would become a relative
// path, and a drive's root directory (a path that is the root, or a pattern
// whose directories start at it) the drive's current directory.
std::string WhyNotificationsCannotWatch(const std::string &path);

// The process's current directory (the root when it cannot be read).
std::string CurrentDirectory();

// Whether the text holds an unescaped `*`, `?` or `[`.
bool HasWildcard(const std::string &text);
// Whether an absolute, normalised path has a wildcard past its root: whether
// it is a pattern.
bool IsPattern(const std::string &path);

// Whether the text holds a separator.
bool HasSeparator(const std::string &text);

// The components of an absolute, normalised path: POSIX "/" has none; on
// Windows the root is always the first.
std::vector<std::string> SplitPath(const std::string &path);
// The first `count` components joined back into a path ("/" or "C:\" for
// the root alone).
std::string JoinPath(const std::vector<std::string> &components, std::size_t count);
// How many of the leading components are fixed text: the root always, then
// every component up to the first with a wildcard.
std::size_t FixedComponents(const std::vector<std::string> &components);

// The entry `name` of a directory, and the directory that holds a path (the
// root holds itself).
std::string ChildPath(const std::string &directory, const std::string &name);
std::string ParentPath(const std::string &path);

// Whether a file name matches one component of a pattern (no separator in
// either), with the rules above on hidden names.
bool MatchName(const std::string &pattern, const std::string &name);

// Whether an absolute path matches an absolute pattern component by
// component; `**` matches any number of components, hidden ones included.
bool MatchPath(const std::vector<std::string> &pattern, const std::vector<std::string> &path);

// The text of a literal component with its escaping backslashes removed.
std::string Unescape(const std::string &component);

// The text under which two paths that name the same file compare equal: the
// text itself on POSIX, in capitals on Windows.
std::string PathKey(const std::string &path);

}  // namespace VantrelAgent

#endif  // VANTREL_AGENT_PATHPATTERN_H
