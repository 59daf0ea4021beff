// The session layer's test seams (the scheme is described in
// platform/testing.h).
#pragma once

namespace vorel_testing {

// While false, new engines start no session thread, so that tests of the
// exchange drive the queues themselves. True by default; the engine's
// creation reads it.
void SetSessionThreadEnabled(bool bEnabled);
bool SessionThreadEnabled();

// The next pass of any session thread throws an exception inside its body,
// while it holds the table lock.
void ThrowInNextPass();

}  // namespace vorel_testing
