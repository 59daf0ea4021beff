// The log file every line of the library goes to: "GameRun.log" in the
// current directory. Tests point it elsewhere (base/testing.h).
#pragma once

const char* LogFile();
