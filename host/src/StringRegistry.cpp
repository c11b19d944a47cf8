#include <VantrelCommon/StringRegistry.h>

#include <VantrelCommon/SharedMutex.h>

#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace WindowsAgentCommon {

// Each string is stored once, as a key of `keys`; `texts` points at those
// keys (nodes of an unordered_map keep their address across rehashing), so
// that key k is found at texts[k - 1].
struct StringRegistry::Impl {
  mutable SharedMutex mtx;
  std::unordered_map<std::wstring, std::int64_t> keys;
  std::vector<const std::wstring *> texts;

  // Under the exclusive lock: the text's key, and its entry made if it has
  // none. Room in `texts` is made first: a text in `keys` without its place
  // in `texts` would hand its key out twice.
  std::pair<const std::wstring *, bool> Insert(const std::wstring &text, std::int64_t &key) {
    if (texts.size() == texts.capacity()) texts.reserve(texts.size() * 2 + 16);
    const auto inserted = keys.try_emplace(text, static_cast<std::int64_t>(texts.size()) + 1);
    if (inserted.second) texts.push_back(&inserted.first->first);
    key = inserted.first->second;
    return {&inserted.first->first, inserted.second};
  }
};

StringRegistry::StringRegistry() : pImpl(new Impl()) {}

StringRegistry::~StringRegistry() = default;

bool StringRegistry::RegisterString(const std::wstring &text, std::int64_t &key) {
  {
    std::shared_lock<SharedMutex> lock(pImpl->mtx);
    const auto it = pImpl->keys.find(text);
    if (it != pImpl->keys.end()) {
      key = it->second;
      return false;
    }
  }
  // Another thread may have registered the same text between the two locks.
  std::unique_lock<SharedMutex> lock(pImpl->mtx);
  return pImpl->Insert(text, key).second;
}

bool StringRegistry::GetString(const std::int64_t &key, std::wstring &text) const {
  std::shared_lock<SharedMutex> lock(pImpl->mtx);
  if (key < 1 || static_cast<std::uint64_t>(key) > pImpl->texts.size()) return false;
  text = *pImpl->texts[static_cast<std::size_t>(key - 1)];
  return true;
}

std::size_t StringRegistry::Size() const {
  std::shared_lock<SharedMutex> lock(pImpl->mtx);
  return pImpl->texts.size();
}

}  // namespace WindowsAgentCommon
