// Interns strings under 64-bit keys. The same string always gets the same
// key; two different strings never share one; keys start at 1 and are never
// reused. Thread-safe: registration and look-up may run concurrently.
#ifndef VANTREL_COMMON_STRINGREGISTRY_H
#define VANTREL_COMMON_STRINGREGISTRY_H

#include <cstdint>
#include <memory>
#include <string>

namespace WindowsAgentCommon {

class StringRegistry {
 public:
  StringRegistry();
  ~StringRegistry();
  StringRegistry(const StringRegistry &) = delete;
  StringRegistry &operator=(const StringRegistry &) = delete;

  // Writes the string's key into `key`; returns true when the string was new.
  bool RegisterString(const std::wstring &text, std::int64_t &key);
  // Writes the text registered under `key` into `text` and returns true; for
  // a key never handed out returns false and leaves `text` untouched.
  bool GetString(const std::int64_t &key, std::wstring &text) const;
  std::size_t Size() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> pImpl;
};

}  // namespace WindowsAgentCommon

#endif  // VANTREL_COMMON_STRINGREGISTRY_H
