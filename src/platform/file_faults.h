// Injected append faults for tests, shared by both platforms' file code.
#pragma once

#include <cstddef>

namespace platform {
namespace detail {

// True when an append fault is armed: *piBytes receives how many bytes the
// faulty write may still write, and one use is consumed.
bool TakeAppendFault(size_t* piBytes);

}  // namespace detail
}  // namespace platform
