// Entries by path, for tables of hundreds of thousands of paths. The paths
// known up front (Reserve) live in one sorted array of slots, their
// characters in one block: such a path costs its slot and the characters by
// which it differs from the path before it, with no tree node and no string
// of its own (a path's run of kRun slots begins with one whole path, so that
// a path is read back from at most kRun pieces). Any other path goes to an
// ordered map. A reserved path holds no entry until it is inserted, and
// erasing it only marks its slot free again. Both parts are in path order
// (std::string's), and the walks below visit them merged, in that order.
// Not thread-safe: the owner locks.
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
  // When one is longer than a slot can say (64 KiB) or they would not fit
  // the block (4 GiB), none is reserved.
  void Reserve(std::vector<std::string_view> paths) {
    if (!slots_.empty() || !others_.empty()) return;
    std::sort(paths.begin(), paths.end());
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
    std::vector<std::uint16_t> shared(paths.size(), 0);
    std::size_t total = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
      if (paths[i].size() > kLongest) return;
      if (i % kRun != 0) {
        const auto differ = std::mismatch(paths[i].begin(), paths[i].end(), paths[i - 1].begin(), paths[i - 1].end());
        shared[i] = static_cast<std::uint16_t>(std::min<std::size_t>(differ.first - paths[i].begin(), kMostShared));
      }
      total += paths[i].size() - shared[i];
    }
    if (total > std::numeric_limits<std::uint32_t>::max()) return;
    chars_.reset(new char[total]);
    slots_.reserve(paths.size());
    std::uint32_t offset = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
      const std::string_view rest = paths[i].substr(shared[i]);
      std::copy(rest.begin(), rest.end(), chars_.get() + offset);
      slots_.push_back(Slot{offset, static_cast<std::uint32_t>(paths[i].size()), shared[i], 0, Entry()});
      offset += static_cast<std::uint32_t>(rest.size());
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
  // How many of them live in the reserved part (for tests).
  std::size_t SizeReserved() const {
    return static_cast<std::size_t>(std::count_if(slots_.begin(), slots_.end(), [](const Slot &s) { return s.used; }));
  }

  // Calls visit(path, entry) for every entry whose path begins with
  // `prefix`, in path order; an entry for which it returns true is erased.
  template <class Visit>
  void EraseIf(std::string_view prefix, Visit visit) {
    Cursor slot(*this, prefix);
    auto other = others_.lower_bound(prefix);
    const auto below = [&prefix](std::string_view path) { return path.substr(0, prefix.size()) == prefix; };
    for (;;) {
      const bool slotIn = !slot.AtEnd() && below(slot.path);
      const bool otherIn = other != others_.end() && below(other->first);
      if (!slotIn && !otherIn) return;
      if (slotIn && (!otherIn || slot.path < other->first)) {
        Slot &at = slots_[slot.index];
        if (at.used && visit(std::string_view(slot.path), at.entry)) {
          at.used = 0;
          --size_;
        }
        slot.Next();
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
  static constexpr std::size_t kRun = 16;
  static constexpr std::size_t kLongest = 0xFFFF;
  static constexpr std::size_t kMostShared = 0x7FFF;
  struct Slot {
    std::uint32_t offset;      // of the characters after the shared ones
    std::uint32_t length : 16;  // of the whole path
    std::uint32_t shared : 15;  // characters in common with the slot before; 0 at a run's start
    std::uint32_t used : 1;
    Entry entry;
  };
  // The reserved paths read in order from the first not below `from`,
  // each whole in `path`.
  struct Cursor {
    Cursor(const PathTable &table, std::string_view from) : table_(table) {
      // The last run whose first path is below `from`, then along it.
      std::size_t low = 0, high = (table.slots_.size() + kRun - 1) / kRun;
      while (low < high) {
        const std::size_t middle = (low + high) / 2;
        if (table.Piece(middle * kRun) < from) {
          low = middle + 1;
        } else {
          high = middle;
        }
      }
      index = low == 0 ? 0 : (low - 1) * kRun;
      Load();
      while (!AtEnd() && path < from) Next();
    }
    bool AtEnd() const { return index >= table_.slots_.size(); }
    void Next() {
      ++index;
      Load();
    }
    std::size_t index;
    std::string path;

   private:
    void Load() {
      if (AtEnd()) return;
      path.resize(table_.slots_[index].shared);
      path.append(table_.Piece(index));
    }
    const PathTable &table_;
  };
  // The characters that the slot holds: the whole path at a run's start.
  std::string_view Piece(std::size_t index) const {
    const Slot &slot = slots_[index];
    return std::string_view(chars_.get() + slot.offset, slot.length - slot.shared);
  }
  Slot *Reserved(std::string_view path) {
    const Cursor at(*this, path);
    return !at.AtEnd() && at.path == path ? &slots_[at.index] : nullptr;
  }

  std::unique_ptr<char[]> chars_;
  std::vector<Slot> slots_;
  std::map<std::string, Entry, std::less<>> others_;
  std::size_t size_ = 0;
};

}  // namespace VantrelAgent

#endif  // VANTREL_AGENT_PATHTABLE_H
