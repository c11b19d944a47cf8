// Hooks that let tests reach the platform layer's failure paths and limits.
// Not for production use; every hook is process-wide and thread-safe.
#ifndef VANTREL_PLATFORM_TESTHOOKS_H
#define VANTREL_PLATFORM_TESTHOOKS_H

#include <Platform/Win32Api.h>

#include <cstddef>
#include <cstdint>

namespace VantrelPlatform {
namespace TestHooks {

// Makes the identity reads of the next `count` calls of
// GetFileAttributesAndIdentity and IdentityOfHandle fail (the file went
// between the two reads), as if the file could not be opened: the first
// leaves its identity empty, the second returns false. A count of 0 clears it.
void FailIdentityReads(int count);
// Whether the calling identity read is to fail; counts it down.
bool IdentityReadFails();

// Number of kernel watches that the change-notification layer holds now, and
// number of open change-notification handles.
std::size_t ChangeWatchCount();
std::size_t ChangeHandleCount();

}  // namespace TestHooks
}  // namespace VantrelPlatform

#endif  // VANTREL_PLATFORM_TESTHOOKS_H
