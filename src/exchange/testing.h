// The exchange layer's test seams (the scheme is described in
// platform/testing.h).
#pragma once

#include <cstddef>

namespace vorel_testing {

// The bound on answers held for the game (queue_table.h, HeldAnswersAtLimit):
// iBytes instead of 64 MiB; 0 restores the default.
void SetHeldAnswerLimit(size_t iBytes);

}  // namespace vorel_testing
