// Entries by path, for tables of hundreds of thousands of paths. The paths
// known up front (Reserve) live in one sorted array, their characters in one
// block: such a path costs its characters and its entry, with no tree node
// and no string of its own. Any other path goes to an ordered map. A reserved
// path holds no entry until it is inserted, and erasing it only marks its slot
// free again. Both parts are in path order (std::string's), and the walks
// below visit them merged, in that order. Not thread-safe: the owner locks.
#ifndef VANTREL_AGENT_PATHTABLE_H
#define VANTREL_AGENT_PATHTABLE_H

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace VantrelAgent {

template <class Entry>
class PathTable {
 public:
  // Makes room for `paths` (in any order, repeats allowed), which must come
  // before any insertion; an empty table takes them, another ignores them.
  // When they would not fit the block (4 GiB), none is reserved.
  void Reserve(std::vector<std::string_view> paths) {
    if (!slots_.empty() || !others_.empty()) return;
    std::sort(paths.begin(), paths.end());
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
    std::size_t total = 0;
    for (const auto &path : paths) {
      if (path.size() >= kLongest) return;
      total += path.size();
    }
    if (total > std::numeric_limits<std::uint32_t>::max()) return;
    chars_.reset(new char[total]);
    slots_.reserve(paths.size());
    std::uint32_t offset = 0;
    for (const auto &path : paths) {
      std::copy(path.begin(), path.end(), chars_.get() + offset);
      slots_.push_back(Slot{offset, static_cast<std::uint32_t>(path.size()), 0, Entry()});
      offset += static_cast<std::uint32_t>(path.size());
    }
  }

  Entry *Find(std::string_view path) {
    Slot *slot = Reserved(path);
    if (slot != nullptr) return slot->used ? &slot->entry : nullptr;
    const auto it = others_.find(path);
    return it == others_.end() ? nullptr : &it->second;
  }
  // The entry of `path`, and whether it was inserted (else it was there).
  std::pair<Entry *, bool> Insert(const std::string &path, const Entry &entry) {
    Slot *slot = Reserved(path);
    if (slot == nullptr) {
      const auto added = others_.emplace(path, entry);
      if (added.second) ++size_;
      return {&added.first->second, added.second};
    }
    if (slot->used) return {&slot->entry, false};
    slot->entry = entry;
    slot->used = 1;
    ++size_;
    return {&slot->entry, true};
  }
  void Erase(std::string_view path) {
    Slot *slot = Reserved(path);
    if (slot != nullptr) {
      size_ -= slot->used;
      slot->used = 0;
      return;
    }
    const auto it = others_.find(path);
    if (it == others_.end()) return;
    others_.erase(it);
    --size_;
  }
  std::size_t Size() const { return size_; }

  // Calls visit(path, entry) for every entry whose path begins with
  // `prefix`, in path order; an entry for which it returns true is erased.
  template <class Visit>
  void EraseIf(std::string_view prefix, Visit visit) {
    auto slot = std::lower_bound(slots_.begin(), slots_.end(), prefix,
                                 [this](const Slot &s, std::string_view p) { return PathOf(s) < p; });
    auto other = others_.lower_bound(prefix);
    const auto below = [&prefix](std::string_view path) { return path.substr(0, prefix.size()) == prefix; };
    for (;;) {
      const bool slotIn = slot != slots_.end() && below(PathOf(*slot));
      const bool otherIn = other != others_.end() && below(other->first);
      if (!slotIn && !otherIn) return;
      if (slotIn && (!otherIn || PathOf(*slot) < std::string_view(other->first))) {
        if (slot->used && visit(PathOf(*slot), slot->entry)) {
          slot->used = 0;
          --size_;
        }
        ++slot;
      } else if (visit(std::string_view(other->first), other->second)) {
        other = others_.erase(other);
        --size_;
      } else {
        ++other;
      }
    }
  }
  // Calls visit(path, entry) for every entry, in path order.
  template <class Visit>
  void ForEach(Visit visit) const {
    // Erases nothing: the walk is EraseIf's, with a visit that keeps all.
    const_cast<PathTable *>(this)->EraseIf(std::string_view(), [&visit](std::string_view path, const Entry &entry) {
      visit(path, entry);
      return false;
    });
  }

 private:
  static constexpr std::size_t kLongest = std::size_t{1} << 31;
  struct Slot {
    std::uint32_t offset;
    std::uint32_t length : 31;
    std::uint32_t used : 1;
    Entry entry;
  };
  std::string_view PathOf(const Slot &slot) const { return std::string_view(chars_.get() + slot.offset, slot.length); }
  Slot *Reserved(std::string_view path) {
    const auto at = std::lower_bound(slots_.begin(), slots_.end(), path,
                                     [this](const Slot &s, std::string_view p) { return PathOf(s) < p; });
    return at != slots_.end() && PathOf(*at) == path ? &*at : nullptr;
  }

  std::unique_ptr<char[]> chars_;
  std::vector<Slot> slots_;
  std::map<std::string, Entry, std::less<>> others_;
  std::size_t size_ = 0;
};

}  // namespace VantrelAgent

#endif  // VANTREL_AGENT_PATHTABLE_H
