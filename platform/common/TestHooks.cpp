// The hooks of Platform/TestHooks.h that both systems share.
#include <Platform/TestHooks.h>

#include <atomic>

namespace VantrelPlatform {
namespace TestHooks {

namespace {
std::atomic<int> identityFailures{0};
}  // namespace

void FailIdentityReads(int count) { identityFailures = count; }

bool IdentityReadFails() {
  int left = identityFailures.load();
  while (left > 0 && !identityFailures.compare_exchange_weak(left, left - 1)) {
  }
  return left > 0;
}

}  // namespace TestHooks
}  // namespace VantrelPlatform
