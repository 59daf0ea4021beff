// The frame layer's test seams (the scheme is described in
// platform/testing.h).
#pragma once

namespace vorel_testing {

// Points the configuration reader (config.h) at another file instead of
// serverConfigs.ini beside the executable; the path is taken as already
// worked out. Tests write their own file.
void SetConfigPath(const char* szPath);

// The next export call, whichever it is, meets an exception as it begins
// (export_guard.h), as if its work had thrown.
void ThrowInNextExport();

}  // namespace vorel_testing
