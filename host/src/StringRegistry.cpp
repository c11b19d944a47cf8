#include <VantrelCommon/StringRegistry.h>

#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

namespace WindowsAgentCommon {

// Each string is stored once, as a key of `keys`; `texts` points at those
// keys (nodes of an unordered_map keep their address across rehashing), so
// that key k is found at texts[k - 1].
struct StringRegistry::Impl {
  mutable std::shared_mutex mtx;
  std::unordered_map<std::wstring, std::int64_t> keys;
  std::vector<const std::wstring *> texts;
};

StringRegistry::StringRegistry() : pImpl(new Impl()) {}

StringRegistry::~StringRegistry() = default;

bool StringRegistry::RegisterString(const std::wstring &text, std::int64_t &key) {
  {
    std::shared_lock<std::shared_mutex> lock(pImpl->mtx);
    const auto it = pImpl->keys.find(text);
    if (it != pImpl->keys.end()) {
      key = it->second;
      return false;
    }
  }
  std::unique_lock<std::shared_mutex> lock(pImpl->mtx);
  const std::int64_t candidate = static_cast<std::int64_t>(pImpl->texts.size()) + 1;
  const auto inserted = pImpl->keys.emplace(text, candidate);
  // Another thread may have registered the same text between the two locks.
  if (inserted.second) pImpl->texts.push_back(&inserted.first->first);
  key = inserted.first->second;
  return inserted.second;
}

bool StringRegistry::GetString(const std::int64_t &key, std::wstring &text) const {
  std::shared_lock<std::shared_mutex> lock(pImpl->mtx);
  if (key < 1 || static_cast<std::uint64_t>(key) > pImpl->texts.size()) return false;
  text = *pImpl->texts[static_cast<std::size_t>(key - 1)];
  return true;
}

std::size_t StringRegistry::Size() const {
  std::shared_lock<std::shared_mutex> lock(pImpl->mtx);
  return pImpl->texts.size();
}

}  // namespace WindowsAgentCommon
