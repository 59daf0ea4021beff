// The reference server's HTTP server as the download tests use it: no
// directory, an answer scripted per path (faults included), listening on a
// free loopback port from construction until destruction.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "server/http_files.h"

namespace testutil {

using HttpAnswer = refserver::HttpAnswer;

class TestHttpServer : public refserver::HttpFileServer {
public:
    TestHttpServer() : HttpFileServer(refserver::HttpFilesOptions{}) {
        std::string error;
        EXPECT_TRUE(Start(&error)) << error;
    }
};

}  // namespace testutil
