// What `vantrel-agent --follow --state FILE` keeps of each followed file
// between runs, and the fingerprint by which a file is recognised: its
// identity (device and inode), how far its lines have been written, a hash of
// its first bytes and the name its lines are written under.
//
// The file is text, one record a line, written whole to a temporary file
// beside it, synced and renamed over it, so that a crash leaves either the
// old state or the new one, never half of one. Pure functions; no state of
// their own.
#ifndef VANTREL_AGENT_FOLLOWSTATE_H
#define VANTREL_AGENT_FOLLOWSTATE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace VantrelAgent {

// The first bytes of a file, as far as it had them: a file shorter than
// kFingerprintBytes is fingerprinted over what it holds, and the print grows
// with the file until it covers kFingerprintBytes.
const std::size_t kFingerprintBytes = 1024;

struct Fingerprint {
  std::uint32_t length = 0;  // bytes covered
  std::uint64_t hash = 0;    // FNV-1a of those bytes
  bool operator==(const Fingerprint &other) const { return length == other.length && hash == other.hash; }
};

// FNV-1a, continued from `hash` (start with kFnvBasis).
const std::uint64_t kFnvBasis = 14695981039346656037ull;
std::uint64_t HashBytes(const char *data, std::size_t size, std::uint64_t hash);

// Reads the first bytes of `fd` (at most kFingerprintBytes): `now` gets their
// print, and the result says whether the first `known.length` of them hash to
// `known.hash` (always true for an empty `known`). False too when the file is
// now shorter than `known.length` or cannot be read.
bool MatchFingerprint(int fd, const Fingerprint &known, Fingerprint &now);

struct FollowRecord {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t offset = 0;  // every line before it is written
  Fingerprint print;
  std::string label;  // the name its lines are written under
  std::string name;   // a name it had when saved (rotation renames it)
  bool copy = false;  // another's copy (copytruncate), never read as a file of its own
};

struct FollowState {
  std::vector<FollowRecord> files;
  std::uint64_t truncations = 0;  // since the state began
  std::uint64_t letGo = 0;        // files let go of with lines unread
};

// False with a reason ("FILE:LINE: ...") for a file that is not a state
// file; a missing file is an empty state with `existed` false.
bool LoadFollowState(const std::string &path, FollowState &state, bool &existed, std::string &error);
bool SaveFollowState(const std::string &path, const FollowState &state, std::string &error);

}  // namespace VantrelAgent

#endif  // VANTREL_AGENT_FOLLOWSTATE_H
