// `vantrel-agent --follow`: every new line of every watched file, written
// once, across rotations and restarts.
//
// The monitor's reports say when to read; the follower reads. It follows
// files, not names: each file is known by its identity (device and inode)
// and read through a descriptor it keeps open, so a file renamed away by a
// rotation or deleted is finished through that descriptor before the new
// file at its name is read from its start, and a file that reappears under
// another watched name (app.log.1) is not read twice. A file that shrinks or
// whose first bytes change was truncated (copytruncate): it is read again
// from its start, after the rest of its old lines have been read from the
// copy, a file in the same directory that begins with the same bytes.
//
// Threads: OnReport runs on the monitor's workers and never waits for the
// output: it queues the path (and opens the new file of a replacement at
// once, so that a reader held up by its output still has it), and one
// thread of the follower's own reads, writes the lines and saves the state.
#ifndef VANTREL_AGENT_FOLLOWER_H
#define VANTREL_AGENT_FOLLOWER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace VantrelAgent {

// A line longer than this is written in pieces of this size, each after the
// first marked as a continuation.
const std::size_t kMaxLineBytes = 64 * 1024;

struct FollowOptions {
  std::string stateFile;  // empty: no state kept
  bool fromStart = false; // files that exist at start from their start too
  unsigned int maxOpen = 64;
  bool json = false;
  std::string format;  // empty: kDefaultFollowTemplate
  int output = 1;      // the descriptor the lines are written to: standard output
};

// A line of text: %p the path, %l the line, %o its offset, %t the local
// time, %I the time in ISO 8601, %% a percent sign.
const char *const kDefaultFollowTemplate = "%p: %l";
const char *const kFollowTemplateHelp = "with --follow: %p path, %l line, %o offset, %t time, %I ISO time, "
                                        "%% percent sign";
bool CheckFollowTemplate(const std::string &format, std::string &error);

class Follower {
 public:
  virtual ~Follower() = default;
  // A report of a watched file (directories are left alone); any thread.
  virtual void OnReport(const std::string &path, unsigned int flags) = 0;
  // Every path watched at start has had its first report: files found from
  // now on are new and read from their start.
  virtual void Ready() = 0;
  // After the last report: reads what is queued, saves the state, writes a
  // summary to standard error when lines may be missing, ends the thread.
  virtual void Stop() = 0;
  // Standard output failed (other than a closed pipe).
  virtual bool WriteFailed() const = 0;
};

// Loads the state file and starts the reading thread; null with a reason
// when the state file cannot be read. `requestStop` is called (from the
// reading thread) when standard output is gone.
std::unique_ptr<Follower> MakeFollower(const FollowOptions &options, std::function<void()> requestStop,
                                       std::string &error);

}  // namespace VantrelAgent

#endif  // VANTREL_AGENT_FOLLOWER_H
