// The log file every line of the library goes to: "GameRun.log" in the
// current directory. Tests point it elsewhere.
#pragma once

const char* LogFile();

namespace vorel_testing {
void SetLogFile(const char* szPath);  // null restores "GameRun.log"
}  // namespace vorel_testing
