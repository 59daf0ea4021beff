// The configuration file serverConfigs.ini beside the game's executable.
#pragma once

namespace vorel_testing {

// Points the configuration at another file (tests write their own); the
// path is taken as already worked out.
void SetConfigPath(const char* szPath);

}  // namespace vorel_testing
