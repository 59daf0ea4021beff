// vorel-server as a child process, driven through a pipe on its standard
// input (drop, disconnect, fault ...), as an operator types the commands:
// the benchmark's and the soak's server.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace refserver {

class ServerProcess {
public:
    ServerProcess() = default;
    ~ServerProcess() { Stop(); }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts `path --seconds iSeconds` with its output in the file `output`
    // and waits for its port (at most 10 s). False with *pError when it does
    // not start.
    bool Start(const std::string& path, int iSeconds, const std::string& output,
               std::string* pError);

    // One command line on the server's input; false when it cannot be written.
    bool Command(const std::string& command);

    // Asks the server to quit; kills it after 5 s.
    void Stop();

    uint16_t Port() const { return wPort_; }

private:
    pid_t pid_ = -1;
    int fdInput_ = -1;
    uint16_t wPort_ = 0;
};

}  // namespace refserver
