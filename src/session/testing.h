// The session layer's test seams (the scheme is described in
// platform/testing.h).
#pragma once

struct ClientEngine;

namespace vorel_testing {

// Stands in for ReConnect wherever the session's steps hand a lost
// connection to it (HandToReConnect, connect.h), so that tests of the read
// and write steps record the calls instead of setting up a connection. Null
// restores ReConnect. ReConnect called directly is never replaced.
using ReConnectStandIn = int (*)(ClientEngine& engine, int iConnect);
void SetReConnectStandIn(ReConnectStandIn pfnStandIn);

// While false, new engines start no session thread, so that tests of the
// exchange drive the queues themselves. True by default; the engine's
// creation reads it.
void SetSessionThreadEnabled(bool bEnabled);
bool SessionThreadEnabled();

// The next pass of any session thread throws an exception inside its body,
// while it holds the table lock.
void ThrowInNextPass();

}  // namespace vorel_testing
