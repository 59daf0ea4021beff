// vorel-server's command line: every option and value checked strictly, so
// that a typing error stops the program instead of quietly meaning a free
// port, no time limit or the wrong address.
#pragma once

#include <string>

#include "server/http_files.h"
#include "server/reference_server.h"

namespace refserver {

struct CommandLine {
    Options server;
    HttpFilesOptions http;  // served only when http.root is set
    int iSeconds = 0;       // stop after this long; 0: no limit
    bool bHelp = false;     // --help: print HelpText() and stop
    bool bVersion = false;  // --version: print the version and stop
};

// Parses argv[1] to argv[argc - 1] into *pLine (which starts with the
// defaults). --help and --version end the parse where they stand. False,
// with one line saying what is wrong in *pError, for an unknown option, a
// missing or malformed value, or an HTTP option without --http-dir.
bool ParseCommandLine(int argc, const char* const* argv, CommandLine* pLine, std::string* pError);

// The synopsis, for a bad command line; the synopsis with every option and
// command explained, for --help. Both end with a newline.
const char* UsageText();
std::string HelpText();

}  // namespace refserver
