// The frame layer's test seams (the scheme is described in
// platform/testing.h).
#pragma once

namespace vorel_testing {

// The next export call, whichever it is, meets an exception as it begins
// (export_guard.h), as if its work had thrown.
void ThrowInNextExport();

}  // namespace vorel_testing
