// Counts of the platform layer's that tests read; nothing here changes what
// the layer does. Process-wide and thread-safe.
#ifndef VANTREL_PLATFORM_TESTHOOKS_H
#define VANTREL_PLATFORM_TESTHOOKS_H

#include <Platform/Win32Api.h>

#include <cstddef>
#include <cstdint>

namespace VantrelPlatform {
namespace TestHooks {

// Number of kernel watches that the change-notification layer holds now, and
// number of open change-notification handles.
std::size_t ChangeWatchCount();
std::size_t ChangeHandleCount();

}  // namespace TestHooks
}  // namespace VantrelPlatform

#endif  // VANTREL_PLATFORM_TESTHOOKS_H
